#include "lockstate/worker.h"

#include <atomic>
#include <new>

Worker* PollerWorker = nullptr;
Worker* PublisherWorker = nullptr;
Worker* RoleWorker = nullptr;
Worker* PolicyWorker = nullptr;

namespace {

// How often a waiting DestroyWorker repeats its cancel of the body's synchronous I/O.
constexpr DWORD CancelRepeatMs = 10;

// One manual-reset event for every worker: shutdown stops them all.
HANDLE StopEvent() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

std::atomic<bool> StopRequested{false};
DWORD StopRequestedAt = 0;  // tick count; the UI thread alone reads and writes it

}  // namespace

Worker* CreateWorker(LPTHREAD_START_ROUTINE entry, void* argument) {
    Worker* worker = new (std::nothrow) Worker();
    if (worker == nullptr) return nullptr;
    StopEvent();  // exists before any body can wait on it
    worker->Entry = entry;
    worker->Argument = argument;
    worker->Handle = CreateThread(nullptr, 0, entry, argument, CREATE_SUSPENDED, nullptr);
    worker->Started = false;
    worker->Finished = false;
    return worker;
}

void StartWorker(Worker* worker) {
    if (worker->Started) return;
    if (worker->Handle != nullptr) ResumeThread(worker->Handle);
    worker->Started = true;
}

void RequestWorkerStop() {
    if (StopRequested.exchange(true)) return;
    StopRequestedAt = GetTickCount();
    SetEvent(StopEvent());
}

bool WaitCancellingIo(HANDLE thread, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    for (;;) {
        CancelSynchronousIo(thread);
        const DWORD spent = GetTickCount() - start;
        const DWORD left = spent >= milliseconds ? 0 : milliseconds - spent;
        if (WaitForSingleObject(thread, left < CancelRepeatMs ? left : CancelRepeatMs) == WAIT_OBJECT_0) return true;
        if (left == 0) return false;
    }
}

bool DestroyWorker(Worker* worker) {
    if (worker->Handle != nullptr) {
        RequestWorkerStop();
        // A body resumed after the stop request returns before doing anything.
        if (!worker->Started) ResumeThread(worker->Handle);
        const DWORD since = GetTickCount() - StopRequestedAt;
        // A write into a pipe whose reader does not read would hold the body for good: the
        // cancel frees it, and the body then sees the stop request.
        worker->Finished = WaitCancellingIo(worker->Handle, since >= WorkerStopWaitMs ? 0 : WorkerStopWaitMs - since);
        // Stopping a thread by force could leave a lock held (the heap's, WinINet's) that the
        // rest of the shutdown takes. One that has not returned is left alone, record and all,
        // and the process exit ends it.
        if (!worker->Finished) return false;
        CloseHandle(worker->Handle);
    }
    delete worker;
    return true;
}

bool IsStopRequested() { return StopRequested.load(); }

bool PauseUnlessStopping(DWORD milliseconds) {
    return WaitForSingleObject(StopEvent(), milliseconds) == WAIT_OBJECT_0;
}

bool WaitUnlessStopping(HANDLE object, DWORD milliseconds, bool* abandoned) {
    // The stop event comes first: of two objects signalled together, the wait takes the first.
    const HANDLE objects[2] = {StopEvent(), object};
    const DWORD result = WaitForMultipleObjects(2, objects, FALSE, milliseconds);
    if (abandoned != nullptr) *abandoned = result == WAIT_ABANDONED_0 + 1;
    return result == WAIT_OBJECT_0 + 1 || result == WAIT_ABANDONED_0 + 1;
}

void ResetWorkerStop() {
    ResetEvent(StopEvent());
    StopRequested.store(false);
}
