#include "support/BaseThread.h"

#include <stdio.h>

namespace Varkon {

CBaseThread::CBaseThread() : start{nullptr, nullptr}, stopTimeoutMs(100), thread(nullptr), threadId(0) {
    runEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CBaseThread::~CBaseThread() { CloseHandle(runEvent); }

BOOL CBaseThread::Start(void* param) {
    SetEvent(runEvent);
    start.self = this;
    start.param = param;
    if (thread) CloseHandle(thread);
    DWORD id = 0;
    thread = CreateThread(nullptr, 0, ThreadProc, &start, 0, &id);
    threadId = id;
    return TRUE;
}

DWORD CBaseThread::ThreadProc(void* startBlock) {
    StartBlock* block = static_cast<StartBlock*>(startBlock);
    return block->self->Run(block->param);
}

bool CBaseThread::Stop() {
    ResetEvent(runEvent);
    bool forced = false;
    if (thread) {
        if (WaitForSingleObject(thread, stopTimeoutMs) == WAIT_TIMEOUT) {
            fputs("End Thread Timeout\n", stdout);
            TerminateThread(thread, 0);
            forced = true;
        }
        CloseHandle(thread);
        thread = nullptr;
    }
    return !forced;
}

bool CBaseThread::WaitStop(uint32_t ms) { return WaitForSingleObject(runEvent, ms) == WAIT_TIMEOUT; }

bool CBaseThread::IsExited() { return thread && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

}  // namespace Varkon
