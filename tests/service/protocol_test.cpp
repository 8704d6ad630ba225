// The request block both sides read and write, the connection key and table, local copy names
// and the service's RESTORE batch.
#include "engine/netmovers.h"
#include "engine/service/connections.h"
#include "engine/service/request.h"
#include "engine/service/service.h"
#include "support/Log.h"
#include "tests/support/Capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

const char kList[] = ", MOVE ''Sales'' TO ''%DATA%Sales.mdf'', MOVE ''Sales_log'' TO ''%LOG%Sales_log.ldf''";

RequestFault Parse(const std::string& text, RestoreRequest* out) {
    std::string block(kRequestBlockSize, '\0');
    block.replace(0, std::min(text.size(), block.size()), text.substr(0, block.size()));
    return ParseRequest(block.data(), block.size(), out);
}

// Empties the connection table, whatever a test left in it.
void ClearConnections() {
    std::lock_guard<std::mutex> hold(g_connectionsLock);
    g_connections.clear();
}

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t{};
    t.wYear = y, t.wMonth = mo, t.wDay = d, t.wHour = h, t.wMinute = mi, t.wSecond = s;
    return t;
}

TEST(Request, WhatTheBackupSideWritesTheServiceReadsBack) {
    struct Case {
        std::string list, db;
        bool isDatabase;
        uint32_t count, index;
        int32_t version;
        std::string text;
    };
    const Case cases[] = {
        {kList, "Sales", true, 3, 2, 1500, std::string(kList) + "|Sales#DATABASE#3#2:1500"},
        {"", "Sales", false, 1, 1, 1600, "|Sales#LOG#1#1:1600"},  // a log backup's request begins with "|"
        {"", "O'Neil [x]; --%s", true, 8, 8, 0, "|O'Neil [x]; --%s#DATABASE#8#8:0"},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_TRUE(BuildRequestText(c.list, c.db, KindWord(c.isDatabase), c.count, c.index, c.version, &text));
        EXPECT_EQ(text, c.text);
        RestoreRequest r;
        ASSERT_EQ(Parse(text, &r), RequestFault::None) << text;
        EXPECT_EQ(r.moveText, c.list);
        EXPECT_EQ(r.database, c.db);
        EXPECT_EQ(r.kind, KindWord(c.isDatabase));
        EXPECT_EQ(r.count, static_cast<int32_t>(c.count));
        EXPECT_EQ(r.index, static_cast<int32_t>(c.index));
        EXPECT_EQ(r.version, c.version);
    }
}

TEST(Request, TextThatWouldFillTheBlockIsNotBuilt) {
    std::string text;
    const std::string db(8192 - std::string("|#LOG#1#1:1500").size(), 'd');
    EXPECT_FALSE(BuildRequestText("", db, "LOG", 1, 1, 1500, &text));
    EXPECT_TRUE(BuildRequestText("", db.substr(1), "LOG", 1, 1, 1500, &text));
    EXPECT_EQ(text.size(), 8191u);
}

TEST(Request, StreamsOfOneBackupDifferOnlyInTheirIndex) {
    std::string a, b;
    ASSERT_TRUE(BuildRequestText(kList, "Sales", "DATABASE", 3, 1, 1500, &a));
    ASSERT_TRUE(BuildRequestText(kList, "Sales", "DATABASE", 3, 3, 1500, &b));
    RestoreRequest ra, rb;
    ASSERT_EQ(Parse(a, &ra), RequestFault::None);
    ASSERT_EQ(Parse(b, &rb), RequestFault::None);
    EXPECT_EQ(RegistrationKey("10.0.0.5", ra.keyText), "10.0.0.5#Sales#DATABASE#3#1");
    EXPECT_EQ(RegistrationKey("10.0.0.5", rb.keyText), "10.0.0.5#Sales#DATABASE#3#3");
    // What a device thread of that restore looks up for stream 3.
    EXPECT_EQ(LookupKey("10.0.0.5", ra.database.c_str(), ra.kind.c_str(), ra.count, 3),
              RegistrationKey("10.0.0.5", rb.keyText));
}

TEST(Request, RefusedRequests) {
    const std::string longName(256, 'n');
    struct Case {
        std::string text;
        RequestFault fault;
    };
    const Case cases[] = {
        {"", RequestFault::NoKey},
        {"garbage without any separator", RequestFault::NoKey},
        {"|Sales#DATABASE#1#1", RequestFault::NoKey},         // no ":"
        {"|:1500", RequestFault::NoKey},                      // ":" right after the last "|"
        {"|Sales#DATABASE#1#1:1500|", RequestFault::NoKey},   // the last ":" before the last "|"
        {"Sales#DATABASE#1#1:1500", RequestFault::MoveText},  // no "|": the whole text is the move list
        {"|Sales#DATABASE#1:1500", RequestFault::Fields},
        {"|#DATABASE#1#1:1500", RequestFault::Fields},  // empty database name
        {"|Sales##1#1:1500", RequestFault::Fields},
        {"|Sales#DATABASE#x#1:1500", RequestFault::Fields},
        {"|Sales#DATABASE#2147483648#1:1500", RequestFault::Fields},  // 2^31 does not fit the count
        {"|" + longName + "#DATABASE#1#1:1500", RequestFault::FieldWidth},
        {"|" + longName.substr(1) + "#DATABASE#1#1:1500", RequestFault::None},
        {"|Sales#DATABASEDATABASEDATABASE#1#1:1500", RequestFault::FieldWidth},  // 24 characters
        {"|Sales#DATABASE# 1#1:1500", RequestFault::KeyMismatch},
        {"|Sales#DATABASE#+1#1:1500", RequestFault::KeyMismatch},
        {"|Sales#DATABASE#01#1:1500", RequestFault::KeyMismatch},
        {"|Sales#DATABASE#1#1x:1500", RequestFault::KeyMismatch},
        {"|Sales#DATABASE#1#1  :1500", RequestFault::None},  // trailing blanks leave the key as it is
        {"|a|Sales#DATABASE#1#1:1500", RequestFault::KeyMismatch},
        {"|Sales#DATABASE; DROP TABLE t#1#1:1500", RequestFault::Kind},
        {"|Sales#database#1#1:1500", RequestFault::Kind},
        {"|Sales#LOG#0#1:1500", RequestFault::Count},
        {"|Sales#LOG#33#1:1500", RequestFault::Count},
        {"|Sales#LOG#32#32:1500", RequestFault::None},
        {"|Sales#LOG#-1#1:1500", RequestFault::Count},
        {"|Sales#LOG#2#0:1500", RequestFault::Index},
        {"|Sales#LOG#2#3:1500", RequestFault::Index},
        {"|../../etc/x#LOG#1#1:1500", RequestFault::DatabaseName},
        {"|a\\b#LOG#1#1:1500", RequestFault::DatabaseName},
        {"|a\tb#LOG#1#1:1500", RequestFault::DatabaseName},
        {"x|Sales#LOG#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a'' TO ''C:\\a.mdf''|Sales#LOG#1#1:1500", RequestFault::MoveText},  // no marker
        {", MOVE ''a'' TO ''%DATA%a.mdf''', 'x')); DROP DATABASE master; --|Sales#DATABASE#1#1:1500",
         RequestFault::MoveText},
        {", MOVE ''a'b'' TO ''%DATA%a.mdf''|Sales#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE '''' TO ''%DATA%a.mdf''|Sales#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a'' TO ''%LOG%''|Sales#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a [%s]; --'' TO ''%DATA%a.mdf''|Sales#DATABASE#1#1:1500", RequestFault::None},
        // A quote in a name travels four times; any other run of quotes would end the literal early.
        {", MOVE ''O''''Brien'' TO ''%DATA%O''''Brien.mdf''|O'Brien#DATABASE#1#1:1500", RequestFault::None},
        {", MOVE ''''''a'''''' TO ''%LOG%''''''''''|x#DATABASE#1#1:1500", RequestFault::None},
        {", MOVE ''a'''b'' TO ''%DATA%a.mdf''|x#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a''''' TO ''%DATA%a.mdf''|x#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a'' TO ''%DATA%a''''', 'x')); --''|x#DATABASE#1#1:1500", RequestFault::MoveText},
        // A file name is bare: nothing may lead it out of the folder its marker stands for.
        {", MOVE ''a'' TO ''%DATA%../a.mdf''|Sales#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a'' TO ''%DATA%..''|Sales#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a'' TO ''%LOG%/var/log/a.ldf''|Sales#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a'' TO ''%DATA%sub\\a.mdf''|Sales#DATABASE#1#1:1500", RequestFault::MoveText},
        {", MOVE ''a'' TO ''%DATA%a.mdf'', MOVE ''b'' TO ''%LOG%../../b.ldf''|Sales#DATABASE#1#1:1500",
         RequestFault::MoveText},
        {", MOVE ''a/b'' TO ''%DATA%a.b.mdf''|Sales#DATABASE#1#1:1500", RequestFault::None},  // a logical name
    };
    for (const Case& c : cases) {
        RestoreRequest r;
        EXPECT_EQ(Parse(c.text, &r), c.fault) << c.text << " gave " << RequestFaultText(Parse(c.text, &r));
    }
}

TEST(Request, ReadsOnlyUpToTheFirstZeroByteAndWithinTheBlock) {
    std::string block(kRequestBlockSize, 'x');  // no zero byte at all
    RestoreRequest r;
    EXPECT_EQ(ParseRequest(block.data(), block.size(), &r), RequestFault::NoKey);

    std::string text = "|Sales#LOG#1#1:1500";
    text += '\0';
    text += "|Other#LOG#1#1:1600";
    ASSERT_EQ(Parse(text, &r), RequestFault::None);
    EXPECT_EQ(r.database, "Sales");
    EXPECT_EQ(r.version, 1500);
}

TEST(Request, VersionTextIsItsLeadingNumber) {
    const std::pair<std::string, int32_t> cases[] = {
        {"1500", 1500},
        {"1500abc", 1500},
        {"", 0},
        {"abc", 0},
        {" -7", -7},
        {"\t+12x", 12},
        {"- 5", 0},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        RestoreRequest r;
        ASSERT_EQ(Parse("|Sales#LOG#1#1:" + c.first, &r), RequestFault::None);
        EXPECT_EQ(r.version, c.second) << c.first;
    }
}

TEST(Service, VersionRule) {
    struct Case {
        int32_t local, incoming;
        bool accepted;
    };
    const Case cases[] = {
        {1500, 1500, true},  {1500, 1100, true}, {1500, 1099, false}, {1500, 1600, false},
        {1500, 1050, false}, {1000, 700, true},  {1000, 699, false},  {850, 850, true},
        {850, 550, true},    {850, 549, false},  {0, 0, true},        {0, 1500, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VersionAccepted(c.local, c.incoming), c.accepted) << c.local << " <- " << c.incoming;
}

TEST(Service, AllowList) {
    struct Case {
        std::string list;
        const char* peer;
        bool allowed;
    };
    const Case cases[] = {
        {",,", "10.1.2.3", true},
        {",1.2.,", "10.1.2.3", true},  // at most 6 characters admits every peer
        {",10.1.2.3,", "10.1.2.3", true},
        {",10.1.2.3,", "10.1.2.30", false},  // only begins with the allowed address
        {",10.1.2.30,", "10.1.2.3", false},
        {",127.0.0.1,10.1.2.3,", "10.1.2.3", true},
        {",127.0.0.1, 10.1.2.3,", "10.1.2.3", false},  // a blank after a comma never matches
    };
    for (const Case& c : cases) EXPECT_EQ(PeerAllowed(c.list, c.peer), c.allowed) << c.list << " " << c.peer;
}

TEST(Service, ConnectionTable) {
    int pair[2], other[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
    SocketThreadParam first{static_cast<SOCKET>(pair[0]), {}};
    SocketThreadParam second{static_cast<SOCKET>(other[0]), {}};
    const std::string key = "10.0.0.5#T#LOG#1#1";
    uint64_t id = 0;

    EXPECT_EQ(TakeConnection(key, 0), INVALID_SOCKET);
    EXPECT_EQ(RegisterConnection(key, first, &id), Registered::Yes);
    // One socket per key: a second connection under a waiting key, or one in use, is refused.
    EXPECT_EQ(RegisterConnection(key, second, &id), Registered::Duplicate);
    EXPECT_EQ(TakeConnection(key, 0), first.socket);
    EXPECT_EQ(TakeConnection(key, 0), INVALID_SOCKET);  // taken once, by one restore only
    EXPECT_EQ(RegisterConnection(key, second, &id), Registered::Duplicate);
    RemoveConnection(key, second.socket);  // not the socket the entry holds: it stays
    EXPECT_EQ(RegisterConnection(key, second, &id), Registered::Duplicate);
    RemoveConnection(key, first.socket);
    EXPECT_EQ(RegisterConnection(key, second, &id), Registered::Yes);  // the key is free again
    EXPECT_EQ(TakeConnection(key, 0), second.socket);
    RemoveConnection(key, second.socket);

    // A stream that connects while its device thread already looks is found within the bound.
    std::thread late([&] {
        Sleep(200);
        RegisterConnection(key, first, &id);
    });
    EXPECT_EQ(TakeConnection(key, 5000), first.socket);
    late.join();
    RemoveConnection(key, first.socket);
    for (int fd : {pair[0], pair[1], other[0], other[1]}) close(fd);
}

TEST(Service, WaitingConnectionsAreBounded) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const SocketThreadParam param{static_cast<SOCKET>(pair[0]), {}};
    uint64_t id = 0;
    // Two peers, each within its share.
    auto key = [](size_t i) { return "10.0.0." + std::to_string(5 + i % 2) + "#T" + std::to_string(i) + "#LOG#2#2"; };
    for (size_t i = 0; i < kMaxWaitingConnections; ++i)
        ASSERT_EQ(RegisterConnection(key(i), param, &id), Registered::Yes);
    EXPECT_EQ(RegisterConnection("10.0.0.7#U#LOG#1#1", param, &id), Registered::Full);
    // A taken entry waits no more: it leaves room for the next.
    EXPECT_EQ(TakeConnection(key(0), 0), param.socket);
    EXPECT_EQ(RegisterConnection("10.0.0.7#U#LOG#1#1", param, &id), Registered::Yes);
    ClearConnections();
    close(pair[0]);
    close(pair[1]);
}

TEST(Service, OnePeerTakesAtMostItsShareOfTheWaitingRoom) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const SocketThreadParam param{static_cast<SOCKET>(pair[0]), {}};
    uint64_t id = 0;
    auto key = [](const char* peer, size_t i) { return std::string(peer) + "#T" + std::to_string(i) + "#LOG#2#2"; };
    for (size_t i = 0; i < kMaxWaitingPerPeer; ++i)
        ASSERT_EQ(RegisterConnection(key("10.0.0.5", i), param, &id), Registered::Yes);
    EXPECT_EQ(RegisterConnection(key("10.0.0.5", 99), param, &id), Registered::PeerFull);
    // An address that only begins with the peer's is another peer.
    EXPECT_EQ(RegisterConnection(key("10.0.0.50", 0), param, &id), Registered::Yes);
    EXPECT_EQ(TakeConnection(key("10.0.0.5", 0), 0), param.socket);
    EXPECT_EQ(RegisterConnection(key("10.0.0.5", 99), param, &id), Registered::Yes);
    ClearConnections();
    close(pair[0]);
    close(pair[1]);
}

TEST(Service, OneRestoreOfADatabaseAtATime) {
    const SocketThreadParam param{INVALID_SOCKET, {}};
    uint64_t id = 0;
    const std::string sales = "Sales", upper = "SALES", orders = "Orders";
    struct Case {
        const char* what;
        std::string key;
        const std::string* restoreOf;  // a stream 1 claims its database
        Registered result;
    };
    const std::vector<Case> cases = {
        {"the first restore", "10.0.0.5#Sales#DATABASE#2#1", &sales, Registered::Yes},
        {"another peer, another case", "10.0.0.6#SALES#DATABASE#1#1", &upper, Registered::DatabaseBusy},
        {"the same peer, another case", "10.0.0.5#SALES#LOG#1#1", &upper, Registered::DatabaseBusy},
        {"a later stream of the first", "10.0.0.5#Sales#DATABASE#2#2", nullptr, Registered::Yes},
        {"another database", "10.0.0.6#Orders#DATABASE#1#1", &orders, Registered::Yes},
        // A request refused for its key claims nothing: Orders stays the first restore's.
        {"a duplicate key", "10.0.0.5#Sales#DATABASE#2#1", &orders, Registered::Duplicate},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RegisterConnection(c.key, param, &id, c.restoreOf), c.result) << c.what;
        std::lock_guard<std::mutex> hold(g_connectionsLock);
        EXPECT_EQ(g_connections.count(c.key), c.result == Registered::DatabaseBusy ? 0u : 1u) << c.what;
    }
    ReleaseDatabase("sales");  // the restore has ended
    EXPECT_EQ(RegisterConnection("10.0.0.6#SALES#DATABASE#1#1", param, &id, &upper), Registered::Yes);
    EXPECT_EQ(RegisterConnection("10.0.0.7#orders#DATABASE#1#1", param, &id, &orders), Registered::DatabaseBusy);
    ReleaseDatabase(upper);
    ReleaseDatabase(orders);
    ClearConnections();
}

// The messages a call logs, without their time prefix.
std::vector<std::string> Logged(const std::function<void()>& f) {
    Log::SetLogLevel(Log::LOG_INFO);
    const std::string out = kestest::capturedStdout(f);
    Log::SetLogLevel(Log::LOG_FATAL);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(out.substr(start, nl - start).substr(10));
    return lines;
}

TEST(Service, RefusedPeersAreLoggedBoundedUnderAFlood) {
    const std::string denied9 = "Connection[10.0.0.9] denied for source auth error.";
    const std::string denied8 = "Connection[10.0.0.8] denied for source auth error.";
    struct Step {
        const char* peer;  // null: a peer was admitted
        DWORD at;
        std::vector<std::string> lines;
    };
    const Step steps[] = {
        {"10.0.0.9", 0, {denied9}},
        {"10.0.0.9", 10, {"Further connections from [10.0.0.9] are denied without a line each for a minute."}},
        {"10.0.0.9", 20, {}},
        {"10.0.0.8", 30, {denied8}},
        {nullptr, 59999, {}},
        {nullptr, 60000, {"Connection[10.0.0.9] denied 2 more times for source auth error within a minute."}},
        {"10.0.0.9", 60001, {denied9}},
        {"10.0.0.8", 60030, {denied8}},  // its minute passed without a repeat: nothing to count
    };
    DenialLog denials;
    for (const Step& step : steps) {
        const auto lines = Logged([&] { step.peer ? denials.Refused(step.peer, step.at) : denials.Sweep(step.at); });
        EXPECT_EQ(lines, step.lines) << step.at;
    }

    // Beyond the addresses it remembers, every refusal is logged.
    DenialLog full;
    Logged([&] {
        for (size_t i = 0; i < DenialLog::kMaxAddresses; ++i) full.Refused(("10.1." + std::to_string(i)).c_str(), 0);
    });
    const auto lines = Logged([&] {
        full.Refused("10.2.0.1", 1);
        full.Refused("10.2.0.1", 2);
    });
    EXPECT_EQ(lines, std::vector<std::string>(2, "Connection[10.2.0.1] denied for source auth error."));
}

TEST(Service, ARequestBlockHasOneBoundForAllOfIt) {
    struct Case {
        const char* what;
        DWORD pauseMs;  // between the bytes; 0: the whole block at once
        bool whole;
    };
    const Case cases[] = {
        {"the whole block at once", 0, true},
        {"a byte every 20 ms", 20, false},  // each byte well within the bound, the block far beyond it
    };
    for (const Case& c : cases) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        std::atomic<bool> stop{false};
        std::thread peer([&] {
            if (!c.pauseMs) {
                const std::string all(kRequestBlockSize, 'x');
                send(pair[1], all.data(), all.size(), 0);
                return;
            }
            while (!stop) {
                send(pair[1], "x", 1, 0);
                Sleep(c.pauseMs);
            }
        });
        char block[kRequestBlockSize] = {};
        testing::internal::CaptureStdout();
        const DWORD start = GetTickCount();
        const int32_t got = RecvAll(static_cast<SOCKET>(pair[0]), block, sizeof block, 300);
        const DWORD took = GetTickCount() - start;
        const std::string console = testing::internal::GetCapturedStdout();
        stop = true;
        peer.join();
        if (c.whole) {
            EXPECT_EQ(got, static_cast<int32_t>(kRequestBlockSize)) << c.what;
            EXPECT_EQ(console, "") << c.what;
        } else {
            EXPECT_GT(got, 0) << c.what;
            EXPECT_LT(got, static_cast<int32_t>(kRequestBlockSize)) << c.what;
            EXPECT_GE(took, 300u) << c.what;
            EXPECT_LT(took, 5000u) << c.what;
            EXPECT_NE(console.find("Failed to receive data"), std::string::npos) << c.what;
        }
        close(pair[0]);
        close(pair[1]);
    }
}

// The backup side tells a refusal (closed or reset) from a silent service by why the receive of
// the answer stopped short.
TEST(Service, ABoundedReceiveSaysWhyItStoppedShort) {
    enum class Peer { SendsAll, ClosesEarly, FallsSilent };
    struct Case {
        const char* what;
        Peer peer;
        size_t got;
        bool timedOut;
    };
    const Case cases[] = {
        {"the whole block", Peer::SendsAll, 3000, false},
        {"10 bytes, then closed", Peer::ClosesEarly, 10, false},
        {"10 bytes, then nothing", Peer::FallsSilent, 10, true},
    };
    for (const Case& c : cases) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        const std::string bytes(c.peer == Peer::SendsAll ? 3000 : 10, 'x');
        ASSERT_EQ(send(pair[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        if (c.peer == Peer::ClosesEarly) close(pair[1]);
        char buffer[3000];
        int error = -1;
        const DWORD start = GetTickCount();
        EXPECT_EQ(RecvWithin(static_cast<SOCKET>(pair[0]), buffer, sizeof buffer, 200, &error), c.got) << c.what;
        EXPECT_EQ(IsReceiveTimeout(error), c.timedOut) << c.what << ": error " << error;
        if (c.peer == Peer::ClosesEarly) {
            EXPECT_EQ(error, 0) << c.what;
        }
        if (c.timedOut) {
            EXPECT_GE(GetTickCount() - start, 200u) << c.what;
        }
        close(pair[0]);
        if (c.peer != Peer::ClosesEarly) close(pair[1]);
    }
}

// Whether a descriptor is still open in this process.
bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(Service, WaitingConnectionEndsWhenTakenOrGivenUp) {
    struct Case {
        const char* what;
        bool peerSends;  // the peer sent a byte that is still unread
        bool peerCloses;
        bool taken;  // a restore takes the entry meanwhile
        uint32_t waitMs;
        bool closed;      // the watch closed and removed the entry
        DWORD atLeastMs;  // how long the watch lasted at least
    };
    const Case cases[] = {
        {"peer gone", false, true, false, 60000, true, 0},
        {"peer gone, its bytes unread", true, true, false, 400, true, 400},
        {"peer silent", false, false, false, 400, true, 400},
        {"nothing waits for it any more", false, false, false, 0, true, 0},
        {"taken", false, false, true, 60000, false, 0},
    };
    for (const Case& c : cases) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        const std::string key = "10.0.0.5#W#LOG#2#2";
        uint64_t id = 0;
        ASSERT_EQ(RegisterConnection(key, SocketThreadParam{static_cast<SOCKET>(pair[0]), {}}, &id), Registered::Yes);
        if (c.peerSends) send(pair[1], "x", 1, 0);
        if (c.peerCloses) close(pair[1]);
        std::thread restore;
        if (c.taken) restore = std::thread([&] { EXPECT_EQ(TakeConnection(key, 5000), static_cast<SOCKET>(pair[0])); });
        const DWORD start = GetTickCount();
        WatchConnection(key, id, c.waitMs);
        const DWORD took = GetTickCount() - start;
        if (restore.joinable()) restore.join();

        EXPECT_GE(took, c.atLeastMs) << c.what;
        EXPECT_LT(took, c.atLeastMs + 5000) << c.what;
        EXPECT_EQ(!IsOpen(pair[0]), c.closed) << c.what;
        uint64_t again = 0;
        EXPECT_EQ(RegisterConnection(key, SocketThreadParam{INVALID_SOCKET, {}}, &again),
                  c.closed ? Registered::Yes : Registered::Duplicate)
            << c.what;
        ClearConnections();
        if (!c.closed) close(pair[0]);
        if (!c.peerCloses) close(pair[1]);
    }
}

TEST(LocalCopy, Names) {
    const SYSTEMTIME t = Time(2026, 3, 4, 5, 6, 7);
    struct Case {
        const char* folder;
        const char* kind;
        uint32_t index;
        std::string name;
    };
    const Case cases[] = {
        {"/tmp/cp", "DATABASE", 2, "/tmp/cp/Sales_D_20260304050607_2.bak"},
        {"/tmp/cp/", "LOG", 1, "/tmp/cp/Sales_L_20260304050607_1.trn"},
        {"/abc", "DATABASE", 1, "/abc/Sales_D_20260304050607_1.bak"},  // 4 characters without a "/" at the end
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(WantsLocalCopy(c.folder));
        std::string name;
        ASSERT_TRUE(LocalCopyName(c.folder, "Sales", c.kind, t, c.index, &name));
        EXPECT_EQ(name, c.name);
    }
    EXPECT_FALSE(WantsLocalCopy("/ab"));
    EXPECT_FALSE(WantsLocalCopy(""));

    // 511 characters is the longest name.
    std::string name;
    const std::string fits(511 - std::string("/x/_D_20260304050607_1.bak").size(), 'd');
    EXPECT_TRUE(LocalCopyName("/x", fits, "DATABASE", t, 1, &name));
    EXPECT_EQ(name.size(), 511u);
    EXPECT_FALSE(LocalCopyName("/x", fits + "d", "DATABASE", t, 1, &name));
}

TEST(Statement, WellFormedRequestGivesTheServiceRestore) {
    const char resolved[] = ", MOVE 'Sales' TO '/var/data/Sales.mdf', MOVE 'Sales_log' TO '/var/log/Sales_log.ldf'";
    RestoreTemplate t = ComposeServiceRestore("DATABASE", "Sales", true, "NORECOVERY", resolved);
    const std::string expected =
        "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='Sales' AND is_read_only=1 AND is_in_standby=1 AND "
        "state=0) ALTER DATABASE [Sales] SET SINGLE_USER WITH ROLLBACK IMMEDIATE; RESTORE DATABASE [Sales] FROM %s "
        "WITH STATS=5, REPLACE, NORECOVERY" +
        std::string(resolved) +
        "; IF EXISTS(SELECT 1 FROM sys.databases WHERE name='Sales' AND user_access=1) ALTER DATABASE [Sales] SET "
        "MULTI_USER WITH ROLLBACK IMMEDIATE; ";
    EXPECT_EQ(t.text, expected);
    EXPECT_EQ(t.text.substr(t.marker, 2), "%s");

    const std::wstring set = L"{0A1B2C3D-0000-1111-2222-333344445555}";
    EXPECT_EQ(DeviceList(set.c_str(), 1), " VIRTUAL_DEVICE='{0A1B2C3D-0000-1111-2222-333344445555}'");
    EXPECT_EQ(DeviceList(L"G", 3), " VIRTUAL_DEVICE='G', VIRTUAL_DEVICE='G1', VIRTUAL_DEVICE='G2'");
    const std::string filled = FillDeviceList(t, DeviceList(L"G", 2));
    EXPECT_NE(filled.find("RESTORE DATABASE [Sales] FROM  VIRTUAL_DEVICE='G', VIRTUAL_DEVICE='G1' WITH STATS=5, "),
              std::string::npos);
}

TEST(Statement, NamesFromThePeerStayInsideTheirQuotes) {
    const std::string db = "x'] %s; DROP DATABASE master; --";
    RestoreTemplate t = ComposeServiceRestore("LOG", db, false, "RECOVERY", ", MOVE 'a' TO '%s/a.mdf'");
    const std::string filled = FillDeviceList(t, " VIRTUAL_DEVICE='G'");
    EXPECT_NE(filled.find("name='x''] %s; DROP DATABASE master; --' AND is_read_only"), std::string::npos) << filled;
    EXPECT_NE(filled.find("ALTER DATABASE [x']] %s; DROP DATABASE master; --] SET SINGLE_USER"), std::string::npos);
    EXPECT_NE(filled.find("RESTORE LOG [x']] %s; DROP DATABASE master; --] FROM  VIRTUAL_DEVICE='G' WITH STATS=5, "
                          "RECOVERY, MOVE 'a' TO '%s/a.mdf'; "),
              std::string::npos)
        << filled;
    EXPECT_EQ(DatabaseExistsQuery(db),
              "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='x''] %s; DROP DATABASE master; --') SELECT 1 ELSE "
              "SELECT 0");
}

TEST(Statement, ResolvedNullIsNotPlaced) {
    RestoreTemplate t = ComposeServiceRestore("DATABASE", "Sales", false, "RECOVERY", "NULL");
    EXPECT_NE(t.text.find("WITH STATS=5, RECOVERY; IF EXISTS"), std::string::npos) << t.text;
}

TEST(Statement, StandbyOption) {
    const SYSTEMTIME t = Time(2026, 12, 31, 23, 59, 58);
    EXPECT_EQ(StandbyOption("/srv/sb", "Sales", 'F', t), "Standby='/srv/sb/Sales_F_20261231235958.dat'");
    EXPECT_EQ(StandbyOption("/srv/sb/", "O'Neil", 'L', t), "Standby='/srv/sb/O''Neil_L_20261231235958.dat'");
}

}  // namespace
