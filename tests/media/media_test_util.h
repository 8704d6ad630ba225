// Small helpers shared by the media tests.
#pragma once

#include <cstdint>
#include <string>

namespace mt {

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);

// Runs a shell command; returns its exit status, or -1 when it did not exit normally.
int Shell(const std::string& command);

std::string Hex(const uint8_t* bytes, size_t n);

// Data shaped like database pages: 8 KiB pages that are text-like, random or zero, cut to n.
std::string PageData(size_t n, uint32_t seed);

}  // namespace mt
