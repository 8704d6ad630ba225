// sqlemu: the emulated instance's admin tool (instances, databases, logins, certificates, fault
// switches, driver registration). Exit status 0 on success, 1 on failure, 2 on a usage error.
#include "emulator/core/Catalogue.h"
#include "emulator/core/DbContent.h"
#include "emulator/core/Session.h"
#include "emulator/core/Tsql.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

using namespace sqlemu;

namespace {

const char* kUsage =
    "usage: sqlemu [--root DIR] COMMAND ...   (the data root: --root, else SQLEMU_ROOT)\n"
    "  instance create NAME [--version V]\n"
    "  instance set INSTANCE version|data-path|log-path VALUE\n"
    "  instance unset INSTANCE data-path|log-path        (the server then reports NULL)\n"
    "  instance show INSTANCE\n"
    "  db create INSTANCE DB [--data-mb N] [--log-mb N] [--data-files K] [--seed S]\n"
    "  db show INSTANCE DB\n"
    "  db checksum INSTANCE DB\n"
    "  db touch INSTANCE DB [--pages N]\n"
    "  db set INSTANCE DB state ONLINE|RESTORING|STANDBY\n"
    "  db set INSTANCE DB user-access MULTI_USER|SINGLE_USER\n"
    "  db set-path INSTANCE DB LOGICAL PATH                (moves the file)\n"
    "  db drop INSTANCE DB\n"
    "  sql INSTANCE BATCH      runs a batch in-process (not logged) and prints its results;\n"
    "                          exit status 1 when it gave an error\n"
    "  login add INSTANCE USER PASSWORD\n"
    "  cert add INSTANCE NAME\n"
    "  fault set INSTANCE NAME [VALUE] | fault clear INSTANCE NAME\n"
    "      refuse-login [LOGIN]      logins fail with 18456 (only LOGIN's when given)\n"
    "      still-executing [TEXT]    SQLMoreResults answers SQL_STILL_EXECUTING (batches holding TEXT)\n"
    "      error-3014 [TEXT]         a batch ends with an error result that also carries 3014\n"
    "      long-message [LENGTH]     a batch starts with a message of LENGTH characters (600)\n"
    "      vdi-open-delay MS         BACKUP / RESTORE wait MS ms before opening the device set\n"
    "      stream-stop [DEV:]BYTES   device DEV's stream (0) stops after BYTES bytes\n"
    "      unsupported-command       every device first gets a command code it cannot know\n"
    "      abort-at [PERCENT]        the statement aborts the set at PERCENT of the data (50)\n"
    "      single-user-held [DB]     DB (every database) is held in single-user mode by another connection\n"
    "  odbc-register DIR [--only] [NAME ...]\n"
    "      writes DIR/odbcinst.ini: the driver under \"ODBC Driver 17 for SQL Server\" and\n"
    "      \"ODBC Driver 18 for SQL Server\", then each NAME (only the NAMEs with --only);\n"
    "      with --root, each section also names the data root (DataRoot)\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

uint64_t number(const std::string& opt, const std::string& v, uint64_t max) {
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (v.empty() || *end || errno || n > max || v[0] == '-')
        throw UsageError("invalid value for " + opt + ": '" + v + "'");
    return n;
}

// Splits "--key value" options from positional arguments.
struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;
    std::vector<std::string> flags;
    Args(const std::vector<std::string>& a, const std::vector<std::string>& valued,
         const std::vector<std::string>& bare = {}) {
        for (size_t i = 0; i < a.size(); ++i) {
            const std::string& s = a[i];
            bool isValued = false, isBare = false;
            for (auto& v : valued) isValued = isValued || s == v;
            for (auto& b : bare) isBare = isBare || s == b;
            if (isValued) {
                if (i + 1 >= a.size()) throw UsageError(s + " needs a value");
                opts.emplace_back(s, a[++i]);
            } else if (isBare) {
                flags.push_back(s);
            } else if (s.size() > 2 && s.compare(0, 2, "--") == 0) {
                throw UsageError("unknown option " + s);
            } else {
                pos.push_back(s);
            }
        }
    }
    const std::string* opt(const std::string& k) const {
        const std::string* r = nullptr;
        for (auto& o : opts)
            if (o.first == k) r = &o.second;
        return r;
    }
    bool flag(const std::string& k) const {
        for (auto& f : flags)
            if (f == k) return true;
        return false;
    }
    void need(size_t n) const {
        if (pos.size() != n) throw UsageError("wrong number of arguments");
    }
};

std::string absolute(const std::string& p) {
    if (!p.empty() && p[0] == '/') return p;
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) throw CatalogueError("cannot read the current folder");
    return std::string(buf) + "/" + p;
}

void makeDirs(const std::string& path) {
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if ((i == path.size() || path[i] == '/') && !cur.empty()) {
            struct stat st;
            if (stat(cur.c_str(), &st) != 0 && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST)
                throw CatalogueError("cannot create folder " + cur + ": " + std::strerror(errno));
        }
        if (i < path.size()) cur += path[i];
    }
}

// A folder ends in its separator; one written with "\" keeps it.
std::string withSlash(std::string d) {
    if (!d.empty() && d.back() != '/' && d.back() != '\\') d += '/';
    return d;
}

// The driver library: beside this executable in the build tree.
std::string driverPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) throw CatalogueError("cannot find this executable's folder");
    std::string self(buf, static_cast<size_t>(n));
    std::string dir = self.substr(0, self.rfind('/'));
    for (const char* cand : {"/libsqlemu_odbc.so", "/../lib/libsqlemu_odbc.so"}) {
        std::string p = dir + cand;
        if (access(p.c_str(), R_OK) == 0) {
            char real[PATH_MAX];
            return realpath(p.c_str(), real) ? std::string(real) : p;
        }
    }
    throw CatalogueError("the driver library libsqlemu_odbc.so is not beside " + self);
}

bool validName(const std::string& n) {
    return !n.empty() && n.size() <= 128 && n.find_first_of("/\t\n\r") == std::string::npos && n != "." && n != "..";
}

int run(std::vector<std::string> a) {
    std::string rootOpt;
    bool rootGiven = false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--root") {
            if (i + 1 >= a.size()) throw UsageError("--root needs a value");
            rootOpt = a[i + 1];
            rootGiven = true;
            a.erase(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(i) + 2);
            --i;
        } else if (a[i] == "-h" || a[i] == "--help" || a[i] == "help") {
            std::cout << kUsage;
            return 0;
        }
    }
    if (a.size() < 1) throw UsageError("no command");
    std::string cmd = a[0];
    std::string sub = a.size() > 1 ? a[1] : "";
    std::vector<std::string> rest(a.begin() + std::min<size_t>(2, a.size()), a.end());

    if (cmd == "odbc-register") {
        std::vector<std::string> r(a.begin() + 1, a.end());
        Args args(r, {}, {"--only"});
        if (args.pos.empty()) throw UsageError("odbc-register needs a folder");
        std::string dir = absolute(args.pos[0]);
        std::vector<std::string> names;
        if (!args.flag("--only")) names = {"ODBC Driver 17 for SQL Server", "ODBC Driver 18 for SQL Server"};
        for (size_t i = 1; i < args.pos.size(); ++i) {
            if (args.pos[i].find_first_of("[]\n\r") != std::string::npos || args.pos[i].empty())
                throw UsageError("invalid driver name '" + args.pos[i] + "'");
            names.push_back(args.pos[i]);
        }
        if (names.empty()) throw UsageError("no driver name to register");
        std::string lib = driverPath();
        std::string root = rootGiven ? absolute(rootOpt) : std::string();
        makeDirs(dir);
        std::string text;
        // Sections stay short: the manager hands their keys to SQLDrivers as one attribute text,
        // and a caller with a 256-byte buffer stops at an entry that does not fit.
        for (auto& n : names) {
            text += "[" + n + "]\n";
            text += "Driver = " + lib + "\n";
            text += "Threading = 0\n";
            if (!root.empty()) text += "DataRoot = " + root + "\n";
            text += "\n";
        }
        std::string path = dir + "/odbcinst.ini";
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f) throw CatalogueError("cannot write " + path + ": " + std::strerror(errno));
        bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        ok = std::fclose(f) == 0 && ok;
        if (!ok) throw CatalogueError("cannot write " + path);
        return 0;
    }

    std::string root = Catalogue::rootFrom(rootOpt);
    if (root.empty()) throw UsageError("no data root: give --root DIR or set SQLEMU_ROOT");
    Catalogue cat(absolute(root));

    if (cmd == "instance" && sub == "create") {
        Args args(rest, {"--version"});
        args.need(1);
        std::string version = args.opt("--version") ? *args.opt("--version") : "";
        if (args.opt("--version")) {
            int parts = 0;
            bool ok = !version.empty();
            for (size_t i = 0, st = 0; ok && i <= version.size(); ++i)
                if (i == version.size() || version[i] == '.') {
                    ok = i > st && version.find_first_not_of("0123456789", st) >= i;
                    ++parts;
                    st = i + 1;
                }
            if (!ok || parts < 2 || parts > 4) throw UsageError("invalid version '" + version + "'");
        }
        cat.createInstance(args.pos[0], version);
        return 0;
    }
    if (cmd == "instance" && (sub == "set" || sub == "unset")) {
        Args args(rest, {});
        args.need(sub == "set" ? 3 : 2);
        std::string key = args.pos[1];
        if (sub == "set" && key == "version") {
            cat.update(args.pos[0], [&](InstanceInfo& in) { in.version = args.pos[2]; });
        } else if (key == "data-path" || key == "log-path") {
            std::optional<std::string> v;
            if (sub == "set") {
                v = withSlash(args.pos[2]);
                if ((*v)[0] == '/') makeDirs(*v);
            }
            cat.update(args.pos[0],
                       [&](InstanceInfo& in) { (key == "data-path" ? in.defaultDataPath : in.defaultLogPath) = v; });
        } else {
            throw UsageError("unknown instance setting " + key);
        }
        return 0;
    }
    if (cmd == "instance" && sub == "show") {
        Args args(rest, {});
        args.need(1);
        InstanceInfo in = cat.read(args.pos[0]);
        std::cout << "name: " << in.name << "\nversion: " << in.version << "\n";
        std::cout << "data_path: " << (in.defaultDataPath ? *in.defaultDataPath : "NULL") << "\n";
        std::cout << "log_path: " << (in.defaultLogPath ? *in.defaultLogPath : "NULL") << "\n";
        for (auto& [u, p] : in.logins) std::cout << "login: " << u << "\n";
        for (auto& c : in.certificates) std::cout << "certificate: " << c << "\n";
        for (auto& [k, v] : in.faults) std::cout << "fault: " << k << (v.empty() ? "" : " " + v) << "\n";
        for (auto& d : in.databases) std::cout << "database: " << d.name << "\n";
        return 0;
    }
    if (cmd == "db" && sub == "create") {
        Args args(rest, {"--data-mb", "--log-mb", "--data-files", "--seed"});
        args.need(2);
        const std::string& inst = args.pos[0];
        const std::string& name = args.pos[1];
        if (!validName(name) || name.find('\\') != std::string::npos)
            throw UsageError("invalid database name '" + name + "'");
        uint64_t dataMb = args.opt("--data-mb") ? number("--data-mb", *args.opt("--data-mb"), 1u << 20) : 8;
        uint64_t logMb = args.opt("--log-mb") ? number("--log-mb", *args.opt("--log-mb"), 1u << 20) : 2;
        uint64_t files = args.opt("--data-files") ? number("--data-files", *args.opt("--data-files"), 32767) : 1;
        uint64_t seed = args.opt("--seed") ? number("--seed", *args.opt("--seed"), UINT64_MAX) : 1;
        if (dataMb == 0 || logMb == 0 || files == 0) throw UsageError("sizes and the file count must be at least 1");
        InstanceInfo in = cat.read(inst);
        if (in.findDatabase(name)) throw CatalogueError("database " + name + " exists already");
        std::string dir = cat.instanceDir(inst);
        std::string dataDir = in.defaultDataPath ? *in.defaultDataPath : dir + "/data/";
        std::string logDir = in.defaultLogPath ? *in.defaultLogPath : dir + "/log/";
        makeDirs(dataDir);
        makeDirs(logDir);
        DbInfo db;
        db.name = name;
        db.seed = seed;
        db.currentLsn = 1000;
        db.files = defaultFileTable(name, dataDir, logDir, dataMb << 20, logMb << 20, static_cast<int>(files));
        db = registerDatabase(cat, inst, db);
        FileLock lock = cat.lockDatabase(inst, db.id, true);
        try {
            generateContent(db);
        } catch (...) {
            dropDatabase(cat, inst, name);
            throw;
        }
        return 0;
    }
    if (cmd == "db" && (sub == "show" || sub == "checksum" || sub == "drop")) {
        Args args(rest, {});
        args.need(2);
        InstanceInfo in = cat.read(args.pos[0]);
        const DbInfo* d = in.findDatabase(args.pos[1]);
        if (!d) throw CatalogueError("database " + args.pos[1] + " does not exist");
        if (sub == "drop") {
            FileLock lock = cat.lockDatabase(args.pos[0], d->id, true);
            dropDatabase(cat, args.pos[0], d->name);
            return 0;
        }
        if (sub == "checksum") {
            FileLock lock = cat.lockDatabase(args.pos[0], d->id, false);
            std::cout << contentChecksum(*d) << "\n";
            return 0;
        }
        std::cout << "state: " << dbStateName(d->state) << "\n";
        std::cout << "user_access: " << userAccessName(d->userAccess) << "\n";
        for (auto& f : d->files)
            std::cout << "file: " << f.fileId << "\t" << f.logicalName << "\t" << f.groupId << "\t" << f.sizeBytes
                      << "\t" << f.physicalPath << "\n";
        std::cout << "name: " << d->name << "\n";
        std::cout << "database_id: " << d->id << "\n";
        std::cout << "current_lsn: " << d->currentLsn << "\n";
        std::cout << "last_full_lsn: " << d->lastFullLsn << "\n";
        std::cout << "diff_base_lsn: " << d->diffBaseLsn << "\n";
        std::cout << "last_log_backup_lsn: " << d->lastLogBackupLsn << "\n";
        std::cout << "family_guid: " << d->familyGuid << "\n";
        return 0;
    }
    if (cmd == "db" && sub == "touch") {
        Args args(rest, {"--pages"});
        args.need(2);
        uint64_t pages = args.opt("--pages") ? number("--pages", *args.opt("--pages"), 1u << 24) : 16;
        touchDatabase(cat, args.pos[0], args.pos[1], static_cast<uint32_t>(pages));
        return 0;
    }
    if (cmd == "db" && sub == "set") {
        Args args(rest, {});
        args.need(4);
        std::string key = args.pos[2], v = args.pos[3];
        bool found = false;
        if (key == "state") {
            DbState s = v == "ONLINE"      ? DbState::Online
                        : v == "RESTORING" ? DbState::Restoring
                        : v == "STANDBY"   ? DbState::Standby
                                           : throw UsageError("unknown state " + v);
            cat.update(args.pos[0], [&](InstanceInfo& in) {
                if (DbInfo* d = in.findDatabase(args.pos[1])) {
                    d->state = s;
                    found = true;
                }
            });
        } else if (key == "user-access") {
            UserAccess u = v == "MULTI_USER"    ? UserAccess::Multi
                           : v == "SINGLE_USER" ? UserAccess::Single
                                                : throw UsageError("unknown user access " + v);
            cat.update(args.pos[0], [&](InstanceInfo& in) {
                if (DbInfo* d = in.findDatabase(args.pos[1])) {
                    d->userAccess = u;
                    found = true;
                }
            });
        } else {
            throw UsageError("unknown database setting " + key);
        }
        if (!found) throw CatalogueError("database " + args.pos[1] + " does not exist");
        return 0;
    }
    if (cmd == "db" && sub == "set-path") {
        Args args(rest, {});
        args.need(4);
        InstanceInfo in = cat.read(args.pos[0]);
        const DbInfo* d = in.findDatabase(args.pos[1]);
        if (!d) throw CatalogueError("database " + args.pos[1] + " does not exist");
        const DbFile* f = d->fileByLogicalName(args.pos[2]);
        if (!f) throw CatalogueError("database " + d->name + " has no file " + args.pos[2]);
        FileLock lock = cat.lockDatabase(args.pos[0], d->id, true);
        if (std::rename(f->physicalPath.c_str(), args.pos[3].c_str()) != 0)
            throw CatalogueError("cannot move " + f->physicalPath + " to " + args.pos[3] + ": " + std::strerror(errno));
        cat.update(args.pos[0], [&](InstanceInfo& cur) {
            if (DbInfo* db = cur.findDatabase(args.pos[1]))
                for (auto& file : db->files)
                    if (sameName(file.logicalName, args.pos[2])) file.physicalPath = args.pos[3];
        });
        return 0;
    }
    if (cmd == "sql") {
        std::vector<std::string> r(a.begin() + 1, a.end());
        Args args(r, {});
        args.need(2);
        struct Print : OutputSink {
            bool failed = false;
            void deliver(Packet&& p) override {
                for (auto& rec : p.records) {
                    std::cout << (p.kind == Packet::Info ? "info: " : "error: ") << rec.sqlstate << " " << rec.native
                              << " " << rec.text << "\n";
                    failed = failed || p.kind == Packet::Error;
                }
                if (p.kind != Packet::Rows) return;
                std::string head;
                for (size_t i = 0; i < p.rows.columns.size(); ++i) head += (i ? "|" : "") + p.rows.columns[i];
                std::cout << "columns: " << head << "\n";
                for (auto& row : p.rows.rows) {
                    std::string line;
                    for (size_t i = 0; i < row.size(); ++i)
                        line += (i ? "|" : "") + (row[i] ? *row[i] : std::string("NULL"));
                    std::cout << "row: " << line << "\n";
                }
            }
            bool cancelled() const override { return false; }
        } out;
        InstanceInfo in = cat.read(args.pos[0]);
        Session session(cat, in.name, "ODBC Driver 17 for SQL Server", "sqlemu", "master");
        Exec x(session, out);
        runBatch(x, args.pos[1]);
        if (out.failed) std::cerr << "sqlemu: the batch ended with an error\n";
        return out.failed ? 1 : 0;
    }
    if (cmd == "login" && sub == "add") {
        Args args(rest, {});
        args.need(3);
        if (!validName(args.pos[1])) throw UsageError("invalid login name");
        cat.update(args.pos[0], [&](InstanceInfo& in) {
            for (auto it = in.logins.begin(); it != in.logins.end(); ++it)
                if (sameName(it->first, args.pos[1])) {
                    in.logins.erase(it);
                    break;
                }
            in.logins[args.pos[1]] = args.pos[2];
        });
        return 0;
    }
    if (cmd == "cert" && sub == "add") {
        Args args(rest, {});
        args.need(2);
        if (!validName(args.pos[1])) throw UsageError("invalid certificate name");
        cat.update(args.pos[0], [&](InstanceInfo& in) {
            if (!in.hasCertificate(args.pos[1])) in.certificates.push_back(args.pos[1]);
        });
        return 0;
    }
    if (cmd == "fault" && (sub == "set" || sub == "clear")) {
        Args args(rest, {});
        if (sub == "set" && (args.pos.size() < 2 || args.pos.size() > 3)) throw UsageError("wrong number of arguments");
        if (sub == "clear") args.need(2);
        if (args.pos[1].empty() || args.pos[1].find_first_of("\t\n") != std::string::npos)
            throw UsageError("invalid fault name");
        cat.update(args.pos[0], [&](InstanceInfo& in) {
            if (sub == "set")
                in.faults[args.pos[1]] = args.pos.size() > 2 ? args.pos[2] : "";
            else
                in.faults.erase(args.pos[1]);
        });
        return 0;
    }
    throw UsageError("unknown command");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    try {
        return run(a);
    } catch (UsageError& e) {
        std::cerr << "sqlemu: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (std::exception& e) {
        std::cerr << "sqlemu: " << e.what() << "\n";
        return 1;
    }
}
