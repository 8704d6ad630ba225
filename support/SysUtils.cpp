#include "support/SysUtils.h"

#include "platform/win32/win32.h"
#include "support/Log.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>

bool WriteTextFile(std::string path, std::string text) {
    if (text.empty()) return true;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    int err = ok ? 0 : errno;
    if (fclose(f) != 0 && ok) {  // the bytes still buffered are written here
        ok = false;
        err = errno;
    }
    errno = err;
    return ok;
}

bool FileExists(std::string path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    // fopen opens a directory for reading on this platform; a folder is no file.
    struct stat st;
    bool isFile = fstat(fileno(f), &st) == 0 && !S_ISDIR(st.st_mode);
    fclose(f);
    return isFile;
}

bool FolderExists(std::string path) {
    const DWORD attrs = GetFileAttributesA(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReadFileToString(std::string path, std::string& out) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        out.clear();
        return true;
    }
    FindClose(find);
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::string content;
    bool ok = fseek(f, 0, SEEK_END) == 0;
    long len = ok ? ftell(f) : -1;
    ok = len >= 0 && fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        try {
            content.resize(static_cast<size_t>(len));
        } catch (const std::exception&) {
            ok = false;
        }
    }
    if (ok) {
        size_t got = fread(&content[0], 1, content.size(), f);
        ok = !ferror(f);
        content.resize(got);
        // The file may have grown since its length was taken: take the rest too.
        char chunk[65536];
        size_t more;
        while (ok && (more = fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, more);
        ok = ok && !ferror(f);
    }
    fclose(f);
    if (!ok) return false;
    out.swap(content);
    return true;
}

std::string ErrorText(uint32_t status) {
    char* text = nullptr;
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, status, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = n > 0 && text ? std::string(text, n) : std::string();
    if (text) LocalFree(reinterpret_cast<HLOCAL>(text));
    return out;
}

std::string RuntimeErrorText(int fallback) {
    int err = 0;
    _get_errno(&err);
    return strerror(err ? err : fallback);
}

bool IsVistaOrGreater() {
    OSVERSIONINFOEXW info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 0;
    info.wServicePackMajor = 0;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

bool IsElevated() {
    HANDLE token = nullptr;
    bool elevated = false;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation;
        DWORD size = sizeof elevation;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
            elevated = elevation.TokenIsElevated == 1;
    }
    if (token) CloseHandle(token);
    return elevated;
}

void SplitString(const char* text, const char* delimiters, std::vector<std::string>& out) {
    std::string copy(text ? text : "");
    char* save = nullptr;
    for (char* tok = strtok_r(&copy[0], delimiters, &save); tok; tok = strtok_r(nullptr, delimiters, &save))
        out.emplace_back(tok);
}

static bool notSpace(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return !(u == ' ' || u == '\t' || u == '\n' || u == '\v' || u == '\f' || u == '\r');
}

void RTrim(std::string& s) { s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end()); }

bool getfileinfo(const char* path, const void*, uint32_t* size, uint32_t* ctime, uint32_t* atime, uint32_t* mtime) {
    struct stat st;
    if (stat(path, &st) != 0) {
        Log::WError("getfileinfo Error: %s", strerror(errno));
        return false;
    }
    *ctime = static_cast<uint32_t>(st.st_ctime);
    *atime = static_cast<uint32_t>(st.st_atime);
    *mtime = static_cast<uint32_t>(st.st_mtime);
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    bool ok = fseek(f, 0, SEEK_END) == 0;
    long len = ok ? ftell(f) : -1;
    fclose(f);
    if (len < 0) return false;
    *size = static_cast<uint32_t>(len);
    return true;
}

int64_t GetFileSize64(std::string path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

int32_t ReadInt32(const char* text) {
    long long v = strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}
