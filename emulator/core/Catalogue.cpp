#include "emulator/core/Catalogue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sqlemu {

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool isDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void makeDirs(const std::string& path) {
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!cur.empty() && !isDir(cur) && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST)
                throw CatalogueError("cannot create folder " + cur + ": " + std::strerror(errno));
        }
        if (i < path.size()) cur += path[i];
    }
}

// Fields are tab-separated; a tab, line feed or backslash inside one is escaped.
std::string esc(const std::string& s) {
    std::string o;
    for (char c : s) {
        if (c == '\\')
            o += "\\\\";
        else if (c == '\t')
            o += "\\t";
        else if (c == '\n')
            o += "\\n";
        else if (c == '\r')
            o += "\\r";
        else
            o += c;
    }
    return o;
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            out.emplace_back();
            continue;
        }
        if (c == '\\' && i + 1 < line.size()) {
            char n = line[++i];
            out.back() += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
            continue;
        }
        out.back() += c;
    }
    return out;
}

DbState parseState(const std::string& s) {
    if (s == "RESTORING") return DbState::Restoring;
    if (s == "STANDBY") return DbState::Standby;
    if (s == "ONLINE") return DbState::Online;
    throw CatalogueError("catalogue: unknown database state " + s);
}

uint64_t num(const std::string& s) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (s.empty() || *end || errno) throw CatalogueError("catalogue: bad number '" + s + "'");
    return v;
}

std::string readWhole(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CatalogueError("cannot read " + path + ": " + std::strerror(errno));
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            throw CatalogueError("cannot read " + path + ": " + std::strerror(e));
        }
        if (n == 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return s;
}

void writeAll(int fd, const std::string& data, const std::string& path) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw CatalogueError("cannot write " + path + ": " + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
}

void writeAtomically(const std::string& path, const std::string& data) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw CatalogueError("cannot write " + tmp + ": " + std::strerror(errno));
    try {
        writeAll(fd, data, tmp);
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        throw CatalogueError("cannot replace " + path + ": " + std::strerror(e));
    }
}

}  // namespace

const char* dbStateName(DbState s) {
    switch (s) {
        case DbState::Online: return "ONLINE";
        case DbState::Restoring: return "RESTORING";
        case DbState::Standby: return "STANDBY";
    }
    return "ONLINE";
}

const char* userAccessName(UserAccess a) { return a == UserAccess::Single ? "SINGLE_USER" : "MULTI_USER"; }

bool sameName(const std::string& a, const std::string& b) { return a.size() == b.size() && lower(a) == lower(b); }

const DbFile* DbInfo::file(int fileId) const {
    for (auto& f : files)
        if (f.fileId == fileId) return &f;
    return nullptr;
}

const DbFile* DbInfo::fileByLogicalName(const std::string& logical) const {
    for (auto& f : files)
        if (sameName(f.logicalName, logical)) return &f;
    return nullptr;
}

DbInfo* InstanceInfo::findDatabase(const std::string& n) {
    for (auto& d : databases)
        if (sameName(d.name, n)) return &d;
    return nullptr;
}

const DbInfo* InstanceInfo::findDatabase(const std::string& n) const {
    for (auto& d : databases)
        if (sameName(d.name, n)) return &d;
    return nullptr;
}

bool InstanceInfo::hasCertificate(const std::string& n) const {
    for (auto& c : certificates)
        if (sameName(c, n)) return true;
    return false;
}

std::string InstanceInfo::faultValue(const std::string& n) const {
    auto it = faults.find(n);
    return it == faults.end() ? std::string() : it->second;
}

bool InstanceInfo::removeDatabase(const std::string& n) {
    for (auto it = databases.begin(); it != databases.end(); ++it)
        if (sameName(it->name, n)) {
            databases.erase(it);
            return true;
        }
    return false;
}

std::string serialize(const InstanceInfo& in) {
    std::ostringstream o;
    o << "sqlemu-catalogue\t1\n";
    o << "name\t" << esc(in.name) << "\n";
    o << "version\t" << esc(in.version) << "\n";
    if (in.defaultDataPath) o << "data_path\t" << esc(*in.defaultDataPath) << "\n";
    if (in.defaultLogPath) o << "log_path\t" << esc(*in.defaultLogPath) << "\n";
    o << "next_db_id\t" << in.nextDbId << "\n";
    for (auto& [u, p] : in.logins) o << "login\t" << esc(u) << "\t" << esc(p) << "\n";
    for (auto& c : in.certificates) o << "cert\t" << esc(c) << "\n";
    for (auto& [k, v] : in.faults) o << "fault\t" << esc(k) << "\t" << esc(v) << "\n";
    for (auto& [k, v] : in.props) o << "prop\t" << esc(k) << "\t" << esc(v) << "\n";
    for (auto& d : in.databases) {
        o << "db\t" << esc(d.name) << "\n";
        o << "id\t" << d.id << "\n";
        o << "state\t" << dbStateName(d.state) << "\n";
        o << "access\t" << userAccessName(d.userAccess) << "\n";
        o << "guid\t" << esc(d.familyGuid) << "\n";
        o << "seed\t" << d.seed << "\n";
        o << "lsn\t" << d.currentLsn << "\t" << d.lastFullLsn << "\t" << d.diffBaseLsn << "\t" << d.lastLogBackupLsn
          << "\n";
        for (auto& f : d.files)
            o << "file\t" << f.fileId << "\t" << f.groupId << "\t" << f.sizeBytes << "\t" << esc(f.logicalName) << "\t"
              << esc(f.physicalPath) << "\n";
        for (auto& [k, v] : d.props) o << "dprop\t" << esc(k) << "\t" << esc(v) << "\n";
        o << "end\n";
    }
    return o.str();
}

InstanceInfo parseInstance(const std::string& text) {
    InstanceInfo in;
    std::istringstream is(text);
    std::string line;
    DbInfo* db = nullptr;
    bool header = false;
    auto need = [](const std::vector<std::string>& f, size_t n) {
        if (f.size() < n) throw CatalogueError("catalogue: short line '" + f[0] + "'");
    };
    while (std::getline(is, line)) {
        if (line.empty()) continue;
        auto f = splitFields(line);
        const std::string& k = f[0];
        if (!header) {
            if (k != "sqlemu-catalogue") throw CatalogueError("catalogue: not a catalogue file");
            header = true;
            continue;
        }
        if (db) {
            if (k == "end") {
                db = nullptr;
                continue;
            }
            if (k == "id") {
                need(f, 2);
                db->id = static_cast<int>(num(f[1]));
            } else if (k == "state") {
                need(f, 2);
                db->state = parseState(f[1]);
            } else if (k == "access") {
                need(f, 2);
                db->userAccess = f[1] == "SINGLE_USER" ? UserAccess::Single : UserAccess::Multi;
            } else if (k == "guid") {
                need(f, 2);
                db->familyGuid = f[1];
            } else if (k == "seed") {
                need(f, 2);
                db->seed = num(f[1]);
            } else if (k == "lsn") {
                need(f, 5);
                db->currentLsn = num(f[1]);
                db->lastFullLsn = num(f[2]);
                db->diffBaseLsn = num(f[3]);
                db->lastLogBackupLsn = num(f[4]);
            } else if (k == "file") {
                need(f, 6);
                DbFile df;
                df.fileId = static_cast<int>(num(f[1]));
                df.groupId = static_cast<int>(num(f[2]));
                df.sizeBytes = num(f[3]);
                df.logicalName = f[4];
                df.physicalPath = f[5];
                db->files.push_back(df);
            } else if (k == "dprop") {
                need(f, 3);
                db->props[f[1]] = f[2];
            }
            continue;
        }
        if (k == "name") {
            need(f, 2);
            in.name = f[1];
        } else if (k == "version") {
            need(f, 2);
            in.version = f[1];
        } else if (k == "data_path") {
            need(f, 2);
            in.defaultDataPath = f[1];
        } else if (k == "log_path") {
            need(f, 2);
            in.defaultLogPath = f[1];
        } else if (k == "next_db_id") {
            need(f, 2);
            in.nextDbId = static_cast<int>(num(f[1]));
        } else if (k == "login") {
            need(f, 3);
            in.logins[f[1]] = f[2];
        } else if (k == "cert") {
            need(f, 2);
            in.certificates.push_back(f[1]);
        } else if (k == "fault") {
            need(f, 2);
            in.faults[f[1]] = f.size() > 2 ? f[2] : "";
        } else if (k == "prop") {
            need(f, 3);
            in.props[f[1]] = f[2];
        } else if (k == "db") {
            need(f, 2);
            in.databases.emplace_back();
            db = &in.databases.back();
            db->name = f[1];
        }
    }
    if (!header) throw CatalogueError("catalogue: empty catalogue file");
    for (auto& d : in.databases)
        std::sort(d.files.begin(), d.files.end(), [](const DbFile& a, const DbFile& b) { return a.fileId < b.fileId; });
    return in;
}

FileLock::FileLock(const std::string& path, bool exclusive) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw CatalogueError("cannot open lock " + path + ": " + std::strerror(errno));
    while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno == EINTR) continue;
        int e = errno;
        ::close(fd_);
        fd_ = -1;
        throw CatalogueError("cannot lock " + path + ": " + std::strerror(e));
    }
}

FileLock::FileLock(FileLock&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }

FileLock& FileLock::operator=(FileLock&& o) noexcept {
    if (this != &o) {
        release();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

FileLock::~FileLock() { release(); }

void FileLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the only descriptor drops the flock
        fd_ = -1;
    }
}

Catalogue::Catalogue(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string Catalogue::rootFrom(const std::string& explicitRoot) {
    if (!explicitRoot.empty()) return explicitRoot;
    const char* e = std::getenv("SQLEMU_ROOT");
    return e ? std::string(e) : std::string();
}

std::vector<std::string> Catalogue::instances() const {
    std::vector<std::string> out;
    DIR* d = opendir(root_.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        if (stat((root_ + "/" + n + "/catalog").c_str(), &st) == 0) out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string Catalogue::instanceDir(const std::string& instance) const {
    if (instance.empty() || instance.find('/') != std::string::npos || instance == "." || instance == "..") return {};
    struct stat st;
    std::string direct = root_ + "/" + instance;
    if (stat((direct + "/catalog").c_str(), &st) == 0) return direct;
    for (auto& n : instances())
        if (sameName(n, instance)) return root_ + "/" + n;
    return {};
}

std::string Catalogue::requireDir(const std::string& instance) const {
    std::string d = instanceDir(instance);
    if (d.empty()) throw CatalogueError("instance " + instance + " does not exist under " + root_);
    return d;
}

void Catalogue::createInstance(const std::string& name, const std::string& version) {
    if (name.empty() || name.size() > 128 || name.find_first_of("/\\\t\n\r") != std::string::npos || name == "." ||
        name == "..")
        throw CatalogueError("invalid instance name '" + name + "'");
    if (root_.empty()) throw CatalogueError("no data root: give --root or set SQLEMU_ROOT");
    makeDirs(root_);
    std::string dir = root_ + "/" + name;
    FileLock guard(root_ + "/.create.lock", true);
    if (instanceExists(name)) throw CatalogueError("instance " + name + " exists already");
    makeDirs(dir + "/data");
    makeDirs(dir + "/log");
    makeDirs(dir + "/track");
    InstanceInfo in;
    in.name = name;
    if (!version.empty()) in.version = version;
    in.defaultDataPath = dir + "/data/";
    in.defaultLogPath = dir + "/log/";
    FileLock lock(dir + "/catalog.lock", true);
    writeAtomically(dir + "/catalog", serialize(in));
}

InstanceInfo Catalogue::read(const std::string& instance) const {
    std::string dir = requireDir(instance);
    FileLock lock(dir + "/catalog.lock", false);
    return parseInstance(readWhole(dir + "/catalog"));
}

void Catalogue::update(const std::string& instance, const std::function<void(InstanceInfo&)>& fn) {
    std::string dir = requireDir(instance);
    FileLock lock(dir + "/catalog.lock", true);
    InstanceInfo in = parseInstance(readWhole(dir + "/catalog"));
    fn(in);
    writeAtomically(dir + "/catalog", serialize(in));
}

FileLock Catalogue::lockDatabase(const std::string& instance, int dbId, bool exclusive) const {
    return FileLock(requireDir(instance) + "/db-" + std::to_string(dbId) + ".lock", exclusive);
}

std::string Catalogue::trackingDir(const std::string& instance, int dbId) const {
    return requireDir(instance) + "/track/" + std::to_string(dbId);
}

std::string Catalogue::sessionLockPath(const std::string& instance, const std::string& sessionId) const {
    std::string dir = requireDir(instance) + "/sessions";
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw CatalogueError("cannot create folder " + dir + ": " + std::strerror(errno));
    return dir + "/" + sessionId;
}

bool Catalogue::sessionAlive(const std::string& instance, const std::string& sessionId) const {
    if (sessionId.empty() || sessionId.find('/') != std::string::npos) return false;
    int fd = ::open(sessionLockPath(instance, sessionId).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool alive = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return alive;
}

std::string Catalogue::statementsLogPath(const std::string& instance) const {
    return requireDir(instance) + "/statements.log";
}

void Catalogue::appendStatement(const std::string& instance, const std::string& batch) const {
    std::string path = statementsLogPath(instance);
    FileLock lock(path + ".lock", true);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) throw CatalogueError("cannot append to " + path + ": " + std::strerror(errno));
    try {
        writeAll(fd, batch + "\nGO\n", path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

}  // namespace sqlemu
