// The basic Windows-style types, results and error codes, defined once for the whole tree:
// win32.h, winsock.h and vdi.h take them from here.
//
// The ODBC driver manager's headers (sqltypes.h) declare some of the same names. Each name
// here is either one they do not declare or spelt with the very type they give it on this
// platform, so that this header and theirs can be included together in either order. That
// is why wide text is plain wchar_t (they make WCHAR a 16-bit type) and there is no ULONG
// (theirs is 64 bits wide).
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------- integers and pointers
typedef unsigned int DWORD;  // 32 bits
typedef unsigned short WORD;
typedef unsigned char BYTE;
typedef unsigned int UINT;
typedef int INT;
typedef int32_t LONG;
typedef int16_t SHORT;
typedef unsigned short USHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t SIZE_T;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef void* HWND;

// The driver manager's headers make BOOL a macro for int; the type is the same either way.
#ifndef BOOL
typedef int BOOL;
#endif
typedef BOOL* LPBOOL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define WINAPI
#define CALLBACK
#define APIENTRY
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu  // a wait without a time limit

static_assert(sizeof(DWORD) == 4 && sizeof(WORD) == 2 && sizeof(BYTE) == 1, "Win32 integer widths");

// A HANDLE points to a reference-counted kernel-object record of platform/win32 (thread, event,
// mutex, file, file search, console). Pointers that do not name a live record are refused with
// ERROR_INVALID_HANDLE, never dereferenced.
struct KesKernelObject;
typedef KesKernelObject* HANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HLOCAL;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<uintptr_t>(0)))

// ---------------------------------------------------------------- COM results and GUIDs
typedef int32_t HRESULT;
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// GUID_DEFINED is left alone: the driver manager's SQLGUID stays its own type, whichever
// header comes first.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID CLSID;
typedef GUID IID;
#define REFGUID const GUID&
#define REFCLSID const GUID&
#define REFIID const GUID&

// ---------------------------------------------------------------- error codes
// What GetLastError returns, and the completion codes of device commands.
#define ERROR_SUCCESS 0
#define NO_ERROR 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NO_MORE_FILES 18
#define ERROR_CRC 23
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_OLD_WIN_VERSION 1150
#define ERROR_TIMEOUT 1460
#define ERROR_CANT_RESOLVE_FILENAME 1921
