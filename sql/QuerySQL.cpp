// Statement batches with results, and the diagnostics shared with the statement thread.
#include "sql/OdbcCommon.h"

#include <cstdio>
#include <cstring>

#include "support/Log.h"

namespace {

const char kTrimChars[] = " \n\r\t";

void TrimRight(std::string& s)
{
    size_t end = s.find_last_not_of(kTrimChars);
    s.erase(end == std::string::npos ? 0 : end + 1);
}

// Reads one column of the current row whole into v: a value longer than the buffer comes in
// pieces, each call giving the next one until the last. False when it cannot be read.
bool ReadValue(SQLHSTMT stmt, SQLUSMALLINT col, std::string& v, char* buf, size_t bufSize)
{
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
void ReadRows(SQLHSTMT stmt, bool firstValueOnly, std::string& text, char* value, size_t valueSize)
{
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

}  // namespace

bool ReplaceFirst(std::string& s, const std::string& from, const std::string& to)
{
    size_t pos = s.find(from);
    if (pos == std::string::npos) return false;
    s.replace(pos, from.size(), to);
    return true;
}

void ReportOdbcError(const char* label, SQLHANDLE handle, SQLSMALLINT type)
{
    Log::WError("SQL Server ODBC driver reported the following error %s", label);
    if (handle == SQL_NULL_HANDLE) return;
    for (SQLSMALLINT rec = 1;; ++rec) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLCHAR msg[512] = {0};
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, rec, state, &native, msg, sizeof msg, &len);
        if (SQL_SUCCEEDED(rc))
            Log::WInfo("%s:%ld:%ld:%s\n", reinterpret_cast<char*>(state), static_cast<long>(rec),
                       static_cast<long>(native), reinterpret_cast<char*>(msg));
        if (rc != SQL_SUCCESS) break;
    }
}

void ProcessOdbcMessages(SQLSMALLINT type, SQLHANDLE handle, int* flag)
{
    for (SQLSMALLINT rec = 1;; ++rec) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLCHAR msg[512] = {0};
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, rec, state, &native, msg, sizeof msg, &len);
        if (!SQL_SUCCEEDED(rc)) break;
        if (g_odbcDriver[0] == '\0')
            std::snprintf(g_odbcDriver, sizeof g_odbcDriver, "%s", "ODBC SQL Server Driver");
        size_t prefix = 25 + std::strlen(g_odbcDriver);
        // The length of what the buffer holds, not the reported one: a cut message
        // is shorter than its record says.
        std::string text(reinterpret_cast<char*>(msg));
        if (text.size() > prefix + 19) {
            text = "Operation Progress: " + text.substr(prefix);
            ReplaceFirst(text, "%", " percent");
            Log::WInfo("%s", text.c_str());
        }
        if (flag != nullptr && native == 3014) *flag = 1;
    }
}

std::string QuerySQL(const char* connStr, const char* batch, bool firstValueOnly)
{
    std::string text;
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLRETURN rc;
    char value[8192];

    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        env = SQL_NULL_HENV;
        ReportOdbcError("SQLAllocHandle(SQL_HANDLE_ENV)", SQL_NULL_HANDLE, SQL_HANDLE_ENV);
        goto cleanup;
    }
    if (!SQL_SUCCEEDED(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
        ReportOdbcError("SQLSetEnvAttr(SQL_ATTR_ODBC_VERSION)", env, SQL_HANDLE_ENV);
        goto cleanup;
    }
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        dbc = SQL_NULL_HDBC;
        ReportOdbcError("SQLAllocHandle(SQL_HANDLE_DBC)", env, SQL_HANDLE_ENV);
        goto cleanup;
    }
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0))) {
        ReportOdbcError("SQLSetConnectAttr(SQL_LOGIN_TIMEOUT)", dbc, SQL_HANDLE_DBC);
        goto cleanup;
    }
    {
        SQLCHAR completed[1024];
        SQLSMALLINT completedLen = 0;
        rc = SQLDriverConnect(dbc, nullptr, (SQLCHAR*)connStr, SQL_NTS, completed, sizeof completed,
                              &completedLen, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(rc)) {
            ReportOdbcError("SQLDriverConnect", dbc, SQL_HANDLE_DBC);
            goto cleanup;
        }
    }
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
        stmt = SQL_NULL_HSTMT;
        ReportOdbcError("SQLAllocHandle(SQL_HANDLE_STMT)", dbc, SQL_HANDLE_DBC);
        goto cleanup;
    }
    rc = SQLExecDirect(stmt, (SQLCHAR*)batch, SQL_NTS);
    if (!SQL_SUCCEEDED(rc)) {
        ReportOdbcError("SQLExecDirect()", stmt, SQL_HANDLE_STMT);
        goto cleanup;
    }

    for (;;) {
        if (rc == SQL_SUCCESS) {
            ReadRows(stmt, firstValueOnly, text, value, sizeof value);
            TrimRight(text);
        } else if (rc == SQL_SUCCESS_WITH_INFO) {
            ProcessOdbcMessages(SQL_HANDLE_STMT, stmt);
            ReadRows(stmt, firstValueOnly, text, value, sizeof value);
            TrimRight(text);
        } else if (rc == SQL_ERROR) {
            int flag = 0;
            ProcessOdbcMessages(SQL_HANDLE_STMT, stmt, &flag);
            if (flag == 0) {
                Log::WError("Errors resulted in failure of the command.");
                break;
            }
            Log::WError("Errors were encountered but the command was able to recover and successfully complete.");
        } else if (rc == SQL_NO_DATA) {
            break;
        } else if (rc == SQL_INVALID_HANDLE || rc == SQL_STILL_EXECUTING || rc == SQL_NEED_DATA) {
            Log::WError("Unexpected SQLExec result %d", static_cast<int>(rc));
            break;
        }
        rc = SQLMoreResults(stmt);
    }

cleanup:
    if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (dbc != SQL_NULL_HDBC) {
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    return text;
}

std::string QuerySQL(const char* server, const char* user, const char* pass,
                     const char* batch, bool firstValueOnly)
{
    char conn[1024];
    int n = std::snprintf(conn, sizeof conn, "DRIVER={SQL Server};SERVER=%s;UID=%s;PWD=%s;", server, user, pass);
    if (n < 0 || static_cast<size_t>(n) >= sizeof conn) {
        Log::WError("The connection string does not fit its %d characters.", static_cast<int>(sizeof conn - 1));
        return std::string();
    }
    return QuerySQL(conn, batch, firstValueOnly);
}
