// The driver manager's headers and the platform calls for the sources of sql/.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include "platform/win32/win32.h"
#include "sql/Sql.h"
