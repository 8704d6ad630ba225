// Whole-file input and output, file and system tests, string helpers.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Writes every byte of text (zero bytes included) to path, replacing the file.
// An empty text writes nothing and leaves an existing file as it was. False
// (errno set) when the file cannot be opened, written or closed: a file that
// did not receive every byte is no written file.
bool WriteTextFile(std::string path, std::string text);
// True when path names a file that this process can open for reading
// (a directory gives false).
bool FileExists(std::string path);
// True when path names a folder (also through a link to one).
bool FolderExists(std::string path);
// Replaces out with every byte of the file. An absent file reads as empty
// (true); a file that exists but cannot be read gives false, out unchanged.
bool ReadFileToString(std::string path, std::string& out);
// The system's explanation of a Win32 error code, empty when it has none.
std::string ErrorText(uint32_t status);
// The C runtime's explanation of the calling thread's last runtime error (errno), or of
// `fallback` when none is set.
std::string RuntimeErrorText(int fallback = 0);
bool IsVistaOrGreater();
bool IsElevated();  // effective uid 0 on this platform
// Appends to out the non-empty tokens of text between the delimiter characters.
void SplitString(const char* text, const char* delimiters, std::vector<std::string>& out);
// Erases trailing white space (the "C" locale's isspace set).
void RTrim(std::string& s);

// A decimal number read as atoi reads it (blanks, a sign, digits up to the first other
// character; no digits give 0), with out-of-range values held at the int32 limits.
int32_t ReadInt32(const char* text);
// Status times (status change, access, modification) and size, each cut to
// 32 bits. Logs and gives false when the file cannot be examined.
bool getfileinfo(const char* path, const void* ignored, uint32_t* size, uint32_t* ctime, uint32_t* atime,
                 uint32_t* mtime);
// The file's size, -1 when it cannot be had.
int64_t GetFileSize64(std::string path);
