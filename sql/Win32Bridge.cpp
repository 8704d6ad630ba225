// The few platform calls of sql/, in a source of their own: the driver
// manager's headers and platform/win32 cannot meet in one translation unit.
#include "platform/win32/win32.h"

#include "sql/Win32Bridge.h"

[[noreturn]] void EndProcessNow(int status)
{
    ExitProcess(static_cast<UINT>(status));
}

void* DesktopWindowHandle()
{
    return GetDesktopWindow();
}
