// A background thread owned by a record: created suspended, started once, and stopped at
// shutdown by a stop request, with forced termination only as the last resort.
#pragma once
#include <windows.h>

struct Worker {
    bool Started;
    bool Finished;  // the body has returned (seen by DestroyWorker)
    HANDLE Handle;
    LPTHREAD_START_ROUTINE Entry;
    void* Argument;
};

extern Worker* PollerWorker;
extern Worker* PublisherWorker;

// How long DestroyWorker waits for a body to notice the stop request before it forces the stop.
constexpr DWORD WorkerStopWaitMs = 400;

Worker* CreateWorker(LPTHREAD_START_ROUTINE entry, void* argument);
void StartWorker(Worker* worker);
// Asks every worker to stop, frees a blocked synchronous write of this one, waits a bounded time
// for its body to return and only then terminates it; closes the handle and frees the record.
// Returns false when the thread had to be terminated.
bool DestroyWorker(Worker* worker);

// The pause of a worker body: true when a stop was requested, at once or during the pause.
bool PauseUnlessStopping(DWORD milliseconds);
// Clears a stop request, so that workers can run again (tests run several lifetimes).
void ResetWorkerStop();
