// The statement thread: runs one BACKUP or RESTORE batch on its own connection.
#include "sql/OdbcCommon.h"

#include <cstdio>

#include "support/Log.h"

namespace {

void FreeHandles(SQLHSTMT stmt, SQLHDBC dbc, SQLHENV env)
{
    if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (dbc != SQL_NULL_HDBC) {
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
}

}  // namespace

uint32_t execSQL(void* param)
{
    const SqlExecParam* p = static_cast<const SqlExecParam*>(param);
    char conn[1024];
    std::snprintf(conn, sizeof conn, "%s", p->connStr);

    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    bool completed = false;
    const char* label = "SQLExecDirect()";  // one label for every step
    SQLRETURN rc;

    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        env = SQL_NULL_HENV;
        ReportOdbcError(label, SQL_NULL_HANDLE, SQL_HANDLE_ENV);
        goto cleanup;
    }
    if (!SQL_SUCCEEDED(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
        ReportOdbcError(label, env, SQL_HANDLE_ENV);
        goto cleanup;
    }
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        dbc = SQL_NULL_HDBC;
        ReportOdbcError(label, env, SQL_HANDLE_ENV);
        goto cleanup;
    }
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0))) {
        ReportOdbcError(label, dbc, SQL_HANDLE_DBC);
        goto cleanup;
    }
    {
        SQLCHAR completedStr[1024];
        SQLSMALLINT completedLen = 0;
        rc = SQLDriverConnect(dbc, nullptr, (SQLCHAR*)conn, SQL_NTS, completedStr, sizeof completedStr,
                              &completedLen, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(rc)) {
            ReportOdbcError(label, dbc, SQL_HANDLE_DBC);
            goto cleanup;
        }
    }
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
        stmt = SQL_NULL_HSTMT;
        ReportOdbcError(label, dbc, SQL_HANDLE_DBC);
        goto cleanup;
    }
    rc = SQLExecDirect(stmt, (SQLCHAR*)p->statement, SQL_NTS);
    if (!SQL_SUCCEEDED(rc)) {
        ReportOdbcError(label, stmt, SQL_HANDLE_STMT);
        goto cleanup;
    }

    for (;;) {
        if (rc == SQL_SUCCESS) {
            // rows, if any, are not read
        } else if (rc == SQL_SUCCESS_WITH_INFO) {
            ProcessOdbcMessages(SQL_HANDLE_STMT, stmt);
        } else if (rc == SQL_ERROR) {
            int flag = 0;
            ProcessOdbcMessages(SQL_HANDLE_STMT, stmt, &flag);
            if (flag == 0) break;
            Log::WError("Errors were encountered but the command was able to recover and successfully complete.");
        } else if (rc == SQL_NO_DATA) {
            completed = true;
            break;
        } else if (rc == SQL_INVALID_HANDLE || rc == SQL_STILL_EXECUTING || rc == SQL_NEED_DATA) {
            Log::WError("Unexpected SQLExec result %d", static_cast<int>(rc));
            FreeHandles(stmt, dbc, env);
            // Ends every thread at once without running the destructors of the
            // globals they may still use; stdio, the log file included, is flushed.
            ExitProcess(static_cast<UINT>(-10));
        }
        rc = SQLMoreResults(stmt);
    }

cleanup:
    FreeHandles(stmt, dbc, env);
    return completed ? 0 : static_cast<uint32_t>(-1);
}
