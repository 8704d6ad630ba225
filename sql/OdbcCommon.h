// The driver manager's headers for the sources of sql/ (never together with
// platform/win32/win32.h: their Windows-like types clash).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "sql/Sql.h"
#include "sql/Win32Bridge.h"
