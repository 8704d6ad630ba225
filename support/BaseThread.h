// A worker-thread base class: Run is the body; Start launches it; Stop asks it
// to end (WaitStop starts to answer true) and ends it by force after
// stopTimeoutMs. A forced end abandons the body (see TerminateThread): it runs
// on until it returns by itself, so the object must outlive it.
#pragma once

#include "platform/win32/win32.h"

#include <stdint.h>

namespace Varkon {

class CBaseThread {
public:
    CBaseThread();
    virtual bool Stop();
    virtual ~CBaseThread();
    virtual DWORD Run(void* param) = 0;

    BOOL Start(void* param);
    bool WaitStop(uint32_t ms);
    bool IsExited();
    static DWORD ThreadProc(void* startBlock);

    struct StartBlock {
        CBaseThread* self;
        void* param;
    };
    StartBlock start;
    HANDLE runEvent;
    uint32_t stopTimeoutMs;
    HANDLE thread;
    uint32_t threadId;
};

}  // namespace Varkon
