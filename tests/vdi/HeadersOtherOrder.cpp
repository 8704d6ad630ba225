#include "platform/vdi/vdi.h"

#include <sql.h>
#include <sqlext.h>

// Compiles, or the headers disagree.
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
