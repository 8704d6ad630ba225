// The statement thread: runs one BACKUP or RESTORE batch on its own connection.
#include "sql/OdbcCommon.h"

#include <cstdio>

uint32_t execSQL(void* param) {
    const SqlExecParam* p = static_cast<const SqlExecParam*>(param);
    char conn[1024];
    std::snprintf(conn, sizeof conn, "%s", p->connStr);

    OdbcBatch batch;
    // One label for every step.
    if (!batch.Execute(conn, p->statement, "SQLExecDirect()")) return static_cast<uint32_t>(-1);
    // Rows, if any, are not read.
    const OdbcBatch::End end = batch.Walk([](SQLHSTMT) {});
    if (end == OdbcBatch::End::Unexpected) {
        batch.Close();
        // Ends every thread at once without running the destructors of the
        // globals they may still use; stdio, the log file included, is flushed.
        ExitProcess(static_cast<UINT>(-10));
    }
    return end == OdbcBatch::End::Completed ? 0 : static_cast<uint32_t>(-1);
}
