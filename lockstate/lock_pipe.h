// The lock-state pipe: every 2 seconds "TRUE" or "FALSE", each with its NUL, as one message to the
// local USB-lock component.
#pragma once
#include <windows.h>

struct LockPipe {
    DWORD Length;
    HANDLE Handle;
    BOOL LastResult;
    DWORD Written;
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

// Creates the record and the pipe; null when the pipe cannot be created (after printing
// "fail to CreateNamedPipe(), %d"), and the caller ends the process.
LockPipe* CreateLockPipe();
// Thread body: one write, then a 2-second pause, until a stop is requested.
DWORD WINAPI PipePublisher(void* argument);
// One cycle's write, with the failure line; a pipe whose reader has gone is made anew.
void PublishOnce(LockPipe* pipe);
// Lets the reader take what was written (bounded), disconnects it and frees the record; a flush
// that cannot be ended leaves both to the process exit.
void ReleaseLockPipe(LockPipe* pipe);
// Pipe instances created and not yet closed, for leak checks.
long OpenPipeHandleCount();
