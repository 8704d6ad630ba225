// Driver detection and connection strings.
#include "sql/OdbcCommon.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/Log.h"
#include "support/SysUtils.h"

char g_odbcDriver[256];

namespace {

// Reads the number of "ODBC Driver %d for SQL Server" the way the scan pattern
// does (white space, optional sign, digits; 0 when none), clamped to int so a
// silly long number cannot overflow.
int DriverNumber(const char* desc) {
    return ReadInt32(desc + 11);  // after "ODBC Driver"
}

}  // namespace

int DetectOdbcDriver(char* out) {
    int best = -1;
    SQLHENV env = SQL_NULL_HENV;
    // A failed step is reported with the driver manager's records, as QuerySQL reports it.
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    if (rc != SQL_SUCCESS) {
        ReportOdbcError("SQLAllocHandle(SQL_HANDLE_ENV)", SQL_NULL_HANDLE, SQL_HANDLE_ENV);
        if (SQL_SUCCEEDED(rc)) SQLFreeHandle(SQL_HANDLE_ENV, env);
        return 1000000 + rc;
    }
    rc = SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (rc != SQL_SUCCESS) {
        ReportOdbcError("SQLSetEnvAttr(SQL_ATTR_ODBC_VERSION)", env, SQL_HANDLE_ENV);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return 2000000 + rc;
    }

    SQLCHAR desc[256] = {0};
    SQLCHAR attr[256] = {0};
    SQLSMALLINT descLen = 0, attrLen = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    // SQL_SUCCESS_WITH_INFO (a text cut to its buffer) ends the walk like SQL_NO_DATA.
    while (SQLDriversA(env, direction, desc, sizeof desc, &descLen, attr, sizeof attr, &attrLen) == SQL_SUCCESS) {
        direction = SQL_FETCH_NEXT;
        const char* name = reinterpret_cast<const char*>(desc);
        Log::WDebug("Detected Driver - %s", name);
        if (std::strncmp(name, "ODBC Driver", 11) == 0 && std::strstr(name, " for SQL Server") != nullptr) {
            int n = DriverNumber(name);
            if (n > best) {
                std::memcpy(out, desc, sizeof desc);
                out[255] = '\0';
                best = n;
            }
        }
        std::memset(desc, 0, sizeof desc);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    if (best >= 0) Log::WDebug("Decide to use - %s", out);
    return best;
}

int TestOdbcConnection() {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return 0;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (SQL_SUCCEEDED(rc)) {
        SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
        SQLCHAR outStr[1024];
        SQLSMALLINT outLen = 0;
        rc = SQLDriverConnect(dbc, static_cast<SQLHWND>(GetDesktopWindow()), (SQLCHAR*)"driver=SQL Server", SQL_NTS,
                              outStr, sizeof outStr, &outLen, SQL_DRIVER_PROMPT);
        if (SQL_SUCCEEDED(rc)) {
            SQLHSTMT stmt = SQL_NULL_HSTMT;
            if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            SQLDisconnect(dbc);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return 0;
}

bool ComposeConnectionString(char* out, size_t room, ConnKey key, bool trusted, const char* driver, const char* server,
                             const char* user, const char* pass) {
    const char* db = key == ConnKey::Run ? "DATABASE" : "Database";
    int n;
    if (trusted)
        n = std::snprintf(out, room, "DRIVER={%s};SERVER=%s;%s=msdb;Trusted_Connection=yes;", driver, server, db);
    else
        n = std::snprintf(out, room, "DRIVER={%s};SERVER=%s;%s=msdb;UID=%s;PWD=%s;", driver, server, db, user, pass);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        if (room > 0) out[0] = '\0';
        return false;
    }
    return true;
}
