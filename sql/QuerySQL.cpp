// Statement batches with results, and the connection, the walk over the results and the
// diagnostics shared with the statement thread.
#include "sql/OdbcCommon.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "support/Log.h"

namespace {

const char kTrimChars[] = " \n\r\t";

void TrimRight(std::string& s) {
    size_t end = s.find_last_not_of(kTrimChars);
    s.erase(end == std::string::npos ? 0 : end + 1);
}

// Reads one column of the current row whole into v: a value longer than the buffer comes in
// pieces, each call giving the next one until the last. False when it cannot be read.
bool ReadValue(SQLHSTMT stmt, SQLUSMALLINT col, std::string& v, char* buf, size_t bufSize) {
    v.clear();
    for (bool first = true;; first = false) {
        SQLLEN ind = 0;
        buf[0] = '\0';
        SQLRETURN rc = SQLGetData(stmt, col, SQL_C_CHAR, buf, static_cast<SQLLEN>(bufSize), &ind);
        if (!first && rc == SQL_NO_DATA) return true;
        if (!SQL_SUCCEEDED(rc)) return false;
        if (ind == SQL_NULL_DATA) {
            v = "NULL";
            return true;
        }
        buf[bufSize - 1] = '\0';
        const size_t piece = std::strlen(buf);
        v.append(buf, piece);
        if (rc == SQL_SUCCESS || piece == 0) return true;
    }
}

// Reads the rows of the current result into text.
void ReadRows(SQLHSTMT stmt, bool firstValueOnly, std::string& text, char* value, size_t valueSize) {
    SQLSMALLINT cols = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &cols))) cols = 0;
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
        for (SQLSMALLINT c = 1; c <= cols; ++c) {
            std::string v;
            if (!ReadValue(stmt, static_cast<SQLUSMALLINT>(c), v, value, valueSize)) continue;
            TrimRight(v);
            if (firstValueOnly) {
                text = v;
                return;
            }
            text += v;
            if (c != cols) text += '|';
        }
        if (firstValueOnly) return;
        text += '\n';
    }
}

// The value of key in a connection string ("KEY=value;..."; keys without regard to case, values
// unbraced); false when the string has no such key.
bool ConnValue(const char* connStr, const char* key, std::string& value) {
    const size_t keyLen = std::strlen(key);
    for (const char* p = connStr; *p != '\0';) {
        const char* end = std::strchr(p, ';');
        if (end == nullptr) end = p + std::strlen(p);
        if (static_cast<size_t>(end - p) > keyLen && p[keyLen] == '=' && _strnicmp(p, key, keyLen) == 0) {
            value.assign(p + keyLen + 1, end);
            return true;
        }
        p = *end == ';' ? end + 1 : end;
    }
    return false;
}

// The driver's own lines say only that no server answered; this one says which server and
// which login were tried. The password never shows.
void ReportConnectTarget(const char* connStr) {
    std::string server, user;
    ConnValue(connStr, "SERVER", server);
    const std::string shown = server.empty() ? "(none)" : "[" + server + "]";
    const char* unset = server.empty() ? ": no server is set (Instance in config.ini, or -i=)" : "";
    if (ConnValue(connStr, "UID", user))
        Log::WError("Cannot connect to server %s with the login of user [%s]%s.", shown.c_str(), user.c_str(), unset);
    else
        Log::WError("Cannot connect to server %s with a trusted login%s.", shown.c_str(), unset);
}

// One diagnostic record as the walk hands it on; cut when its message did not fit the buffer.
struct DiagRecord {
    SQLSMALLINT rec;
    const char* state;
    SQLINTEGER native;
    const char* msg;
    bool cut;
};

// Hands each readable diagnostic record of the handle to each, in order, until one cannot be
// read or each returns false.
template <typename Each>
void WalkDiagnostics(SQLSMALLINT type, SQLHANDLE handle, Each each) {
    for (SQLSMALLINT rec = 1;; ++rec) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLCHAR msg[512] = {0};
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, rec, state, &native, msg, sizeof msg, &len);
        if (!SQL_SUCCEEDED(rc)) return;
        if (!each(DiagRecord{rec, reinterpret_cast<char*>(state), native, reinterpret_cast<char*>(msg),
                             rc == SQL_SUCCESS_WITH_INFO}))
            return;
    }
}

// Statement threads walk their messages at once; the fallback name is written under this lock.
// Once start-up has chosen a driver the name is never empty and nothing is written.
std::mutex g_driverFallbackLock;

// The length of the driver's prefix on a message from the server, "[Microsoft][" name
// "][SQL Server]"; names the fallback driver when none was chosen.
size_t ProgressPrefixLength() {
    std::lock_guard<std::mutex> hold(g_driverFallbackLock);
    if (g_odbcDriver[0] == '\0') std::snprintf(g_odbcDriver, sizeof g_odbcDriver, "%s", "ODBC SQL Server Driver");
    return 25 + std::strlen(g_odbcDriver);
}

}  // namespace

bool ReplaceFirst(std::string& s, const std::string& from, const std::string& to) {
    size_t pos = s.find(from);
    if (pos == std::string::npos) return false;
    s.replace(pos, from.size(), to);
    return true;
}

namespace {
std::mutex s_reportedLock;
std::set<long> s_reported;  // the native numbers ReportOdbcError has logged
}  // namespace

bool ServerErrorReported(long native) {
    std::lock_guard<std::mutex> g(s_reportedLock);
    return s_reported.count(native) != 0;
}

void ReportOdbcError(const char* label, SQLHANDLE handle, SQLSMALLINT type) {
    Log::WError("SQL Server ODBC driver reported the following error %s", label);
    if (handle == SQL_NULL_HANDLE) return;
    WalkDiagnostics(type, handle, [](const DiagRecord& r) {
        Log::WInfo("%s:%ld:%ld:%s\n", r.state, static_cast<long>(r.rec), static_cast<long>(r.native), r.msg);
        {
            std::lock_guard<std::mutex> g(s_reportedLock);
            s_reported.insert(static_cast<long>(r.native));
        }
        return !r.cut;  // the records after a cut one are not reported
    });
}

void ProcessOdbcMessages(SQLSMALLINT type, SQLHANDLE handle, int* flag) {
    size_t prefix = 0;
    WalkDiagnostics(type, handle, [&](const DiagRecord& r) {
        if (prefix == 0) prefix = ProgressPrefixLength();
        // The length of what the buffer holds, not the reported one: a cut message
        // is shorter than its record says.
        std::string text(r.msg);
        if (text.size() > prefix + 19) {
            text = "Operation Progress: " + text.substr(prefix);
            ReplaceFirst(text, "%", " percent");
            Log::WInfo("%s", text.c_str());
        }
        if (flag != nullptr && r.native == 3014) *flag = 1;
        return true;
    });
}

bool OdbcBatch::Execute(const char* connStr, const char* batch, const char* label) {
    auto failed = [label](const char* step, SQLHANDLE handle, SQLSMALLINT type) {
        ReportOdbcError(label ? label : step, handle, type);
        return false;
    };
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
        env_ = SQL_NULL_HENV;
        return failed("SQLAllocHandle(SQL_HANDLE_ENV)", SQL_NULL_HANDLE, SQL_HANDLE_ENV);
    }
    if (!SQL_SUCCEEDED(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)))
        return failed("SQLSetEnvAttr(SQL_ATTR_ODBC_VERSION)", env_, SQL_HANDLE_ENV);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
        dbc_ = SQL_NULL_HDBC;
        return failed("SQLAllocHandle(SQL_HANDLE_DBC)", env_, SQL_HANDLE_ENV);
    }
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0)))
        return failed("SQLSetConnectAttr(SQL_LOGIN_TIMEOUT)", dbc_, SQL_HANDLE_DBC);
    SQLCHAR completed[1024];
    SQLSMALLINT completedLen = 0;
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)connStr, SQL_NTS, completed, sizeof completed,
                                        &completedLen, SQL_DRIVER_NOPROMPT))) {
        failed("SQLDriverConnect", dbc_, SQL_HANDLE_DBC);
        ReportConnectTarget(connStr);
        return false;
    }
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_))) {
        stmt_ = SQL_NULL_HSTMT;
        return failed("SQLAllocHandle(SQL_HANDLE_STMT)", dbc_, SQL_HANDLE_DBC);
    }
    rc_ = SQLExecDirect(stmt_, (SQLCHAR*)batch, SQL_NTS);
    if (!SQL_SUCCEEDED(rc_)) return failed("SQLExecDirect()", stmt_, SQL_HANDLE_STMT);
    return true;
}

OdbcBatch::End OdbcBatch::Walk(const std::function<void(SQLHSTMT)>& rows) {
    for (SQLRETURN rc = rc_;; rc = SQLMoreResults(stmt_)) {
        if (rc == SQL_SUCCESS) {
            rows(stmt_);
        } else if (rc == SQL_SUCCESS_WITH_INFO) {
            ProcessOdbcMessages(SQL_HANDLE_STMT, stmt_);
            rows(stmt_);
        } else if (rc == SQL_ERROR) {
            int flag = 0;
            ProcessOdbcMessages(SQL_HANDLE_STMT, stmt_, &flag);
            if (flag == 0) return End::Failed;
            Log::WError("Errors were encountered but the command was able to recover and successfully complete.");
        } else if (rc == SQL_NO_DATA) {
            return End::Completed;
        } else if (rc == SQL_INVALID_HANDLE || rc == SQL_STILL_EXECUTING || rc == SQL_NEED_DATA) {
            Log::WError("Unexpected SQLExec result %d", static_cast<int>(rc));
            return End::Unexpected;
        }
    }
}

void OdbcBatch::Close() {
    if (stmt_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    if (dbc_ != SQL_NULL_HDBC) {
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    if (env_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env_);
    stmt_ = SQL_NULL_HSTMT;
    dbc_ = SQL_NULL_HDBC;
    env_ = SQL_NULL_HENV;
}

std::string QuerySQL(const char* connStr, const char* batch, bool firstValueOnly) {
    std::string text;
    char value[8192];
    OdbcBatch b;
    if (!b.Execute(connStr, batch)) return text;
    const OdbcBatch::End end = b.Walk([&](SQLHSTMT stmt) {
        ReadRows(stmt, firstValueOnly, text, value, sizeof value);
        TrimRight(text);
    });
    if (end == OdbcBatch::End::Failed) Log::WError("Errors resulted in failure of the command.");
    return text;
}

std::string QuerySQL(const char* server, const char* user, const char* pass, const char* batch, bool firstValueOnly) {
    char conn[1024];
    int n = std::snprintf(conn, sizeof conn, "DRIVER={SQL Server};SERVER=%s;UID=%s;PWD=%s;", server, user, pass);
    if (n < 0 || static_cast<size_t>(n) >= sizeof conn) {
        Log::WError("The connection string does not fit its %d characters.", static_cast<int>(sizeof conn - 1));
        return std::string();
    }
    return QuerySQL(conn, batch, firstValueOnly);
}
