// The platform calls that sql/ needs, declared without platform/win32's types
// (the driver manager's headers declare clashing ones).
#pragma once

// Ends the process at once with status (stdio flushed, global destructors skipped).
[[noreturn]] void EndProcessNow(int status);

// The desktop window that owns a driver's prompt (none on this platform).
void* DesktopWindowHandle();
