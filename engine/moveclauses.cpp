#include "engine/moveclauses.h"

#include "support/Log.h"
#include "support/RC4.h"
#include "support/SysUtils.h"

#include <strings.h>
#include <sys/stat.h>

const char kOptionsKeyText[] = "a07c5e19d3b28f46e0c71a95b2d84f3e6c10";

std::string OptionsFileName(const std::string& firstEntry) { return firstEntry + "_opts"; }

bool OptionsFileWanted(char action, char bkType, const std::string& host, const std::string& firstEntry) {
    return action == 'B' && bkType == 'F' && host.empty() && strncasecmp(firstEntry.c_str(), "tcp://", 6) != 0;
}

bool WriteOptionsFile(const std::string& path, const std::string& list) {
    if (list.empty()) return true;
    std::string cipher(list.size(), '\0');
    RC4Crypt(list.data(), static_cast<int32_t>(list.size()), &cipher[0], kOptionsKeyText);
    return WriteTextFile(path, cipher);
}

bool ReadOptionsFile(const std::string& path, std::string* list) {
    // Refuse an oversized file before reading it: a backup never writes one, so it is not ours.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
    if (stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) > kOptionsFileMax) {
        Log::WError("Operation options file [%s] holds %lld bytes, more than %zu.", path.c_str(),
                    static_cast<long long>(st.st_size), kOptionsFileMax);
        return false;
    }
    std::string content;
    if (!ReadFileToString(path, content)) return false;
    if (content.size() > kOptionsFileMax) {  // grew since the look above
        Log::WError("Operation options file [%s] holds %zu bytes, more than %zu.", path.c_str(), content.size(),
                    kOptionsFileMax);
        return false;
    }
    list->assign(content.size(), '\0');
    if (!content.empty())
        RC4Crypt(content.data(), static_cast<int32_t>(content.size()), &(*list)[0], kOptionsKeyText);
    return true;
}
