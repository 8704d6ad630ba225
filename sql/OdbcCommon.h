// The driver manager's headers and the platform calls for the sources of sql/,
// and the one way sql/ connects and walks a batch's results.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <functional>

#include "platform/win32/win32.h"
#include "sql/Sql.h"

// One batch on a connection of its own. The handles are freed, the
// connection closed first, by Close or when the object goes.
class OdbcBatch {
public:
    OdbcBatch() = default;
    OdbcBatch(const OdbcBatch&) = delete;
    OdbcBatch& operator=(const OdbcBatch&) = delete;
    ~OdbcBatch() { Close(); }

    // The ODBC 3 environment, the connection over connStr (15 s to log in,
    // no prompt), a statement handle, then the batch. False once a step has
    // failed and its diagnostics are reported, each step under its own label,
    // or all of them under label when it is given.
    bool Execute(const char* connStr, const char* batch, const char* label = nullptr);

    enum class End {
        Completed,   // every result was walked
        Failed,      // an error without 3014: the batch did not complete
        Unexpected,  // a return code a batch never gives (logged)
    };
    // Walks the results one after the other: their progress messages logged,
    // and rows called for each result that may hold rows. An error carrying
    // 3014 is recovered from, with its own line.
    End Walk(const std::function<void(SQLHSTMT)>& rows);

    void Close();

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
    SQLRETURN rc_ = SQL_SUCCESS;
};
