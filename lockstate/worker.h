// A background thread owned by a record: created suspended, started once, and stopped at
// shutdown by a stop request; never by force.
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
extern Worker* RoleWorker;  // the keeper of the pipe's role (lockstate/pipe_role.h)
extern Worker* PolicyWorker;  // the watcher of the machine's policy (app/machine_policy.h)

// How long after the stop request a body may take to return before DestroyWorker leaves it
// alone. Counted from the request, not from each DestroyWorker call, so that the grace of one
// worker overlaps whatever shutdown does in the meantime.
constexpr DWORD WorkerStopWaitMs = 400;

Worker* CreateWorker(LPTHREAD_START_ROUTINE entry, void* argument);
void StartWorker(Worker* worker);
// Asks every worker body to stop at its next pause (once; later calls keep the first time).
void RequestWorkerStop();
// Requests the stop, frees a blocked synchronous write of this worker and waits for its body to
// return until the grace has run out; then closes the handle and frees the record. Returns false,
// leaving the record and its thread alone, when the body has not returned by then.
bool DestroyWorker(Worker* worker);

// Whether shutdown has asked the workers to stop; a body checks it before each round of work.
bool IsStopRequested();
// The pause of a worker body: true when a stop was requested, at once or during the pause.
bool PauseUnlessStopping(DWORD milliseconds);
// Waits up to `milliseconds` for `object` as a body pauses: true when it was signalled, false when
// the time ran out or a stop was requested (the stop wins when both come together). For a mutex,
// true means this thread now owns it, and `abandoned` says that its last owner ended holding it.
bool WaitUnlessStopping(HANDLE object, DWORD milliseconds, bool* abandoned = nullptr);
// Clears a stop request, so that workers can run again (tests run several lifetimes).
void ResetWorkerStop();

// Waits up to `milliseconds` for `thread` to end, cancelling its synchronous I/O all along: a
// call it enters after one cancel is caught by the next. True when the thread ended.
bool WaitCancellingIo(HANDLE thread, DWORD milliseconds);
