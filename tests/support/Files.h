// Whole files in one call, for the C++ tests.
#pragma once

#include <string>

namespace kestest {

// The file's bytes; "" when there is no file to read.
std::string readFile(const std::string& path);

// Writes the whole file, created or cut to length 0 first. Throws when that fails: a test must not go
// on over a fixture it does not have.
void writeFile(const std::string& path, const std::string& content);

// Whether anything is at the path: a file, a folder or a device.
bool fileExists(const std::string& path);

}  // namespace kestest
