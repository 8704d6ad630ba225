#include "platform/win32/win32.h"

[[noreturn]] void EndProcessNow(int status)
{
    ExitProcess(static_cast<UINT>(status));
}
