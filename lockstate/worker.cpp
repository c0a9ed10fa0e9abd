#include "lockstate/worker.h"

#include <new>

Worker* PollerWorker = nullptr;
Worker* PublisherWorker = nullptr;

namespace {

// One manual-reset event for both workers: shutdown stops them both.
HANDLE StopEvent() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

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

bool DestroyWorker(Worker* worker) {
    bool stoppedByItself = true;
    if (worker->Handle != nullptr) {
        SetEvent(StopEvent());
        // A thread that never ran holds nothing: ending it is safe.
        if (!worker->Started) TerminateThread(worker->Handle, 0);
        // A write into a pipe whose reader does not read would hold the body for good.
        CancelSynchronousIo(worker->Handle);
        worker->Finished = WaitForSingleObject(worker->Handle, WorkerStopWaitMs) == WAIT_OBJECT_0;
        if (!worker->Finished) {
            // Still inside a server request that cannot be interrupted: the last resort.
            TerminateThread(worker->Handle, 0);
            WaitForSingleObject(worker->Handle, WorkerStopWaitMs);
            stoppedByItself = false;
        }
        CloseHandle(worker->Handle);
    }
    delete worker;
    return stoppedByItself;
}

bool PauseUnlessStopping(DWORD milliseconds) {
    return WaitForSingleObject(StopEvent(), milliseconds) == WAIT_OBJECT_0;
}

void ResetWorkerStop() { ResetEvent(StopEvent()); }
