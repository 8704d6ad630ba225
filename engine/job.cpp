#include "engine/job.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "config/Config.h"
#include "engine/mediaset.h"
#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/SysUtils.h"

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

void DropLastIf(std::string& s, bool (*pred)(char)) {
    if (!s.empty() && pred(s.back())) s.pop_back();
}

}  // namespace

std::string StreamEntry(int stream) {
    auto it = g_streamFiles.find(stream);
    return it == g_streamFiles.end() ? std::string() : it->second;
}

bool IsTcpEntry(const std::string& entry) { return _strnicmp(entry.c_str(), "tcp://", 6) == 0; }

void FillJobInfo() {
    g_job.isBackup = g_config.Action[0] == 'B';
    g_job.isDatabase = g_config.BKType[0] != 'L';
    g_job.trustedConnection = g_config.IsTrustedConn;
    g_job.files = g_config.Files;
    g_job.server = g_config.Instance;
    g_job.database = g_config.DB;
    g_job.user = g_config.User;
    g_job.password = g_config.Pass;
    g_job.host = g_config.Host;
    g_job.port = g_config.RPort;
    g_job.listenPort = g_config.LPort;
}

int BuildStreamTable() {
    std::string list;
    int requested = -1;  // the typed count when generation was bounded
    std::vector<std::string> pieces;
    SplitString(g_config.Files, "@", pieces);
    if (pieces.size() == 2) {
        int count = ReadInt32(pieces[0].c_str());
        std::string folder = pieces[1];
        DropLastIf(folder, [](char c) { return c == '\\' || c == '/'; });
        DropLastIf(folder, [](char c) { return c == '"'; });
        DropLastIf(folder, [](char c) { return c == '\''; });
        int generate = count;
        if (count > kMaxGeneratedStreams) {
            Log::WWarn("Requested stream count [%d] is far above 8; only the first %d streams are named.", count,
                       kMaxGeneratedStreams);
            generate = kMaxGeneratedStreams;
            requested = count;
        }
        const bool tcp = StartsWith(folder, "tcp://");
        const char* ext = g_job.isDatabase ? "bak" : "trn";
        for (int k = 1; k <= generate; ++k) {
            if (k > 1) list += ',';
            if (tcp)
                list += folder;
            else
                list += folder + "/" + g_config.DB + "_" + std::to_string(k) + "." + ext;
        }
    }

    std::vector<std::string> entries;
    SplitString(list.empty() ? g_config.Files : list.c_str(), ",", entries);

    auto isFile = [](const std::string& entry) {
        return !StartsWith(entry, "s3://") && !StartsWith(entry, "tcp://") && !StartsWith(entry, "bs://");
    };
    if (!g_job.isBackup) {
        // A backup interrupted while it put its set in place is completed first: until then a
        // first backup's files may exist only under their temporary names.
        std::vector<std::string> files;
        for (const std::string& entry : entries)
            if (isFile(entry)) files.push_back(entry);
        if (!RollForwardMediaSets(files)) return -1;
    }

    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string& entry = entries[i];
        const int k = static_cast<int>(i) + 1;
        g_streamFiles[k] = entry;
        if (!g_job.isBackup) {
            if (isFile(entry) && !FileExists(entry)) {
                Log::WError("File[%s] does NOT exist.", entry.c_str());
                return -1;
            }
        } else if (k == 1 && StartsWith(entry, "tcp://") && g_job.host.empty()) {
            size_t colon = entry.rfind(':');
            if (colon == 3) {  // only the colon of "tcp://"
                g_job.host = entry.substr(6);
                g_job.port = 0;
            } else {
                g_job.host = entry.substr(6, colon - 6);
                g_job.port = ReadInt32(entry.substr(colon + 1).c_str());
            }
        }
    }

    int count = static_cast<int>(entries.size());
    int shown = requested >= 0 ? requested : count;
    if (count < 1) {
        Log::WInfo("Stream count is set to 1, since the requested count [%d] is invalid.", shown);
        count = 1;
    } else if (count > 8) {
        Log::WInfo("Stream count is set to 8, since the requested count [%d] is invalid.", shown);
        count = 8;
    }
    return count;
}
