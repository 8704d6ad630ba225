// BACKUP, RESTORE, RESTORE VERIFYONLY and the single-user switch, run as batches of the emulated
// instance in-process, with the test client playing the devices.
#include "emulator/core/DbContent.h"
#include "emulator/core/Tsql.h"
#include "tests/emulator-backup/DeviceClient.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <mutex>
#include <thread>

using namespace sqlemu;
using testclient::DeviceClient;

namespace {

struct Collector : OutputSink {
    std::mutex m;
    std::vector<DiagRecord> infos, errors;
    std::vector<DiagRecord> all;
    void deliver(Packet&& p) override {
        std::lock_guard<std::mutex> lock(m);
        for (auto& r : p.records) {
            (p.kind == Packet::Error ? errors : infos).push_back(r);
            all.push_back(r);
        }
    }
    bool cancelled() const override { return false; }
};

struct Outcome {
    std::vector<DiagRecord> infos, errors, all;
    HRESULT client = S_OK;
    std::vector<int> errorNumbers() const {
        std::vector<int> out;
        for (auto& r : errors) out.push_back(r.native);
        return out;
    }
    bool hasInfo(int native, const std::string& part = "") const {
        for (auto& r : infos)
            if (r.native == native && r.text.find(part) != std::string::npos) return true;
        return false;
    }
};

// A data root with one or more instances.
class Server : public ::testing::Test {
protected:
    void SetUp() override {
        cat_ = std::make_unique<Catalogue>(root_.path());
        cat_->createInstance("MSSQLSERVER", "");
    }

    Catalogue& cat() { return *cat_; }
    std::string dir(const std::string& name) {
        std::string d = root_ / name;
        mkdir(d.c_str(), 0755);
        return d + "/";
    }

    void createDb(const std::string& name, uint64_t dataMb = 2, int dataFiles = 2, uint64_t seed = 1,
                  const std::string& inst = "MSSQLSERVER") {
        InstanceInfo in = cat().read(inst);
        DbInfo db;
        db.name = name;
        db.seed = seed;
        db.currentLsn = 1000;
        db.files = defaultFileTable(name, *in.defaultDataPath, *in.defaultLogPath, dataMb << 20, 1 << 20, dataFiles);
        db = registerDatabase(cat(), inst, db);
        generateContent(db);
    }
    DbInfo db(const std::string& name, const std::string& inst = "MSSQLSERVER") {
        InstanceInfo in = cat().read(inst);
        const DbInfo* d = in.findDatabase(name);
        EXPECT_NE(nullptr, d) << name;
        return d ? *d : DbInfo();
    }
    bool exists(const std::string& name) {
        InstanceInfo in = cat().read("MSSQLSERVER");
        return in.findDatabase(name) != nullptr;
    }
    std::string checksum(const std::string& name) { return contentChecksum(db(name)); }
    void touch(const std::string& name, uint32_t pages) { touchDatabase(cat(), "MSSQLSERVER", name, pages); }

    // Runs a batch on a session of its own; `client` (when given) plays the devices meanwhile.
    Outcome run(const std::string& batch, DeviceClient* client = nullptr, Session* session = nullptr,
                DWORD configTimeoutMs = 5000) {
        std::unique_ptr<Session> own;
        if (!session) {
            own = std::make_unique<Session>(cat(), "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
            session = own.get();
        }
        Collector sink;
        Exec x(*session, sink);
        if (client) client->start(configTimeoutMs);
        runBatch(x, batch);
        Outcome o;
        if (client) o.client = client->finish();
        o.infos = sink.infos;
        o.errors = sink.errors;
        o.all = sink.all;
        return o;
    }

    // BACKUP over `devices` devices; returns the media.
    std::vector<std::string> backup(const std::string& head, unsigned devices = 2, const std::string& with = "",
                                    Outcome* out = nullptr) {
        DeviceClient client(devices);
        Outcome o =
            run(head + " TO " + client.deviceClauses() + " WITH STATS=10, BUFFERCOUNT=6, MAXTRANSFERSIZE=65536" + with,
                &client);
        EXPECT_TRUE(o.errors.empty()) << head << ": " << (o.errors.empty() ? "" : o.errors[0].text);
        if (out) *out = o;
        return client.media;
    }

    Outcome restore(const std::string& head, const std::vector<std::string>& media, const std::string& with = "",
                    const std::string& inst = "MSSQLSERVER") {
        const std::wstring wide(inst.begin(), inst.end());
        DeviceClient client(static_cast<unsigned>(media.size()), wide.c_str());
        client.media = media;
        Session session(cat(), inst, "ODBC Driver 17 for SQL Server", "sa", "msdb");
        return run(head + " FROM " + client.deviceClauses() + " WITH STATS=25, MAXTRANSFERSIZE=131072" + with, &client,
                   &session);
    }

    std::string moves(const std::string& db, const std::string& to) {
        std::string out;
        for (const DbFile& f : this->db(db).files) {
            std::string file = f.physicalPath.substr(f.physicalPath.find_last_of('/') + 1);
            out += ", MOVE '" + f.logicalName + "' TO '" + to + "copy_" + file + "'";
        }
        return out;
    }

    kestest::TempDir root_;
    std::unique_ptr<Catalogue> cat_;
};

TEST_F(Server, FullDifferentialAndLogChainRestoresEachPointInTime) {
    createDb("Sales", 2, 3, 7);
    Outcome full;
    auto f = backup("BACKUP DATABASE [Sales]", 3, ", CHECKSUM", &full);
    const std::string atFull = checksum("Sales");
    EXPECT_TRUE(full.hasInfo(3211, "10 percent processed."));
    EXPECT_TRUE(full.hasInfo(3211, "100 percent processed."));
    const uint64_t primaryPages = db("Sales").files[0].sizeBytes / kPageSize;
    EXPECT_TRUE(full.hasInfo(
        4035, "Processed " + std::to_string(primaryPages) + " pages for database 'Sales', file 'Sales' on file 1."));
    EXPECT_TRUE(full.hasInfo(3014, "BACKUP DATABASE successfully processed "));
    EXPECT_EQ(3014, full.infos.back().native);

    touch("Sales", 40);
    Outcome diffOut;
    auto d = backup("BACKUP DATABASE [Sales]", 2, ", DIFFERENTIAL", &diffOut);
    EXPECT_TRUE(diffOut.hasInfo(3014, "BACKUP DATABASE WITH DIFFERENTIAL successfully processed "));
    const std::string atDiff = checksum("Sales");
    touch("Sales", 30);
    auto l1 = backup("BACKUP LOG [Sales]", 1);
    const std::string atLog1 = checksum("Sales");
    touch("Sales", 20);
    Outcome logOut;
    auto l2 = backup("BACKUP LOG [Sales]", 2, "", &logOut);
    EXPECT_TRUE(logOut.hasInfo(4035, "Processed 20 pages for database 'Sales', file 'Sales_log' on file 1."));
    const std::string atLog2 = checksum("Sales");
    ASSERT_NE(atFull, atDiff);
    ASSERT_NE(atLog1, atLog2);

    const std::string to = dir("copies");
    struct Case {
        const char* name;
        std::vector<const std::vector<std::string>*> chain;
        const std::string* expect;
    } cases[] = {
        {"OnlyFull", {&f}, &atFull},
        {"ToDiff", {&f, &d}, &atDiff},
        {"ToLog1", {&f, &d, &l1}, &atLog1},
        {"AllLogs", {&f, &d, &l1, &l2}, &atLog2},
        {"LogsWithoutDiff", {&f, &l1, &l2}, &atLog2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string target = std::string("Copy") + c.name;
        for (size_t i = 0; i < c.chain.size(); ++i) {
            bool last = i + 1 == c.chain.size();
            bool isLog = c.chain[i] == &l1 || c.chain[i] == &l2;
            std::string with = last ? "" : ", NORECOVERY";
            if (i == 0) with += moves("Sales", to + c.name + "_");
            Outcome o =
                restore(std::string(isLog ? "RESTORE LOG [" : "RESTORE DATABASE [") + target + "]", *c.chain[i], with);
            ASSERT_TRUE(o.errors.empty()) << i << ": " << o.errors[0].native << " " << o.errors[0].text;
            EXPECT_TRUE(o.hasInfo(
                3014, isLog ? "RESTORE LOG successfully processed " : "RESTORE DATABASE successfully processed "));
            if (c.chain[i] == &f) {
                // Every page counts, also when the stream's records do not end on page bounds.
                EXPECT_TRUE(o.hasInfo(4035, "Processed " + std::to_string(primaryPages) + " pages for database '" +
                                                target + "', file 'Sales' on file 1."));
            }
            EXPECT_EQ(last ? DbState::Online : DbState::Restoring, db(target).state);
        }
        EXPECT_EQ(*c.expect, checksum(target));
        // The copy lies where the MOVE clauses put it.
        for (const DbFile& file : db(target).files) EXPECT_EQ(0u, file.physicalPath.find(to + c.name + "_copy_"));
    }
    // A differential of a database restored up to a differential carries the restored changes too.
    auto d2 = backup("BACKUP DATABASE [CopyToDiff]", 1, ", DIFFERENTIAL");
    ASSERT_TRUE(restore("RESTORE DATABASE [Again]", f, ", NORECOVERY" + moves("Sales", to + "again_")).errors.empty());
    ASSERT_TRUE(restore("RESTORE DATABASE [Again]", d2).errors.empty());
    EXPECT_EQ(atDiff, checksum("Again"));

    // The source is untouched, and every backup verifies.
    EXPECT_EQ(atLog2, checksum("Sales"));
    for (auto* media : {&f, &d, &l1, &l2}) {
        DeviceClient client(static_cast<unsigned>(media->size()));
        client.media = *media;
        Outcome v = run("RESTORE  VERIFYONLY FROM " + client.deviceClauses() +
                            " WITH STATS=5, BUFFERCOUNT=3, MAXTRANSFERSIZE=1048576",
                        &client);
        EXPECT_TRUE(v.errors.empty());
        EXPECT_TRUE(v.hasInfo(3262, "The backup set on file 1 is valid."));
    }
}

TEST_F(Server, RestoreReplacesAndStandbyLeavesAReadOnlyDatabase) {
    createDb("Ops", 1, 1, 3);
    auto f = backup("BACKUP DATABASE [Ops]", 1);
    const std::string atFull = checksum("Ops");
    touch("Ops", 10);
    // Over the existing online database only with REPLACE.
    Outcome refused = restore("RESTORE DATABASE [Ops]", f);
    EXPECT_EQ((std::vector<int>{3159, 3013}), refused.errorNumbers());
    EXPECT_NE(atFull, checksum("Ops"));
    Outcome replaced = restore("RESTORE DATABASE [Ops]", f, ", REPLACE");
    EXPECT_TRUE(replaced.errors.empty());
    EXPECT_EQ(atFull, checksum("Ops"));
    EXPECT_EQ(DbState::Online, db("Ops").state);

    touch("Ops", 5);
    auto log = backup("BACKUP LOG [Ops]", 1);
    const std::string afterLog = checksum("Ops");
    const std::string standby = dir("standby") + "Ops_L.dat";
    Outcome s1 = restore("RESTORE DATABASE [OpsCopy]", f, ", STANDBY='" + standby + "'" + moves("Ops", dir("c")));
    ASSERT_TRUE(s1.errors.empty()) << s1.errors[0].text;
    EXPECT_EQ(DbState::Standby, db("OpsCopy").state);
    EXPECT_FALSE(kestest::readFile(standby).empty());
    // A log restore goes on from the standby database.
    Outcome s2 = restore("RESTORE LOG [OpsCopy]", log, ", RECOVERY");
    ASSERT_TRUE(s2.errors.empty()) << s2.errors[0].text;
    EXPECT_EQ(DbState::Online, db("OpsCopy").state);
    EXPECT_EQ(afterLog, checksum("OpsCopy"));
}

TEST_F(Server, LogBackupWithNorecoveryOrStandbyChangesTheSourceState) {
    struct Case {
        const char* option;
        DbState state;
    } cases[] = {{", NORECOVERY", DbState::Restoring}, {", STANDBY='%s'", DbState::Standby}};
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "Tail" + std::to_string(n++);
        createDb(name, 1, 1);
        backup("BACKUP DATABASE [" + name + "]", 1);
        touch(name, 3);
        std::string file = dir("sb") + name + ".dat";
        std::string option = c.option;
        if (option.find("%s") != std::string::npos) option.replace(option.find("%s"), 2, file);
        // The engine's wrapper: single-user first, multi-user afterwards when still single-user.
        DeviceClient client(1);
        Outcome o =
            run("ALTER DATABASE [" + name + "] SET SINGLE_USER WITH ROLLBACK IMMEDIATE; BACKUP LOG [" + name + "] TO " +
                    client.deviceClauses() + " WITH STATS=5, BUFFERCOUNT=4, MAXTRANSFERSIZE=65536" + option +
                    " IF EXISTS(SELECT 1 FROM sys.databases WHERE name='" + name +
                    "' AND user_access=1) ALTER DATABASE [" + name + "] SET MULTI_USER WITH ROLLBACK IMMEDIATE; ",
                &client);
        EXPECT_TRUE(o.errors.empty()) << (o.errors.empty() ? "" : o.errors[0].text);
        EXPECT_TRUE(o.hasInfo(3014, "BACKUP LOG successfully processed"));
        EXPECT_EQ(c.state, db(name).state);
        EXPECT_EQ(UserAccess::Multi, db(name).userAccess);
        if (c.state == DbState::Standby) {
            EXPECT_FALSE(kestest::readFile(file).empty());
        }
        // Such a database is not backed up again.
        DeviceClient again(1);
        Outcome refused = run("BACKUP DATABASE [" + name + "] TO " + again.deviceClauses(), &again);
        EXPECT_EQ(c.state == DbState::Restoring ? 927 : 3036, refused.errorNumbers().at(0));
    }
}

TEST_F(Server, BackupRulesAndOptionLimits) {
    createDb("Fresh", 1, 1);
    createDb("Based", 1, 1);
    backup("BACKUP DATABASE [Based]", 1);
    cat().update("MSSQLSERVER", [](InstanceInfo& in) { in.certificates.push_back("BackupCert"); });
    struct Case {
        std::string head, with;
        std::vector<int> errors;
        const char* text;
    } cases[] = {
        {"BACKUP DATABASE [Fresh]", ", DIFFERENTIAL", {3035, 3013}, "because a current database backup does not exist"},
        {"BACKUP LOG [Fresh]",
         "",
         {4214, 3013},
         "BACKUP LOG cannot be performed because there is no current database backup."},
        {"BACKUP DATABASE [Nowhere]", "", {911, 3013}, "Database 'Nowhere' does not exist."},
        {"BACKUP DATABASE [Based]",
         ", ENCRYPTION (ALGORITHM = AES_256, SERVER CERTIFICATE = NoSuchCert)",
         {15151, 3013},
         "Cannot find the certificate 'NoSuchCert'"},
        {"BACKUP DATABASE [Based]", ", MAXTRANSFERSIZE=1000", {}, nullptr},  // a second MAXTRANSFERSIZE: syntax
        {"BACKUP DATABASE [Based]", ", NORECOVERY", {3032, 3013}, "(norecovery)"},
        {"BACKUP LOG [Based]", ", STANDBY='/no/such/folder/x.dat'", {5133, 3013}, "Directory lookup for the file"},
        {"BACKUP LOG [Based]", ", COMPRESSION, NO_COMPRESSION", {3032, 3013}, "compression, no_compression"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head + c.with);
        DeviceClient client(1);
        Outcome o = run(
            c.head + " TO " + client.deviceClauses() + " WITH STATS=5, BUFFERCOUNT=4, MAXTRANSFERSIZE=65536" + c.with,
            &client, nullptr, c.errors.empty() ? 100 : 5000);
        if (c.errors.empty()) {
            EXPECT_EQ(std::vector<int>{102}, o.errorNumbers());
            continue;
        }
        EXPECT_EQ(c.errors, o.errorNumbers());
        EXPECT_NE(std::string::npos, o.errors.at(0).text.find(c.text)) << o.errors.at(0).text;
        EXPECT_EQ(VD_E_ABORT, o.client);  // the client learns of the failure at once
    }

    struct Limit {
        const char* with;
        const char* param;
    } limits[] = {
        {"MAXTRANSFERSIZE=1000", "MAXTRANSFERSIZE"},
        {"MAXTRANSFERSIZE=8388608", "MAXTRANSFERSIZE"},
        {"MAXTRANSFERSIZE=98304", "MAXTRANSFERSIZE"},
        {"BlockSize=1000", "BLOCKSIZE"},
        {"BlockSize=131072", "BLOCKSIZE"},
        {"BlockSize=256", "BLOCKSIZE"},
        {"BUFFERCOUNT=0", "BUFFERCOUNT"},
        {"STATS=0", "STATS"},
    };
    for (const Limit& l : limits) {
        DeviceClient client(1);
        Outcome o =
            run("BACKUP DATABASE [Based] TO " + client.deviceClauses() + " WITH " + l.with, &client, nullptr, 50);
        EXPECT_EQ((std::vector<int>{3250, 3013}), o.errorNumbers()) << l.with;
        EXPECT_NE(std::string::npos, o.errors.at(0).text.find(std::string("for the ") + l.param + " parameter."));
    }
    // The largest and smallest legal values work.
    for (const char* with : {"MAXTRANSFERSIZE=4194304, BlockSize=65536", "MAXTRANSFERSIZE=65536, BlockSize=512"}) {
        DeviceClient client(2);
        Outcome o =
            run("BACKUP DATABASE [Based] TO " + client.deviceClauses() + " WITH " + with + ", COPY_ONLY", &client);
        EXPECT_TRUE(o.errors.empty()) << with;
    }
    // With the certificate the backup is taken, and only an instance that has it restores it.
    auto enc =
        backup("BACKUP DATABASE [Based]", 1, ", ENCRYPTION (ALGORITHM = AES_256, SERVER CERTIFICATE = BackupCert)");
    cat().update("MSSQLSERVER", [](InstanceInfo& in) { in.certificates.clear(); });
    Outcome noCert = restore("RESTORE DATABASE [EncCopy]", enc, moves("Based", dir("enc")));
    EXPECT_EQ((std::vector<int>{33111, 3013}), noCert.errorNumbers());
    EXPECT_FALSE(exists("EncCopy"));
}

TEST_F(Server, DevicesMustMatchTheSetOfThisInstance) {
    createDb("Dev", 1, 1);
    cat().createInstance("OTHER", "");
    struct Case {
        const char* what;
        unsigned setDevices;
        const wchar_t* instance;
        std::function<std::string(DeviceClient&)> clauses;
    } cases[] = {
        {"unknown set", 1, nullptr, [](DeviceClient&) { return std::string("VIRTUAL_DEVICE='{NOT-A-SET}'"); }},
        {"set of another instance", 1, L"OTHER", [](DeviceClient& c) { return c.deviceClauses(); }},
        {"fewer clauses than devices", 2, nullptr, [](DeviceClient& c) { return "VIRTUAL_DEVICE='" + c.name() + "'"; }},
        {"more clauses than devices", 1, nullptr,
         [](DeviceClient& c) { return c.deviceClauses() + ", VIRTUAL_DEVICE='" + c.name() + "1'"; }},
        {"devices out of order", 2, nullptr,
         [](DeviceClient& c) { return "VIRTUAL_DEVICE='" + c.name() + "1', VIRTUAL_DEVICE='" + c.name() + "'"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceClient client(c.setDevices, c.instance);
        Outcome o = run("BACKUP DATABASE [Dev] TO " + c.clauses(client), &client, nullptr, 1500);
        EXPECT_EQ((std::vector<int>{3201, 3013}), o.errorNumbers());
        EXPECT_NE(std::string::npos, o.errors.at(0).text.find("Cannot open backup device '")) << o.errors[0].text;
    }
}

TEST_F(Server, RestoreChainRules) {
    createDb("Chain", 1, 1, 11);
    createDb("Stranger", 1, 1, 12);
    auto strangerFull = backup("BACKUP DATABASE [Stranger]", 1);
    auto fullA = backup("BACKUP DATABASE [Chain]", 1);
    touch("Chain", 4);
    auto log1 = backup("BACKUP LOG [Chain]", 1);
    touch("Chain", 4);
    auto log2 = backup("BACKUP LOG [Chain]", 1);
    auto fullB = backup("BACKUP DATABASE [Chain]", 1);
    touch("Chain", 4);
    auto diffB = backup("BACKUP DATABASE [Chain]", 1, ", DIFFERENTIAL");

    const std::string to = dir("chain");
    auto restartAt = [&](const std::vector<std::string>& full) {
        Outcome o = restore("RESTORE DATABASE [Target]", full, ", NORECOVERY, REPLACE" + moves("Chain", to));
        ASSERT_TRUE(o.errors.empty()) << o.errors[0].text;
    };
    struct Case {
        const char* what;
        const std::vector<std::string>* start;  // null: the target is ONLINE from a full restore
        std::string head;
        const std::vector<std::string>* media;
        std::vector<int> errors;
    } cases[] = {
        {"log gap", &fullA, "RESTORE LOG [Target]", &log2, {4305, 3013}},
        {"differential on the wrong base", &fullA, "RESTORE DATABASE [Target]", &diffB, {3136, 3013}},
        {"log onto an online database", nullptr, "RESTORE LOG [Target]", &log1, {3117, 3013}},
        {"differential onto an online database", nullptr, "RESTORE DATABASE [Target]", &diffB, {3117, 3013}},
        {"log backup through RESTORE DATABASE", &fullA, "RESTORE DATABASE [Target]", &log1, {3135, 3013}},
        {"full backup through RESTORE LOG", &fullA, "RESTORE LOG [Target]", &fullB, {3135, 3013}},
        {"another database without REPLACE", nullptr, "RESTORE DATABASE [Target]", &strangerFull, {3154, 3013}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.start) {
            restartAt(*c.start);
        } else {
            Outcome o = restore("RESTORE DATABASE [Target]", fullB, ", REPLACE" + moves("Chain", to));
            ASSERT_TRUE(o.errors.empty()) << o.errors[0].text;
        }
        DbState before = db("Target").state;
        Outcome o = restore(c.head, *c.media);
        EXPECT_EQ(c.errors, o.errorNumbers()) << (o.errors.empty() ? "" : o.errors[0].text);
        EXPECT_EQ(before, db("Target").state);  // a refused restore changes nothing
    }
    // A log that was applied already is too early; the next one still applies.
    restartAt(fullA);
    ASSERT_TRUE(restore("RESTORE LOG [Target]", log1, ", NORECOVERY").errors.empty());
    ASSERT_TRUE(restore("RESTORE LOG [Target]", log2, ", NORECOVERY").errors.empty());
    EXPECT_EQ((std::vector<int>{4326, 3013}), restore("RESTORE LOG [Target]", log1).errorNumbers());
}

TEST_F(Server, MoveTargetsMustBeUsable) {
    createDb("Mv", 1, 2);
    createDb("Neighbour", 1, 1);
    auto f = backup("BACKUP DATABASE [Mv]", 1);
    const std::string ok = dir("mv");
    struct Case {
        const char* what;
        std::string with;
        std::vector<int> errors;
    } cases[] = {
        {"missing folder",
         ", MOVE 'Mv' TO '/no/such/dir/Mv.mdf', MOVE 'Mv_2' TO '" + ok + "b.ndf', MOVE 'Mv_log' TO '" + ok + "c.ldf'",
         {5133, 3156, 3119, 3013}},
        {"unknown logical name", ", MOVE 'Nope' TO '" + ok + "x.mdf'", {3234, 3013}},
        {"file of another database",
         ", MOVE 'Mv' TO '" + db("Neighbour").files[0].physicalPath + "', MOVE 'Mv_2' TO '" + ok +
             "b.ndf', MOVE 'Mv_log' TO '" + ok + "c.ldf'",
         {1834, 3156, 3119, 3013}},
    };
    const std::string neighbour = checksum("Neighbour");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome o = restore("RESTORE DATABASE [MvCopy]", f, c.with);
        EXPECT_EQ(c.errors, o.errorNumbers()) << (o.errors.empty() ? "" : o.errors[0].text);
        EXPECT_FALSE(exists("MvCopy"));
    }
    EXPECT_EQ(neighbour, checksum("Neighbour"));
}

TEST_F(Server, FilesInUseOnAnyInstanceOfTheDataRootAreRefused) {
    // A backup restored on another instance without MOVE goes to the paths it recorded: the
    // source's live files, which the source server holds open.
    cat().createInstance("SECOND", "");
    createDb("Sales", 1, 2, 5);
    auto f = backup("BACKUP DATABASE [Sales]", 2);
    const std::string source = checksum("Sales");
    const DbInfo live = db("Sales");
    const std::string own = dir("own");
    const std::string mdf = live.files[0].physicalPath;
    const std::string data = mdf.substr(0, mdf.find_last_of('/'));
    // The same file written another way: through "." and ".." and a doubled slash.
    const std::string twisted =
        data + "/./../" + data.substr(data.find_last_of('/') + 1) + "//" + mdf.substr(mdf.find_last_of('/') + 1);
    const std::string elsewhere = ", MOVE 'Sales_2' TO '" + own + "b.ndf', MOVE 'Sales_log' TO '" + own + "c.ldf'";
    const std::string inUse = "being used by another process";
    struct Case {
        const char* what;
        std::string db, with, inst;
        std::vector<int> errors;
        std::string firstText;
    } cases[] = {
        {"recorded paths, other instance",
         "Sales",
         "",
         "SECOND",
         {3634, 3156, 3634, 3156, 3634, 3156, 3119, 3013},
         "The operating system returned the error '32(The process cannot access the file because it is being used "
         "by another process.)' while attempting 'RestoreContainer::ValidateTargetForCreation' on '" +
             mdf + "'."},
        {"one file spelled another way, other instance",
         "Sales",
         ", MOVE 'Sales' TO '" + twisted + "'" + elsewhere,
         "SECOND",
         {3634, 3156, 3119, 3013},
         inUse},
        {"recorded paths, another name here",
         "SalesCopy",
         "",
         "MSSQLSERVER",
         {1834, 3156, 1834, 3156, 1834, 3156, 3119, 3013},
         "The file '" + mdf + "' cannot be overwritten.  It is being used by database 'Sales'."},
        {"two files to one path",
         "SalesTwin",
         ", MOVE 'Sales' TO '" + own + "a.mdf', MOVE 'Sales_2' TO '" + own + "a.mdf', MOVE 'Sales_log' TO '" + own +
             "c.ldf'",
         "SECOND",
         {3176, 3119, 3013},
         "File '" + own +
             "a.mdf' is claimed by 'Sales_2'(3) and 'Sales'(1). The WITH MOVE clause can be used to "
             "relocate one or more files."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome o = restore("RESTORE DATABASE [" + c.db + "]", f, c.with, c.inst);
        EXPECT_EQ(c.errors, o.errorNumbers());
        ASSERT_FALSE(o.errors.empty());
        EXPECT_NE(std::string::npos, o.errors[0].text.find(c.firstText)) << o.errors[0].text;
        EXPECT_FALSE(cat().read(c.inst).findDatabase(c.db)) << "registered";
        EXPECT_EQ(source, checksum("Sales"));
        EXPECT_EQ(DbState::Online, db("Sales").state);
    }
    // Moved to files of its own it restores; over the source itself only WITH REPLACE, as before.
    Outcome moved =
        restore("RESTORE DATABASE [Sales]", f, ", MOVE 'Sales' TO '" + own + "a.mdf'" + elsewhere, "SECOND");
    EXPECT_TRUE(moved.errors.empty()) << moved.errors[0].text;
    EXPECT_EQ(source, contentChecksum(db("Sales", "SECOND")));
    Outcome replaced = restore("RESTORE DATABASE [Sales]", f, ", REPLACE");
    EXPECT_TRUE(replaced.errors.empty()) << replaced.errors[0].text;
    EXPECT_EQ(source, checksum("Sales"));
    // Now SECOND's copy holds `own`: the source may not take those files either.
    Outcome back = restore("RESTORE DATABASE [Sales]", f, ", REPLACE, MOVE 'Sales' TO '" + own + "a.mdf'");
    EXPECT_EQ((std::vector<int>{3634, 3156, 3119, 3013}), back.errorNumbers());
}

TEST_F(Server, SingleUserHeldByAnotherConnectionIsRefused) {
    createDb("Solo", 1, 1);
    Session holder(cat(), "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
    ASSERT_TRUE(run("ALTER DATABASE [Solo] SET SINGLE_USER WITH ROLLBACK IMMEDIATE", nullptr, &holder).errors.empty());
    EXPECT_EQ(UserAccess::Single, db("Solo").userAccess);
    {
        DeviceClient client(1);
        Outcome o = run("BACKUP DATABASE [Solo] TO " + client.deviceClauses(), &client);
        EXPECT_EQ((std::vector<int>{924, 3013}), o.errorNumbers());
    }
    EXPECT_EQ((std::vector<int>{5064, 5069}), run("ALTER DATABASE [Solo] SET MULTI_USER").errorNumbers());
    // The holder itself may back it up and switch it back.
    {
        DeviceClient client(1);
        Outcome o = run("BACKUP DATABASE [Solo] TO " + client.deviceClauses(), &client, &holder);
        EXPECT_TRUE(o.errors.empty());
    }
    ASSERT_TRUE(run("ALTER DATABASE [Solo] SET MULTI_USER", nullptr, &holder).errors.empty());
    EXPECT_EQ(UserAccess::Multi, db("Solo").userAccess);

    // A holder whose connection has closed holds nothing.
    {
        Session gone(cat(), "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
        ASSERT_TRUE(
            run("ALTER DATABASE [Solo] SET SINGLE_USER WITH ROLLBACK IMMEDIATE", nullptr, &gone).errors.empty());
    }
    EXPECT_TRUE(run("ALTER DATABASE [Solo] SET MULTI_USER").errors.empty());

    // The fault switch holds it for a connection that is not there.
    cat().update("MSSQLSERVER", [](InstanceInfo& in) { in.faults["single-user-held"] = "Solo"; });
    EXPECT_EQ((std::vector<int>{5064, 5069}),
              run("ALTER DATABASE [Solo] SET SINGLE_USER WITH ROLLBACK IMMEDIATE").errorNumbers());
    DeviceClient client(1);
    EXPECT_EQ((std::vector<int>{924, 3013}),
              run("BACKUP DATABASE [Solo] TO " + client.deviceClauses(), &client).errorNumbers());
    EXPECT_EQ((std::vector<int>{5011, 5069}), run("ALTER DATABASE [Ghost] SET MULTI_USER").errorNumbers());
}

TEST_F(Server, BadStreamsNeverLeaveTheDatabaseOnline) {
    createDb("Src", 2, 2, 5);
    auto media = backup("BACKUP DATABASE [Src]", 2);
    auto flip = [](std::string s, size_t at) {
        s[at] = static_cast<char>(s[at] ^ 1);
        return s;
    };
    struct Case {
        const char* what;
        std::vector<std::string> media;
        int error;
    } cases[] = {
        {"damaged", {media[0], flip(media[1], media[1].size() / 2)}, 3183},
        {"truncated", {media[0].substr(0, media[0].size() / 2), media[1]}, 3203},
        {"missing family", {media[1]}, 3132},
        {"misordered", {media[1], media[0]}, 3229},
        {"wrongly decrypted", {flip(media[0], 0), media[1]}, 3241},
    };
    const std::string to = dir("bad");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome o = restore("RESTORE DATABASE [Broken]", c.media, ", REPLACE" + moves("Src", to));
        EXPECT_EQ((std::vector<int>{c.error, 3013}), o.errorNumbers()) << o.errors.at(0).text;
        if (exists("Broken")) {
            EXPECT_EQ(DbState::Restoring, db("Broken").state);
        }
        DeviceClient client(static_cast<unsigned>(c.media.size()));
        client.media = c.media;
        Outcome v = run("RESTORE VERIFYONLY FROM " + client.deviceClauses(), &client);
        EXPECT_EQ((std::vector<int>{c.error, 3013}), v.errorNumbers());
        EXPECT_NE(std::string::npos, v.errors.back().text.find("VERIFY DATABASE is terminating abnormally."));
    }
    // The good stream still restores over the broken attempt.
    EXPECT_TRUE(restore("RESTORE DATABASE [Broken]", media, ", REPLACE" + moves("Src", to)).errors.empty());
    EXPECT_EQ(checksum("Src"), checksum("Broken"));
}

TEST_F(Server, FaultSwitches) {
    createDb("F", 1, 1);
    auto setFault = [&](const std::string& name, const std::string& value) {
        cat().update("MSSQLSERVER", [&](InstanceInfo& in) {
            in.faults.clear();
            if (!name.empty()) in.faults[name] = value;
        });
    };
    // A late server: the client's configuration wait runs out, it withdraws the set, the statement fails.
    setFault("vdi-open-delay", "600");
    {
        auto client = std::make_unique<DeviceClient>(1);
        std::string clauses = client->deviceClauses();
        client->start(100);
        auto stmt = std::async(std::launch::async, [&] { return run("BACKUP DATABASE [F] TO " + clauses); });
        EXPECT_EQ(VD_E_TIMEOUT, client->finish());
        client.reset();
        EXPECT_EQ((std::vector<int>{3201, 3013}), stmt.get().errorNumbers());
    }
    // A stream that stops after some bytes: the backup completes, its restore finds the family cut.
    setFault("stream-stop", "1:65536");
    auto cut = backup("BACKUP DATABASE [F]", 2, ", COPY_ONLY");
    EXPECT_EQ(65536u, cut[1].size());
    setFault("", "");
    EXPECT_EQ(3203, restore("RESTORE DATABASE [FCopy]", cut, moves("F", dir("f"))).errorNumbers().at(0));
    // An unsupported command: the client answers it as such and the backup goes on.
    setFault("unsupported-command", "");
    {
        DeviceClient client(2);
        Outcome o = run("BACKUP DATABASE [F] TO " + client.deviceClauses() + " WITH COPY_ONLY", &client);
        EXPECT_TRUE(o.errors.empty());
        EXPECT_EQ(99u, client.commands[1].front());
    }
    // Abort midway: the statement fails and the client sees the abort.
    setFault("abort-at", "50");
    {
        DeviceClient client(2);
        Outcome o = run("BACKUP DATABASE [F] TO " + client.deviceClauses() + " WITH MAXTRANSFERSIZE=65536", &client);
        EXPECT_EQ((std::vector<int>{3202, 3013}), o.errorNumbers());
        EXPECT_EQ(VD_E_ABORT, o.client);
        EXPECT_EQ(0u, db("F").lastFullLsn);  // a failed backup counts for nothing
    }
}

TEST_F(Server, ClientAbortEndsTheStatement) {
    createDb("A", 2, 1);
    DeviceClient client(1);
    client.abortAfterBytes = 200000;
    Outcome o = run("BACKUP DATABASE [A] TO " + client.deviceClauses() + " WITH MAXTRANSFERSIZE=65536", &client);
    EXPECT_EQ((std::vector<int>{3202, 3013}), o.errorNumbers());
    EXPECT_NE(std::string::npos, o.errors[0].text.find("995"));
    EXPECT_EQ(0u, db("A").lastFullLsn);
}

}  // namespace
