#include "engine/moveclauses.h"

#include "engine/job.h"
#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/RC4.h"
#include "support/SysUtils.h"

#include <cstdint>

const char kOptionsKeyText[] = "a07c5e19d3b28f46e0c71a95b2d84f3e6c10";

std::string OptionsFileName(const std::string& firstEntry) { return firstEntry + "_opts"; }

bool OptionsFileWanted(char action, char bkType, const std::string& host, const std::string& firstEntry) {
    return action == 'B' && bkType == 'F' && host.empty() && !IsTcpEntry(firstEntry);
}

bool WriteOptionsFile(const std::string& path, const std::string& list) {
    if (list.empty()) return true;
    std::string cipher(list.size(), '\0');
    RC4Crypt(list.data(), static_cast<int32_t>(list.size()), &cipher[0], kOptionsKeyText);
    return WriteTextFile(path, cipher);
}

bool ReadOptionsFile(const std::string& path, std::string* list) {
    // Refuse an oversized file before reading it: a backup never writes one, so it is not ours.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return false;
        const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size > kOptionsFileMax) {
            Log::WError("Operation options file [%s] holds %lld bytes, more than %zu.", path.c_str(),
                        static_cast<long long>(size), kOptionsFileMax);
            return false;
        }
    }
    std::string content;
    if (!ReadFileToString(path, content)) return false;
    if (content.size() > kOptionsFileMax) {  // grew since the look above
        Log::WError("Operation options file [%s] holds %zu bytes, more than %zu.", path.c_str(), content.size(),
                    kOptionsFileMax);
        return false;
    }
    list->assign(content.size(), '\0');
    if (!content.empty()) RC4Crypt(content.data(), static_cast<int32_t>(content.size()), &(*list)[0], kOptionsKeyText);
    return true;
}
