#include "engine/moveclauses.h"

#include "engine/job.h"
#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/RC4.h"
#include "support/SysUtils.h"

#include <cstdint>
#include <cstring>

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

namespace {

// A name inside a move clause, up to the "''" that closes it: not empty, no "|" or control
// character, and a quote in it only as the backup side writes one, four times.
bool ReadClauseName(const std::string& s, size_t* pos, std::string* name) {
    std::string n;
    size_t i = *pos;
    for (;;) {
        if (i >= s.size()) return false;
        if (s.compare(i, 4, "''''") == 0) {
            n += '\'';
            i += 4;
            continue;
        }
        if (s.compare(i, 2, "''") == 0) break;
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\'' || c == '|' || c < 0x20 || c == 0x7f) return false;
        n += s[i++];
    }
    if (n.empty()) return false;
    *name = n;
    *pos = i;
    return true;
}

}  // namespace

bool SkipLiteral(const std::string& s, size_t* pos, const char* text) {
    const size_t n = strlen(text);
    if (s.compare(*pos, n, text) != 0) return false;
    *pos += n;
    return true;
}

bool IsBackupSideMoveList(const std::string& text) {
    size_t pos = 0;
    std::string name;
    while (pos < text.size()) {
        if (!SkipLiteral(text, &pos, ", MOVE ''") || !ReadClauseName(text, &pos, &name) ||
            !SkipLiteral(text, &pos, "'' TO ''"))
            return false;
        if (!SkipLiteral(text, &pos, "%DATA%") && !SkipLiteral(text, &pos, "%LOG%")) return false;
        if (!ReadClauseName(text, &pos, &name) || !SkipLiteral(text, &pos, "''")) return false;
        // A backup side sends the bare file name: the file stays inside the marker's folder.
        if (name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos) return false;
    }
    return true;
}
