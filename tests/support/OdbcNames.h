// ODBC return codes by name, as the small ODBC clients of the tests print them.
#pragma once

#include <sql.h>

namespace kestest {

inline const char* odbcReturnName(SQLRETURN rc) {
    switch (rc) {
        case SQL_SUCCESS: return "SQL_SUCCESS";
        case SQL_SUCCESS_WITH_INFO: return "SQL_SUCCESS_WITH_INFO";
        case SQL_ERROR: return "SQL_ERROR";
        case SQL_NO_DATA: return "SQL_NO_DATA";
        case SQL_INVALID_HANDLE: return "SQL_INVALID_HANDLE";
        case SQL_STILL_EXECUTING: return "SQL_STILL_EXECUTING";
        case SQL_NEED_DATA: return "SQL_NEED_DATA";
        default: return "OTHER";
    }
}

}  // namespace kestest
