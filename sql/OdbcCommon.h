// The driver manager's headers for the sources of sql/ (never together with
// platform/win32/win32.h: their Windows-like types clash).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "sql/Sql.h"

// Ends the process at once with status (stdio flushed, global destructors skipped).
[[noreturn]] void EndProcessNow(int status);
