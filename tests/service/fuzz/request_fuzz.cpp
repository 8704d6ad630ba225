// Fuzz target of the restore service's request parsing: any 8192-byte block a peer may send. A
// request that passes must read back as its own key, and the statement built from it must keep its
// device-list place and every quote of the peer's texts doubled.
#include "engine/moveclauses.h"
#include "engine/service/connections.h"
#include "engine/service/request.h"

#include <cstdlib>
#include <cstring>
#include <string>

// The parser's source is built into this target with coverage; the table it shares a source with
// is defined here instead of pulling in the whole engine.
std::map<std::string, Registration> g_connections;
std::mutex g_connectionsLock;
// The move-list check's source also decides where an options file goes, from the stream table's
// entries; nothing of that runs here.
bool IsTcpEntry(const std::string&) { return false; }

namespace {
void Check(bool ok) {
    if (!ok) abort();
}
size_t Count(const std::string& s, char c) {
    size_t n = 0;
    for (char ch : s) n += ch == c;
    return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char block[kRequestBlockSize] = {};
    memcpy(block, data, size < sizeof block ? size : sizeof block);
    RestoreRequest r;
    if (ParseRequest(block, sizeof block, &r) != RequestFault::None) return 0;

    Check(r.count >= 1 && r.count <= kMaxDevices && r.index >= 1 && r.index <= r.count);
    Check(r.database.size() <= kMaxRequestDatabase && (r.kind == "DATABASE" || r.kind == "LOG"));
    Check(IsBackupSideMoveList(r.moveText));
    Check(RegistrationKey("10.0.0.1", r.keyText) ==
          LookupKey("10.0.0.1", r.database.c_str(), r.kind.c_str(), r.count, r.index));
    // A peer's block may fill all 8192 bytes; the same fields rebuilt (a version of other digits, a
    // "|" the peer left out) may then no longer fit, and the backup side must refuse to build them.
    const std::string expect = r.moveText + "|" + r.database + "#" + r.kind + "#" + std::to_string(r.count) + "#" +
                               std::to_string(r.index) + ":" + std::to_string(r.version);
    std::string rebuilt;
    const bool built = BuildRequestText(r.moveText, r.database, r.kind.c_str(), r.count, r.index, r.version, &rebuilt);
    Check(built == (expect.size() < kRequestBlockSize));
    if (built) {
        Check(rebuilt == expect);
        RestoreRequest again;
        Check(ParseRequest(rebuilt.c_str(), rebuilt.size() + 1, &again) == RequestFault::None);
        Check(again.keyText ==
              r.database + "#" + r.kind + "#" + std::to_string(r.count) + "#" + std::to_string(r.index));
    }

    const RestoreTemplate t = ComposeServiceRestore(r.kind, r.database, true, "RECOVERY", "");
    Check(t.text.compare(t.marker, 2, "%s") == 0);
    const std::string filled = FillDeviceList(t, " VIRTUAL_DEVICE='G'");
    Check(filled.size() == t.text.size() - 2 + strlen(" VIRTUAL_DEVICE='G'"));
    Check(BracketName(r.database).size() == r.database.size() + 2 + Count(r.database, ']'));
    Check(Count(LiteralText(r.database), '\'') == 2 * Count(r.database, '\''));
    return 0;
}
