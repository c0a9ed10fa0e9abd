// The lock-state pipe: every 2 seconds "TRUE" or "FALSE", each with its NUL, as one message to the
// local USB-lock component. Only the agent that holds the pipe's role (lockstate/pipe_role.h)
// makes an instance of it.
#pragma once
#include <windows.h>

struct LockPipe {
    DWORD Length;
    HANDLE Handle;
    BOOL LastResult;
    DWORD Written;
    bool RefusalSaid;  // the failure to create the pipe was printed; it is not repeated
    bool Reader;       // a reader takes the messages (as far as the last write knows)
    bool Failing;      // writes fail for another reason; said when it begins, not every cycle
};

extern LockPipe* TheLockPipe;

constexpr char LockPipeName[] = "\\\\.\\Pipe\\Tembrix";
constexpr DWORD PublishIntervalMs = 2000;
// How long shutdown lets a connected reader take the messages still queued. A reader that reads
// at all drains the 1024-byte buffer in far less; one that does not would otherwise hold the
// shutdown for good. Short enough that the whole shutdown stays within half a second.
constexpr DWORD PipeFlushWaitMs = 300;
// How long a cancelled flush may take to return before it is left alone.
constexpr DWORD PipeFlushCancelWaitMs = 100;

// Creates the record, without a pipe instance yet; null only when memory runs out.
LockPipe* CreateLockPipe();
// Makes the pipe's first instance unless there is one: true when the pipe is served. A failure
// prints "fail to CreateNamedPipe(), %d" the first time only; the next call tries again.
bool ServeLockPipe(LockPipe* pipe);
// Thread body: while this agent holds the role, one write, then a 2-second pause; until a stop
// is requested. Without the role it waits for it, and neither creates nor writes anything.
DWORD WINAPI PipePublisher(void* argument);
// One cycle's write into a served pipe, with the failure line; a pipe whose reader has gone is
// made anew.
void PublishOnce(LockPipe* pipe);
// Lets the reader take what was written (bounded), disconnects it, closes the instance and frees
// the record: true. A flush that cannot be ended leaves both to the process exit: false.
bool ReleaseLockPipe(LockPipe* pipe);
// Pipe instances created and not yet closed, for leak checks.
long OpenPipeHandleCount();
