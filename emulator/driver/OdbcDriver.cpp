// The emulated instance's ODBC 3 driver, loaded by the unixODBC driver manager.
//
// Entry points: SQLAllocHandle, SQLFreeHandle, SQLFreeStmt, SQLSetEnvAttr, SQLGetEnvAttr,
// SQLSetConnectAttr, SQLGetConnectAttr, SQLSetStmtAttr, SQLGetStmtAttr, SQLDriverConnect,
// SQLConnect (a DSN of odbc.ini), SQLDisconnect, SQLExecDirect, SQLPrepare, SQLExecute,
// SQLMoreResults, SQLNumResultCols, SQLDescribeCol, SQLColAttribute, SQLFetch, SQLGetData,
// SQLRowCount, SQLCloseCursor, SQLCancel, SQLGetDiagRec, SQLGetDiagField, SQLGetInfo, SQLEndTran.
//
// Each batch runs on a server-side thread; SQLExecDirect and SQLMoreResults block until its next
// packet (Session.h): SQL_SUCCESS_WITH_INFO per informational message, SQL_ERROR per error
// result, SQL_SUCCESS per result set, SQL_NO_DATA at the end. Messages from the server carry
// "[Microsoft][<driver name>][SQL Server]", the driver's own "[Microsoft][<driver name>]".
// A connection's statements are freed in SQLDisconnect: after SQL_STILL_EXECUTING the manager
// refuses every call on the statement and drops it at SQLDisconnect without telling the driver.
// Process-wide state is never destroyed: the manager keeps the driver loaded past the
// application's own static objects.
#include "emulator/core/BatchRun.h"
#include "emulator/core/Catalogue.h"
#include "emulator/core/Session.h"
#include "emulator/core/Tsql.h"

#include <sql.h>
#include <sqlext.h>

#include <pwd.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using namespace sqlemu;

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Diag {
    std::string sqlstate;
    SQLINTEGER native = 0;
    std::string text;  // with its prefix
};

enum class Kind { Env, Dbc, Stmt, Desc };

struct Handle {
    explicit Handle(Kind k) : kind(k) {}
    virtual ~Handle() = default;
    Kind kind;
    std::vector<Diag> diags;
    SQLRETURN lastRc = SQL_SUCCESS;
};

struct Env : Handle {
    Env() : Handle(Kind::Env) {}
    SQLINTEGER odbcVersion = SQL_OV_ODBC3;
};

struct Stmt;

struct Desc : Handle {
    Desc() : Handle(Kind::Desc) {}
};

struct Dbc : Handle {
    Dbc() : Handle(Kind::Dbc) {}
    Env* env = nullptr;
    SQLUINTEGER loginTimeout = 0;
    SQLUINTEGER connectionTimeout = 0;
    SQLUINTEGER autocommit = SQL_AUTOCOMMIT_ON;
    std::string driverName = "ODBC Driver 17 for SQL Server";
    std::unique_ptr<Session> session;
    std::mutex stmtsLock;
    std::set<Stmt*> stmts;
};

struct Stmt : Handle {
    Stmt() : Handle(Kind::Stmt) {}
    Dbc* dbc = nullptr;
    std::unique_ptr<BatchRun> exec;
    bool stillExecutingFault = false;
    std::string prepared;
    bool hasPrepared = false;
    bool hasResult = false;  // a result set is current
    ResultSet result;
    size_t row = 0;                  // 1-based row of the cursor; 0 = before the first
    std::vector<size_t> readOffset;  // SQLGetData progress per column of the current row
    std::vector<bool> readDone;
    Desc implicitDescs[4];

    void closeCursor() {
        hasResult = false;
        result = ResultSet();
        row = 0;
        readOffset.clear();
        readDone.clear();
    }
    void stopExecution() {
        if (exec) {
            exec->stop();
            exec.reset();
        }
        closeCursor();
    }
};

// Every live handle, so that a stale or foreign pointer is answered with SQL_INVALID_HANDLE.
std::mutex& handlesLock() {
    static auto* m = new std::mutex();
    return *m;
}
std::set<Handle*>& handles() {
    static auto* s = new std::set<Handle*>();
    return *s;
}

template <class T>
T* lookup(SQLHANDLE h, Kind k) {
    std::lock_guard<std::mutex> g(handlesLock());
    Handle* p = static_cast<Handle*>(h);
    if (!p || !handles().count(p) || p->kind != k) return nullptr;
    return static_cast<T*>(p);
}

std::string driverOf(Handle* h) {
    if (h->kind == Kind::Dbc) return static_cast<Dbc*>(h)->driverName;
    if (h->kind == Kind::Stmt) return static_cast<Stmt*>(h)->dbc->driverName;
    return "ODBC Driver 17 for SQL Server";
}

SQLRETURN driverError(Handle* h, const char* sqlstate, const std::string& text, SQLINTEGER native = 0) {
    h->diags.push_back(Diag{sqlstate, native, "[Microsoft][" + driverOf(h) + "]" + text});
    return SQL_ERROR;
}

void addServerRecord(Handle* h, const DiagRecord& r) {
    h->diags.push_back(Diag{r.sqlstate, r.native, "[Microsoft][" + driverOf(h) + "][SQL Server]" + r.text});
}

std::string text(SQLCHAR* s, SQLINTEGER len) {
    if (!s) return {};
    if (len == SQL_NTS) return reinterpret_cast<const char*>(s);
    if (len < 0) return {};
    return std::string(reinterpret_cast<const char*>(s), static_cast<size_t>(len));
}

// Copies a string result into an application buffer; SQL_SUCCESS_WITH_INFO (01004) when cut.
SQLRETURN putString(Handle* h, const std::string& v, SQLPOINTER buf, SQLLEN bufLen, SQLLEN* outLen) {
    if (outLen) *outLen = static_cast<SQLLEN>(v.size());
    if (buf && bufLen > 0) {
        size_t n = std::min(v.size(), static_cast<size_t>(bufLen - 1));
        std::memcpy(buf, v.data(), n);
        static_cast<char*>(buf)[n] = 0;
        if (n < v.size()) {
            if (h) h->diags.push_back(Diag{"01004", 0, "[Microsoft][" + driverOf(h) + "]String data, right truncated"});
            return SQL_SUCCESS_WITH_INFO;
        }
    }
    return SQL_SUCCESS;
}

SQLRETURN putString16(Handle* h, const std::string& v, SQLPOINTER buf, SQLSMALLINT bufLen, SQLSMALLINT* outLen) {
    SQLLEN n = 0;
    SQLRETURN rc = putString(h, v, buf, bufLen, &n);
    if (outLen) *outLen = static_cast<SQLSMALLINT>(std::min<SQLLEN>(n, 32767));
    return rc;
}

// ---- configuration files ----

// Reads one section of an ini file: key -> value (keys lower-case).
std::map<std::string, std::string> iniSection(const std::string& path, const std::string& section) {
    std::map<std::string, std::string> out;
    std::ifstream in(path);
    std::string line;
    bool inside = false;
    auto trim = [](std::string s) {
        size_t a = s.find_first_not_of(" \t\r");
        size_t b = s.find_last_not_of(" \t\r");
        return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            inside = close != std::string::npos && lower(t.substr(1, close - 1)) == lower(section);
            continue;
        }
        if (!inside) continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        out[lower(trim(t.substr(0, eq)))] = trim(t.substr(eq + 1));
    }
    return out;
}

std::string homeDir() {
    const char* h = std::getenv("HOME");
    if (h && *h) return h;
    if (passwd* pw = getpwuid(getuid())) return pw->pw_dir;
    return "/";
}

std::vector<std::string> odbcinstFiles() {
    std::vector<std::string> files;
    const char* sys = std::getenv("ODBCSYSINI");
    const char* inst = std::getenv("ODBCINSTINI");
    std::string name = inst && *inst ? inst : "odbcinst.ini";
    if (!name.empty() && name[0] == '/')
        files.push_back(name);
    else
        files.push_back(std::string(sys && *sys ? sys : "/etc") + "/" + name);
    files.push_back(homeDir() + "/.odbcinst.ini");
    return files;
}

std::vector<std::string> odbcFiles() {
    std::vector<std::string> files;
    files.push_back(homeDir() + "/.odbc.ini");
    const char* sys = std::getenv("ODBCSYSINI");
    const char* ini = std::getenv("ODBCINI");
    if (ini && *ini) files.insert(files.begin(), ini);
    files.push_back(std::string(sys && *sys ? sys : "/etc") + "/odbc.ini");
    return files;
}

std::string dataRootFor(const std::string& driverName) {
    for (auto& f : odbcinstFiles()) {
        auto sec = iniSection(f, driverName);
        auto it = sec.find("dataroot");
        if (it != sec.end() && !it->second.empty()) return it->second;
    }
    const char* e = std::getenv("SQLEMU_ROOT");
    return e ? e : "";
}

// ---- connection strings ----

std::map<std::string, std::string> parseConnectionString(const std::string& s) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t eq = s.find('=', i);
        size_t semi = s.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            if (semi == std::string::npos) break;
            i = semi + 1;  // a part without "=" is ignored
            continue;
        }
        std::string key = s.substr(i, eq - i);
        size_t a = key.find_first_not_of(" \t"), b = key.find_last_not_of(" \t");
        key = a == std::string::npos ? "" : lower(key.substr(a, b - a + 1));
        size_t v = eq + 1;
        std::string value;
        if (v < s.size() && s[v] == '{') {
            size_t j = v + 1;
            for (; j < s.size(); ++j) {
                if (s[j] == '}') {
                    if (j + 1 < s.size() && s[j + 1] == '}') {
                        value += '}';
                        ++j;
                        continue;
                    }
                    break;
                }
                value += s[j];
            }
            i = s.find(';', j);
            i = i == std::string::npos ? s.size() : i + 1;
        } else {
            size_t end = s.find(';', v);
            value = s.substr(v, end == std::string::npos ? std::string::npos : end - v);
            i = end == std::string::npos ? s.size() : end + 1;
        }
        if (!key.empty() && !out.count(key)) out[key] = value;
    }
    return out;
}

std::string localHost() {
    char buf[256] = {0};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

bool isLocalHost(const std::string& h) {
    std::string l = lower(h);
    if (l == "." || l == "(local)" || l == "localhost" || l == "127.0.0.1") return true;
    std::string me = lower(localHost());
    if (l == me) return true;
    size_t dot = me.find('.');
    return dot != std::string::npos && l == me.substr(0, dot);
}

SQLRETURN unreachable(Dbc* d) {
    driverError(
        d, "08001",
        "A network-related or instance-specific error has occurred while establishing a connection to SQL Server. "
        "Server is not found or not accessible. Check if instance name is correct and if SQL Server is "
        "configured to allow remote connections. For more information see SQL Server Books Online.",
        2);
    return SQL_ERROR;
}

SQLRETURN loginFailed(Dbc* d, const std::string& user) {
    DiagRecord r;
    r.sqlstate = "28000";
    r.native = 18456;
    r.severity = 14;
    r.text = "Login failed for user '" + user + "'.";
    addServerRecord(d, r);
    return SQL_ERROR;
}

bool truthy(const std::string& v) {
    std::string l = lower(v);
    return l == "yes" || l == "true" || l == "sspi" || l == "1";
}

SQLRETURN connect(Dbc* d, const std::map<std::string, std::string>& kv) {
    auto get = [&](const char* k) {
        auto it = kv.find(k);
        return it == kv.end() ? std::string() : it->second;
    };
    if (d->session) return driverError(d, "08002", "Connection name in use");
    std::string driver = get("driver");
    if (!driver.empty()) d->driverName = driver;
    std::string server = get("server");
    if (server.empty()) server = get("address");
    std::string host = server, instance = "MSSQLSERVER";
    size_t bs = server.find('\\');
    if (bs != std::string::npos) {
        host = server.substr(0, bs);
        instance = server.substr(bs + 1);
    }
    if (host.rfind("tcp:", 0) == 0) host = host.substr(4);
    size_t comma = instance.find(',') != std::string::npos ? std::string::npos : host.find(',');
    if (comma != std::string::npos) host = host.substr(0, comma);  // host,port
    if (instance.find(',') != std::string::npos) instance = instance.substr(0, instance.find(','));
    if (host.empty() || instance.empty() || !isLocalHost(host)) return unreachable(d);
    std::string root = dataRootFor(d->driverName);
    if (root.empty()) {
        driverError(d, "08001",
                    "The emulated instance has no data root: set SQLEMU_ROOT or DataRoot in the driver's odbcinst.ini "
                    "section.");
        return SQL_ERROR;
    }
    Catalogue cat(root);
    if (!cat.instanceExists(instance)) return unreachable(d);
    InstanceInfo info;
    try {
        info = cat.read(instance);
    } catch (std::exception& e) {
        return driverError(d, "08001", std::string("The emulated instance cannot be read: ") + e.what());
    }
    bool trusted = truthy(get("trusted_connection"));
    std::string user = get("uid");
    if (user.empty()) user = get("user id");
    std::string pwd = get("pwd");
    if (pwd.empty()) pwd = get("password");
    std::string login;
    if (trusted) {
        passwd* pw = getpwuid(geteuid());
        login = pw ? pw->pw_name : "root";
    } else {
        bool ok = false;
        for (auto& [u, p] : info.logins)
            if (sameName(u, user) && p == pwd) ok = true;
        if (!ok) return loginFailed(d, user);
        login = user;
    }
    if (info.hasFault("refuse-login")) {
        std::string only = info.faultValue("refuse-login");
        if (only.empty() || sameName(only, login)) return loginFailed(d, login);
    }
    std::string db = get("database");
    if (db.empty()) db = "master";
    bool known = sameName(db, "master") || sameName(db, "msdb") || sameName(db, "model") || sameName(db, "tempdb");
    if (!known) {
        const DbInfo* found = info.findDatabase(db);
        known = found && found->state != DbState::Restoring;
        if (found) db = found->name;
    }
    if (!known) {
        DiagRecord r;
        r.sqlstate = "42000";
        r.native = 4060;
        r.severity = 11;
        r.text = "Cannot open database \"" + db + "\" requested by the login. The login failed.";
        addServerRecord(d, r);
        return loginFailed(d, login);
    }
    d->session = std::make_unique<Session>(cat, info.name, d->driverName, login, db);
    return SQL_SUCCESS;
}

void freeStatement(Stmt* s) {
    s->stopExecution();
    {
        std::lock_guard<std::mutex> g(handlesLock());
        handles().erase(s);
        for (auto& d : s->implicitDescs) handles().erase(&d);
    }
    delete s;
}

void disconnect(Dbc* d) {
    std::set<Stmt*> stmts;
    {
        std::lock_guard<std::mutex> g(d->stmtsLock);
        stmts.swap(d->stmts);
    }
    for (Stmt* s : stmts) freeStatement(s);
    d->session.reset();
}

// Moves the statement to the batch's next packet.
SQLRETURN advance(Stmt* s, bool first) {
    s->closeCursor();
    if (!s->exec) return first ? SQL_SUCCESS : SQL_NO_DATA;
    Packet p;
    if (!s->exec->next(p)) {
        bool cancelled = s->exec->cancelled();
        s->exec->stop();
        s->exec.reset();
        if (cancelled) return driverError(s, "HY008", "Operation canceled");
        return first ? SQL_SUCCESS : SQL_NO_DATA;
    }
    switch (p.kind) {
        case Packet::Info:
            for (auto& r : p.records) addServerRecord(s, r);
            return SQL_SUCCESS_WITH_INFO;
        case Packet::Error:
            for (auto& r : p.records) addServerRecord(s, r);
            return SQL_ERROR;
        case Packet::Rows:
            s->hasResult = true;
            s->result = std::move(p.rows);
            return SQL_SUCCESS;
    }
    return SQL_ERROR;
}

SQLRETURN execute(Stmt* s, const std::string& batch) {
    s->stopExecution();
    Dbc* d = s->dbc;
    if (!d->session) return driverError(s, "08003", "Connection is not open");
    Session& session = *d->session;
    try {
        session.catalogue().appendStatement(session.instance(), batch);
        InstanceInfo info = session.catalogue().read(session.instance());
        s->stillExecutingFault = faultApplies(info, "still-executing", batch);
    } catch (std::exception& e) {
        return driverError(s, "08S01", std::string("Communication link failure: ") + e.what());
    }
    auto ex = std::make_unique<BatchRun>(session, batch);
    s->exec = std::move(ex);
    return advance(s, true);
}

template <class F>
SQLRETURN guarded(Handle* h, F f) {
    try {
        SQLRETURN rc = f();
        h->lastRc = rc;
        return rc;
    } catch (std::exception& e) {
        h->diags.push_back(Diag{"HY000", 0, "[Microsoft][" + driverOf(h) + "]" + e.what()});
        h->lastRc = SQL_ERROR;
        return SQL_ERROR;
    }
}

size_t columnSize(const Stmt* s, size_t col) {
    size_t n = 1;
    for (auto& r : s->result.rows)
        if (col < r.size() && r[col]) n = std::max(n, r[col]->size());
    return n;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    if (!output) return SQL_ERROR;
    switch (type) {
        case SQL_HANDLE_ENV: {
            auto* e = new Env();
            std::lock_guard<std::mutex> g(handlesLock());
            handles().insert(e);
            *output = e;
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_DBC: {
            Env* e = lookup<Env>(input, Kind::Env);
            if (!e) return SQL_INVALID_HANDLE;
            e->diags.clear();
            auto* d = new Dbc();
            d->env = e;
            std::lock_guard<std::mutex> g(handlesLock());
            handles().insert(d);
            *output = d;
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_STMT: {
            Dbc* d = lookup<Dbc>(input, Kind::Dbc);
            if (!d) return SQL_INVALID_HANDLE;
            d->diags.clear();
            if (!d->session) return driverError(d, "08003", "Connection is not open");
            auto* s = new Stmt();
            s->dbc = d;
            {
                std::lock_guard<std::mutex> g(handlesLock());
                handles().insert(s);
                for (auto& x : s->implicitDescs) handles().insert(&x);
            }
            std::lock_guard<std::mutex> g(d->stmtsLock);
            d->stmts.insert(s);
            *output = s;
            return SQL_SUCCESS;
        }
        default: return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE h) {
    switch (type) {
        case SQL_HANDLE_ENV: {
            Env* e = lookup<Env>(h, Kind::Env);
            if (!e) return SQL_INVALID_HANDLE;
            std::lock_guard<std::mutex> g(handlesLock());
            handles().erase(e);
            delete e;
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_DBC: {
            Dbc* d = lookup<Dbc>(h, Kind::Dbc);
            if (!d) return SQL_INVALID_HANDLE;
            disconnect(d);
            std::lock_guard<std::mutex> g(handlesLock());
            handles().erase(d);
            delete d;
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_STMT: {
            Stmt* s = lookup<Stmt>(h, Kind::Stmt);
            if (!s) return SQL_INVALID_HANDLE;
            {
                std::lock_guard<std::mutex> g(s->dbc->stmtsLock);
                s->dbc->stmts.erase(s);
            }
            freeStatement(s);
            return SQL_SUCCESS;
        }
        case SQL_HANDLE_DESC: return lookup<Desc>(h, Kind::Desc) ? SQL_SUCCESS : SQL_INVALID_HANDLE;
        default: return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT h, SQLUSMALLINT option) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (option == SQL_DROP) return SQLFreeHandle(SQL_HANDLE_STMT, h);
    if (option == SQL_CLOSE) s->stopExecution();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT h) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    s->stopExecution();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT h) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    if (s->exec) s->exec->cancel();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    Env* e = lookup<Env>(h, Kind::Env);
    if (!e) return SQL_INVALID_HANDLE;
    e->diags.clear();
    if (attr == SQL_ATTR_ODBC_VERSION) e->odbcVersion = static_cast<SQLINTEGER>(reinterpret_cast<intptr_t>(value));
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER* len) {
    Env* e = lookup<Env>(h, Kind::Env);
    if (!e) return SQL_INVALID_HANDLE;
    e->diags.clear();
    SQLINTEGER v = 0;
    if (attr == SQL_ATTR_ODBC_VERSION)
        v = e->odbcVersion;
    else if (attr == SQL_ATTR_OUTPUT_NTS)
        v = SQL_TRUE;
    if (value) *static_cast<SQLINTEGER*>(value) = v;
    if (len) *len = sizeof v;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    Dbc* d = lookup<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    SQLUINTEGER v = static_cast<SQLUINTEGER>(reinterpret_cast<uintptr_t>(value));
    if (attr == SQL_ATTR_LOGIN_TIMEOUT)
        d->loginTimeout = v;
    else if (attr == SQL_ATTR_CONNECTION_TIMEOUT)
        d->connectionTimeout = v;
    else if (attr == SQL_ATTR_AUTOCOMMIT)
        d->autocommit = v;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER bufLen, SQLINTEGER* len) {
    Dbc* d = lookup<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    if (attr == SQL_ATTR_CURRENT_CATALOG) {
        SQLLEN n = 0;
        SQLRETURN rc = putString(d, d->session ? d->session->database() : "", value, bufLen, &n);
        if (len) *len = static_cast<SQLINTEGER>(n);
        return rc;
    }
    SQLUINTEGER v = 0;
    switch (attr) {
        case SQL_ATTR_LOGIN_TIMEOUT: v = d->loginTimeout; break;
        case SQL_ATTR_CONNECTION_TIMEOUT: v = d->connectionTimeout; break;
        case SQL_ATTR_AUTOCOMMIT: v = d->autocommit; break;
        case SQL_ATTR_CONNECTION_DEAD: v = d->session ? SQL_CD_FALSE : SQL_CD_TRUE; break;
        case SQL_ATTR_TXN_ISOLATION: v = SQL_TXN_READ_COMMITTED; break;
        default: break;
    }
    if (value) *static_cast<SQLUINTEGER*>(value) = v;
    if (len) *len = sizeof v;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT h, SQLINTEGER, SQLPOINTER, SQLINTEGER) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER, SQLINTEGER* len) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    switch (attr) {
        case SQL_ATTR_APP_ROW_DESC:
        case SQL_ATTR_APP_PARAM_DESC:
        case SQL_ATTR_IMP_ROW_DESC:
        case SQL_ATTR_IMP_PARAM_DESC: {
            int i = attr == SQL_ATTR_APP_ROW_DESC     ? 0
                    : attr == SQL_ATTR_APP_PARAM_DESC ? 1
                    : attr == SQL_ATTR_IMP_ROW_DESC   ? 2
                                                      : 3;
            if (value) *static_cast<SQLPOINTER*>(value) = &s->implicitDescs[i];
            if (len) *len = sizeof(SQLPOINTER);
            return SQL_SUCCESS;
        }
        default:
            if (value) *static_cast<SQLULEN*>(value) = 0;
            if (len) *len = sizeof(SQLULEN);
            return SQL_SUCCESS;
    }
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC h, SQLHWND, SQLCHAR* in, SQLSMALLINT inLen, SQLCHAR* out, SQLSMALLINT outMax,
                                   SQLSMALLINT* outLen, SQLUSMALLINT) {
    Dbc* d = lookup<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    return guarded(d, [&]() -> SQLRETURN {
        std::string cs = text(in, inLen);
        SQLRETURN rc = connect(d, parseConnectionString(cs));
        if (rc != SQL_SUCCESS) return rc;
        if (out || outLen) {
            SQLRETURN r2 = putString16(d, cs, out, outMax, outLen);
            if (r2 != SQL_SUCCESS) rc = r2;
        }
        return rc;
    });
}

SQLRETURN SQL_API SQLConnect(SQLHDBC h, SQLCHAR* dsn, SQLSMALLINT dsnLen, SQLCHAR* uid, SQLSMALLINT uidLen,
                             SQLCHAR* pwd, SQLSMALLINT pwdLen) {
    Dbc* d = lookup<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    return guarded(d, [&]() -> SQLRETURN {
        std::string name = text(dsn, dsnLen);
        std::map<std::string, std::string> kv;
        for (auto& f : odbcFiles()) {
            kv = iniSection(f, name);
            if (!kv.empty()) break;
        }
        if (kv.empty()) return driverError(d, "IM002", "Data source name not found and no default driver specified");
        std::string u = text(uid, uidLen), p = text(pwd, pwdLen);
        if (!u.empty()) kv["uid"] = u;
        if (!p.empty() || !u.empty()) kv["pwd"] = p;
        return connect(d, kv);
    });
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC h) {
    Dbc* d = lookup<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    disconnect(d);
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT h, SQLCHAR* sql, SQLINTEGER len) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    return guarded(s, [&] { return execute(s, text(sql, len)); });
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT h, SQLCHAR* sql, SQLINTEGER len) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    s->stopExecution();
    s->prepared = text(sql, len);
    s->hasPrepared = true;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT h) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (!s->hasPrepared) return driverError(s, "HY010", "Function sequence error");
    return guarded(s, [&] { return execute(s, s->prepared); });
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT h) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (s->stillExecutingFault && s->exec) return SQL_STILL_EXECUTING;
    return guarded(s, [&] { return advance(s, false); });
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT h, SQLSMALLINT* count) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (count) *count = s->hasResult ? static_cast<SQLSMALLINT>(s->result.columns.size()) : 0;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT h, SQLLEN* count) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (count) *count = -1;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT h, SQLUSMALLINT col, SQLCHAR* name, SQLSMALLINT nameMax, SQLSMALLINT* nameLen,
                                 SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (!s->hasResult) return driverError(s, "07005", "Prepared statement not a cursor-specification");
    if (col < 1 || col > s->result.columns.size()) return driverError(s, "07009", "Invalid Descriptor Index");
    if (type) *type = SQL_VARCHAR;
    if (size) *size = columnSize(s, col - 1);
    if (digits) *digits = 0;
    if (nullable) *nullable = SQL_NULLABLE;
    return putString16(s, s->result.columns[col - 1], name, nameMax, nameLen);
}

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER charAttr,
                                  SQLSMALLINT bufLen, SQLSMALLINT* strLen, SQLLEN* numAttr) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (field == SQL_DESC_COUNT) {
        if (numAttr) *numAttr = s->hasResult ? static_cast<SQLLEN>(s->result.columns.size()) : 0;
        return SQL_SUCCESS;
    }
    if (!s->hasResult || col < 1 || col > s->result.columns.size())
        return driverError(s, "07009", "Invalid Descriptor Index");
    const std::string& n = s->result.columns[col - 1];
    SQLLEN v = 0;
    switch (field) {
        case SQL_DESC_NAME:
        case SQL_DESC_LABEL:
        case SQL_COLUMN_NAME:
        case SQL_DESC_BASE_COLUMN_NAME: return putString16(s, n, charAttr, bufLen, strLen);
        case SQL_DESC_TYPE_NAME: return putString16(s, "varchar", charAttr, bufLen, strLen);
        case SQL_DESC_TABLE_NAME:
        case SQL_DESC_BASE_TABLE_NAME:
        case SQL_DESC_SCHEMA_NAME:
        case SQL_DESC_CATALOG_NAME: return putString16(s, "", charAttr, bufLen, strLen);
        case SQL_DESC_TYPE:
        case SQL_DESC_CONCISE_TYPE: v = SQL_VARCHAR; break;
        case SQL_DESC_DISPLAY_SIZE:
        case SQL_DESC_LENGTH:
        case SQL_DESC_OCTET_LENGTH:
        case SQL_COLUMN_LENGTH:
        case SQL_COLUMN_PRECISION:
        case SQL_DESC_PRECISION: v = static_cast<SQLLEN>(columnSize(s, col - 1)); break;
        case SQL_DESC_NULLABLE: v = SQL_NULLABLE; break;
        case SQL_DESC_UNSIGNED: v = SQL_TRUE; break;
        case SQL_DESC_SEARCHABLE: v = SQL_PRED_SEARCHABLE; break;
        case SQL_DESC_UPDATABLE: v = SQL_ATTR_READONLY; break;
        default: v = 0; break;
    }
    if (numAttr) *numAttr = v;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT h) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (!s->hasResult) return driverError(s, "24000", "Invalid cursor state");
    if (s->row >= s->result.rows.size()) {
        s->row = s->result.rows.size() + 1;
        return SQL_NO_DATA;
    }
    ++s->row;
    s->readOffset.assign(s->result.columns.size(), 0);
    s->readDone.assign(s->result.columns.size(), false);
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT type, SQLPOINTER buf, SQLLEN bufLen,
                             SQLLEN* ind) {
    Stmt* s = lookup<Stmt>(h, Kind::Stmt);
    if (!s) return SQL_INVALID_HANDLE;
    s->diags.clear();
    if (!s->hasResult || s->row == 0 || s->row > s->result.rows.size())
        return driverError(s, "24000", "Invalid cursor state");
    if (col < 1 || col > s->result.columns.size()) return driverError(s, "07009", "Invalid Descriptor Index");
    size_t c = col - 1;
    const auto& v = s->result.rows[s->row - 1][c];
    if (s->readDone[c]) return SQL_NO_DATA;
    if (!v) {
        s->readDone[c] = true;
        if (!ind) return driverError(s, "22002", "Indicator variable required but not supplied");
        *ind = SQL_NULL_DATA;
        return SQL_SUCCESS;
    }
    switch (type) {
        case SQL_C_CHAR:
        case SQL_C_DEFAULT: {
            std::string rest = v->substr(std::min(s->readOffset[c], v->size()));
            if (ind) *ind = static_cast<SQLLEN>(rest.size());
            if (!buf || bufLen <= 0) {
                if (!buf && !ind) return SQL_SUCCESS;
                return rest.empty() ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
            }
            size_t n = std::min(rest.size(), static_cast<size_t>(bufLen - 1));
            std::memcpy(buf, rest.data(), n);
            static_cast<char*>(buf)[n] = 0;
            s->readOffset[c] += n;
            if (n < rest.size()) {
                s->diags.push_back(Diag{"01004", 0, "[Microsoft][" + driverOf(s) + "]String data, right truncated"});
                return SQL_SUCCESS_WITH_INFO;
            }
            s->readDone[c] = true;
            return SQL_SUCCESS;
        }
        case SQL_C_LONG:
        case SQL_C_SLONG:
        case SQL_C_ULONG:
        case SQL_C_SHORT:
        case SQL_C_SSHORT:
        case SQL_C_SBIGINT: {
            char* end = nullptr;
            long long n = std::strtoll(v->c_str(), &end, 10);
            if (v->empty() || *end)
                return driverError(s, "22018", "Invalid character value: the column does not hold a whole number");
            s->readDone[c] = true;
            if (type == SQL_C_SBIGINT) {
                if (buf) *static_cast<SQLBIGINT*>(buf) = n;
                if (ind) *ind = sizeof(SQLBIGINT);
            } else if (type == SQL_C_SHORT || type == SQL_C_SSHORT) {
                if (buf) *static_cast<SQLSMALLINT*>(buf) = static_cast<SQLSMALLINT>(n);
                if (ind) *ind = sizeof(SQLSMALLINT);
            } else {
                if (buf) *static_cast<SQLINTEGER*>(buf) = static_cast<SQLINTEGER>(n);
                if (ind) *ind = sizeof(SQLINTEGER);
            }
            return SQL_SUCCESS;
        }
        default: return driverError(s, "HY003", "Program type out of range");
    }
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLCHAR* state, SQLINTEGER* native,
                                SQLCHAR* msg, SQLSMALLINT bufLen, SQLSMALLINT* textLen) {
    Kind k = type == SQL_HANDLE_ENV    ? Kind::Env
             : type == SQL_HANDLE_DBC  ? Kind::Dbc
             : type == SQL_HANDLE_STMT ? Kind::Stmt
                                       : Kind::Desc;
    Handle* p = lookup<Handle>(h, k);
    if (!p) return SQL_INVALID_HANDLE;
    if (rec < 1) return SQL_ERROR;
    if (static_cast<size_t>(rec) > p->diags.size()) return SQL_NO_DATA;
    const Diag& d = p->diags[static_cast<size_t>(rec) - 1];
    if (state) std::memcpy(state, d.sqlstate.c_str(), 6);
    if (native) *native = d.native;
    SQLLEN n = 0;
    SQLRETURN rc = putString(nullptr, d.text, msg, bufLen, &n);
    if (textLen) *textLen = static_cast<SQLSMALLINT>(std::min<SQLLEN>(n, 32767));
    return rc;
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER info,
                                  SQLSMALLINT bufLen, SQLSMALLINT* strLen) {
    Kind k = type == SQL_HANDLE_ENV    ? Kind::Env
             : type == SQL_HANDLE_DBC  ? Kind::Dbc
             : type == SQL_HANDLE_STMT ? Kind::Stmt
                                       : Kind::Desc;
    Handle* p = lookup<Handle>(h, k);
    if (!p) return SQL_INVALID_HANDLE;
    switch (field) {  // header fields
        case SQL_DIAG_NUMBER:
            if (info) *static_cast<SQLINTEGER*>(info) = static_cast<SQLINTEGER>(p->diags.size());
            return SQL_SUCCESS;
        case SQL_DIAG_RETURNCODE:
            if (info) *static_cast<SQLRETURN*>(info) = p->lastRc;
            return SQL_SUCCESS;
        case SQL_DIAG_ROW_COUNT:
        case SQL_DIAG_CURSOR_ROW_COUNT:
            if (info) *static_cast<SQLLEN*>(info) = -1;
            return SQL_SUCCESS;
        case SQL_DIAG_DYNAMIC_FUNCTION: return putString16(nullptr, "", info, bufLen, strLen);
        case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
            if (info) *static_cast<SQLINTEGER*>(info) = SQL_DIAG_UNKNOWN_STATEMENT;
            return SQL_SUCCESS;
        default: break;
    }
    if (rec < 1) return SQL_ERROR;
    if (static_cast<size_t>(rec) > p->diags.size()) return SQL_NO_DATA;
    const Diag& d = p->diags[static_cast<size_t>(rec) - 1];
    switch (field) {
        case SQL_DIAG_SQLSTATE: return putString16(nullptr, d.sqlstate, info, bufLen, strLen);
        case SQL_DIAG_NATIVE:
            if (info) *static_cast<SQLINTEGER*>(info) = d.native;
            return SQL_SUCCESS;
        case SQL_DIAG_MESSAGE_TEXT: return putString16(nullptr, d.text, info, bufLen, strLen);
        case SQL_DIAG_CLASS_ORIGIN:
        case SQL_DIAG_SUBCLASS_ORIGIN:
            return putString16(nullptr, d.sqlstate.compare(0, 2, "IM") == 0 ? "ODBC 3.0" : "ISO 9075", info, bufLen,
                               strLen);
        case SQL_DIAG_CONNECTION_NAME: return putString16(nullptr, "", info, bufLen, strLen);
        case SQL_DIAG_SERVER_NAME: {
            std::string server;
            if (p->kind == Kind::Dbc && static_cast<Dbc*>(p)->session)
                server = static_cast<Dbc*>(p)->session->instance();
            if (p->kind == Kind::Stmt && static_cast<Stmt*>(p)->dbc->session)
                server = static_cast<Stmt*>(p)->dbc->session->instance();
            return putString16(nullptr, server, info, bufLen, strLen);
        }
        case SQL_DIAG_COLUMN_NUMBER:
            if (info) *static_cast<SQLINTEGER*>(info) = SQL_COLUMN_NUMBER_UNKNOWN;
            return SQL_SUCCESS;
        case SQL_DIAG_ROW_NUMBER:
            if (info) *static_cast<SQLLEN*>(info) = SQL_ROW_NUMBER_UNKNOWN;
            return SQL_SUCCESS;
        default: return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT bufLen, SQLSMALLINT* len) {
    Dbc* d = lookup<Dbc>(h, Kind::Dbc);
    if (!d) return SQL_INVALID_HANDLE;
    d->diags.clear();
    auto str = [&](const std::string& v) { return putString16(d, v, value, bufLen, len); };
    auto u16 = [&](SQLUSMALLINT v) {
        if (value) *static_cast<SQLUSMALLINT*>(value) = v;
        if (len) *len = sizeof v;
        return SQL_SUCCESS;
    };
    auto u32 = [&](SQLUINTEGER v) {
        if (value) *static_cast<SQLUINTEGER*>(value) = v;
        if (len) *len = sizeof v;
        return SQL_SUCCESS;
    };
    switch (type) {
        case SQL_DRIVER_NAME: return str("libsqlemu_odbc.so");
        case SQL_DRIVER_VER: return str("17.10.0001");
        case SQL_DRIVER_ODBC_VER: return str("03.80");
        case SQL_ODBC_VER: return str("03.80.0000");
        case SQL_DBMS_NAME: return str("Microsoft SQL Server");
        case SQL_DBMS_VER: {
            std::string v = "15.00.2000";
            if (d->session) {
                try {
                    v = d->session->catalogue().read(d->session->instance()).version;
                } catch (std::exception&) {
                }
            }
            return str(v);
        }
        case SQL_SERVER_NAME:
        case SQL_DATA_SOURCE_NAME: return str(d->session ? d->session->instance() : "");
        case SQL_DATABASE_NAME: return str(d->session ? d->session->database() : "");
        case SQL_USER_NAME: return str(d->session ? d->session->login() : "");
        case SQL_IDENTIFIER_QUOTE_CHAR: return str("\"");
        case SQL_CATALOG_NAME_SEPARATOR: return str(".");
        case SQL_SEARCH_PATTERN_ESCAPE: return str("\\");
        case SQL_DATA_SOURCE_READ_ONLY:
        case SQL_NEED_LONG_DATA_LEN:
        case SQL_ACCESSIBLE_TABLES:
        case SQL_ACCESSIBLE_PROCEDURES: return str("N");
        case SQL_MULT_RESULT_SETS:
        case SQL_CATALOG_NAME:
        case SQL_COLUMN_ALIAS: return str("Y");
        case SQL_MAX_CONCURRENT_ACTIVITIES:
        case SQL_MAX_DRIVER_CONNECTIONS: return u16(0);
        case SQL_TXN_CAPABLE: return u16(SQL_TC_ALL);
        case SQL_CURSOR_COMMIT_BEHAVIOR:
        case SQL_CURSOR_ROLLBACK_BEHAVIOR: return u16(SQL_CB_CLOSE);
        case SQL_IDENTIFIER_CASE: return u16(SQL_IC_MIXED);
        case SQL_GETDATA_EXTENSIONS: return u32(SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER);
        case SQL_ASYNC_MODE: return u32(SQL_AM_NONE);
        case SQL_MAX_COLUMN_NAME_LEN: return u16(128);
        case SQL_SCROLL_OPTIONS: return u32(SQL_SO_FORWARD_ONLY);
        case SQL_DEFAULT_TXN_ISOLATION: return u32(SQL_TXN_READ_COMMITTED);
        default: return driverError(d, "HY096", "Information type out of range");
    }
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT, SQLHANDLE, SQLSMALLINT) { return SQL_SUCCESS; }

}  // extern "C"
