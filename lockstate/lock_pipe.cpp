#include "lockstate/lock_pipe.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "lockstate/permission.h"
#include "lockstate/pipe_role.h"
#include "lockstate/worker.h"
#include "log/agent_log.h"

LockPipe* TheLockPipe = nullptr;

namespace {

constexpr char GrantedMessage[] = "TRUE";    // sent with its NUL: 5 bytes
constexpr char RefusedMessage[] = "FALSE";   // 6 bytes
static_assert(sizeof GrantedMessage == 5 && sizeof RefusedMessage == 6, "the reader's message sizes");

std::atomic<long> OpenPipeHandles{0};

// `first`: this agent holds no instance yet. The first one must make the pipe, never join one that
// another program (or a previous agent that has not quite ended) still serves: Windows then
// refuses it with ERROR_ACCESS_DENIED, and the next cycle tries again. Wine ignores the flag; a
// pipe that allows no further instance refuses it there too.
HANDLE CreateLockPipeInstance(bool first) {
    // Message pipe, blocking; local readers only, so that no remote client can take the instance.
    HANDLE handle = CreateNamedPipeA(LockPipeName, PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                     PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) OpenPipeHandles.fetch_add(1, std::memory_order_relaxed);
    return handle;
}

void CloseLockPipeInstance(HANDLE handle) {
    CloseHandle(handle);
    OpenPipeHandles.fetch_sub(1, std::memory_order_relaxed);
}

// The reader closed its end: this instance can never take a reader again. A new instance is
// created before the old one is closed, so the name never disappears for a reader that retries.
void RenewInstance(LockPipe* pipe) {
    HANDLE fresh = CreateLockPipeInstance(false);
    if (fresh == INVALID_HANDLE_VALUE) return;  // keep the old one; the next cycle tries again
    CloseLockPipeInstance(pipe->Handle);
    pipe->Handle = fresh;
}

DWORD WINAPI FlushPipe(void* handle) {
    FlushFileBuffers(static_cast<HANDLE>(handle));
    return 0;
}

}  // namespace

long OpenPipeHandleCount() { return OpenPipeHandles.load(std::memory_order_relaxed); }

LockPipe* CreateLockPipe() {
    LockPipe* pipe = new (std::nothrow) LockPipe();
    if (pipe == nullptr) return nullptr;
    pipe->Handle = INVALID_HANDLE_VALUE;
    return pipe;
}

bool ServeLockPipe(LockPipe* pipe) {
    if (pipe->Handle != INVALID_HANDLE_VALUE) return true;
    pipe->Handle = CreateLockPipeInstance(true);
    if (pipe->Handle == INVALID_HANDLE_VALUE) {
        // The name is held by someone else: the relay waits for it rather than give up the whole
        // machine's, and says so once rather than every cycle.
        if (!pipe->RefusalSaid) SayRoleChange(RoleChange::PipeRefused, GetLastError());
        pipe->RefusalSaid = true;
        return false;
    }
    SayRoleChange(RoleChange::PipeCreated);
    return true;
}

void PublishOnce(LockPipe* pipe) {
    const bool granted = IsPermissionGranted();
    const char* message = granted ? GrantedMessage : RefusedMessage;
    pipe->Length = granted ? sizeof GrantedMessage : sizeof RefusedMessage;
    pipe->Written = 0;
    pipe->LastResult = WriteFile(pipe->Handle, message, pipe->Length, &pipe->Written, nullptr);
    if (pipe->LastResult && pipe->Written == pipe->Length) {
        if (!pipe->Reader) WriteLog(LogLevel::Info, "pipe", {{"what", "reader-connected"}});
        pipe->Reader = true;
        pipe->Failing = false;
        return;
    }
    const DWORD error = GetLastError();
    std::printf("fail to WriteFile, %d\n", static_cast<int>(error));
    std::fflush(stdout);
    if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
        if (pipe->Reader) WriteLog(LogLevel::Info, "pipe", {{"what", "reader-left"}});
        pipe->Reader = false;
        RenewInstance(pipe);
        return;
    }
    // No reader yet is the pipe waiting, not failing.
    if (error == ERROR_PIPE_LISTENING || pipe->Failing) return;
    pipe->Failing = true;
    const LogNumberText code = LogNumber(static_cast<long long>(error));
    WriteLog(LogLevel::Error, "pipe", {{"what", "write-failed"}, {"error", code.Text}});
}

DWORD WINAPI PipePublisher(void*) {
    while (!IsStopRequested()) {
        if (!HoldsPipeRole()) {
            // The cycle begins the moment the role comes, so that the pipe is served at once.
            WaitUnlessStopping(ThePipeRole->Taken, INFINITE);
            continue;
        }
        if (ServeLockPipe(TheLockPipe)) PublishOnce(TheLockPipe);
        PauseUnlessStopping(PublishIntervalMs);
    }
    return 0;
}

bool ReleaseLockPipe(LockPipe* pipe) {
    if (pipe->Handle == INVALID_HANDLE_VALUE) {
        delete pipe;
        return true;
    }
    // The flush waits until the reader has taken every message; a reader that does not read
    // would hold the shutdown for good, so the flush runs aside and is cancelled after a while.
    HANDLE flusher = CreateThread(nullptr, 0, FlushPipe, pipe->Handle, 0, nullptr);
    if (flusher != nullptr) {
        const bool flushed = WaitForSingleObject(flusher, PipeFlushWaitMs) == WAIT_OBJECT_0 ||
                             WaitCancellingIo(flusher, PipeFlushCancelWaitMs);
        CloseHandle(flusher);
        // A flush that will not end is left alone with the pipe and its record: the process exit
        // closes them.
        if (!flushed) return false;
    }
    DisconnectNamedPipe(pipe->Handle);
    CloseLockPipeInstance(pipe->Handle);
    delete pipe;
    return true;
}
