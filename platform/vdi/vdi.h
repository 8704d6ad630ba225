// Virtual device sets: the client side (the program that plays the backup device) and the small
// COM runtime it is reached through. The server side, used by the emulated instance, is in
// platform/vdi/VdiServer.h. Both sides meet in one per-process registry inside the kes_vdi shared
// library, so an executable and a dlopen'ed driver that both link it see the same sets.
//
// The basic Windows-style types come from platform/win32/wintypes.h, so this header, win32.h and
// the ODBC headers (sql.h, sqlext.h) can be included together in any order. Wide text is plain
// wchar_t.
#pragma once

#include "platform/win32/wintypes.h"

#include <cstdint>
#include <cwchar>

// ---- generic results -----------------------------------------------------------------------
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_POINTER ((HRESULT)0x80004003u)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110u)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154u)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0u)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106u)

// ---- COM runtime ---------------------------------------------------------------------------
#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define CLSCTX_INPROC_SERVER 0x1u

// Per-thread initialisation: S_OK the first time, S_FALSE when already initialised in the same
// mode, RPC_E_CHANGED_MODE for the other mode. `reserved` must be null.
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();
// Needs CoInitializeEx on the calling thread. Knows one class, CLSID_MSSQL_ClientVirtualDeviceSet.
HRESULT CoCreateInstance(REFCLSID clsid, void* outer, DWORD clsContext, REFIID iid, void** object);
// A fresh random (version 4) GUID.
HRESULT CoCreateGuid(GUID* guid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; returns the characters written with the
// terminating zero (39), or 0 when `cchMax` is too small.
int StringFromGUID2(REFGUID guid, wchar_t* out, int cchMax);

// ---- virtual devices -----------------------------------------------------------------------
#define VDF_WriteMedia 0x10000u  // the server writes to the devices (a backup)

#define VDC_Read 1u
#define VDC_Write 2u
#define VDC_ClearError 3u
#define VDC_Flush 12u

// Results of the device-set calls (facility 0x77).
#define VD_E_NOTSUPPORTED ((HRESULT)0x80770001u)  // the call or value is not supported
#define VD_E_NOTOPEN ((HRESULT)0x80770002u)       // the set or device is not open (closed, never created)
#define VD_E_TIMEOUT ((HRESULT)0x80770003u)       // the wait ran out
#define VD_E_ABORT ((HRESULT)0x80770004u)         // one side aborted the set
#define VD_E_PROTOCOL ((HRESULT)0x80770005u)      // a call out of order
#define VD_E_INVALID ((HRESULT)0x80770006u)       // a bad argument (name, count, command)
#define VD_E_BUSY ((HRESULT)0x80770007u)          // the name or device is already in use
#define VD_E_CLOSE ((HRESULT)0x8077000Eu)         // the server has closed the device: normal end

struct VDConfig {
    DWORD deviceCount;      // set by the client
    DWORD features;         // VDF_* bits, filled by the server
    DWORD blockSize;        // filled by the server: the statement's block size
    DWORD maxTransferSize;  // filled by the server: the largest command size
    DWORD bufferCount;      // filled by the server: the most commands outstanding at once
    DWORD reserved[11];
};

struct VDC_Command {
    DWORD commandCode;
    DWORD size;
    uint64_t position;
    BYTE* buffer;  // the server's own buffer of `size` bytes
};

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

// A device belongs to its set: it is valid until the set object is released and needs no Release.
struct IClientVirtualDevice : IUnknown {
    // Waits up to `timeoutMs` (INFINITE: no limit) for the next command. VD_E_CLOSE once the server
    // has closed the device and every command is taken; VD_E_TIMEOUT; VD_E_ABORT.
    virtual HRESULT GetCommand(DWORD timeoutMs, VDC_Command** command) = 0;
    virtual HRESULT CompleteCommand(VDC_Command* command, DWORD completionCode, DWORD bytesTransferred,
                                    uint64_t position) = 0;

protected:
    ~IClientVirtualDevice() = default;
};

struct IClientVirtualDeviceSet2 : IUnknown {
    // Makes the set visible to the named instance (null or empty: the default instance).
    virtual HRESULT CreateEx(const wchar_t* instanceName, const wchar_t* setName, VDConfig* config) = 0;
    // Waits until the server has opened and configured the set; fills `config`.
    virtual HRESULT GetConfiguration(DWORD timeoutMs, VDConfig* config) = 0;
    // Device 0 bears the set name, device i the set name followed by i in decimal.
    virtual HRESULT OpenDevice(const wchar_t* deviceName, IClientVirtualDevice** device) = 0;
    // Ends the server's statement with an error and wakes every waiting call on both sides.
    virtual HRESULT SignalAbort() = 0;
    // Withdraws the set; a server still using it sees an abort.
    virtual HRESULT Close() = 0;

protected:
    ~IClientVirtualDeviceSet2() = default;
};

extern const GUID IID_IUnknown;
extern const GUID CLSID_MSSQL_ClientVirtualDeviceSet;
extern const GUID IID_IClientVirtualDeviceSet2;
extern const GUID IID_IClientVirtualDevice;
