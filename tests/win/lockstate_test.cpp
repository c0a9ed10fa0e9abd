// Workers, the permission poller and the lock-state pipe, with a real pipe and a reader in the
// same process.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "app/settings.h"
#include "lockstate/lock_pipe.h"
#include "lockstate/permission.h"
#include "lockstate/pipe_role.h"
#include "lockstate/worker.h"

namespace {

const std::string Granted("TRUE\0", 5);
const std::string Refused("FALSE\0", 6);
constexpr DWORD Patience = 10000;  // for what must happen at all, never for speed

HANDLE OpenReader() {
    HANDLE reader = CreateFileA(LockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (reader != INVALID_HANDLE_VALUE) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(reader, &mode, nullptr, nullptr);
    }
    return reader;
}

// One read as the USB-lock component makes it; the text is empty when the read failed.
std::string ReadMessage(HANDLE reader, DWORD* error = nullptr) {
    char buffer[16];
    DWORD read = 0;
    if (!ReadFile(reader, buffer, sizeof buffer, &read, nullptr)) {
        if (error != nullptr) *error = GetLastError();
        return std::string();
    }
    return std::string(buffer, read);
}

DWORD QueuedBytes(HANDLE reader) {
    DWORD total = 0;
    PeekNamedPipe(reader, nullptr, 0, nullptr, &total, nullptr);
    return total;
}

template <typename Condition>
bool WaitUntil(Condition condition) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > Patience) return false;
        Sleep(1);
    }
    return true;
}

void Publish(bool granted) {
    StorePermission(granted);
    PublishOnce(TheLockPipe);
}

class LockState : public ::testing::Test {
protected:
    void SetUp() override {
        ResetWorkerStop();
        StorePermission(false);
        TheLockPipe = CreateLockPipe();
        ASSERT_NE(TheLockPipe, nullptr);
        ASSERT_TRUE(ServeLockPipe(TheLockPipe));
    }
    void TearDown() override {
        for (HANDLE reader : readers_) CloseHandle(reader);
        if (TheLockPipe != nullptr) ReleaseLockPipe(TheLockPipe);
        TheLockPipe = nullptr;
        EXPECT_EQ(OpenPipeHandleCount(), 0);
    }
    HANDLE Reader() {
        HANDLE reader = OpenReader();
        if (reader != INVALID_HANDLE_VALUE) readers_.push_back(reader);
        return reader;
    }
    void Forget(HANDLE reader) {
        CloseHandle(reader);
        readers_.erase(std::find(readers_.begin(), readers_.end(), reader));
    }

private:
    std::vector<HANDLE> readers_;
};

std::atomic<int> BodyRuns{0};
HANDLE BodyRunning = CreateEventA(nullptr, TRUE, FALSE, nullptr);

// Shaped like the agent's bodies: each round of work only while no stop has been requested.
DWORD WINAPI WaitingBody(void*) {
    while (!IsStopRequested()) {
        BodyRuns.fetch_add(1);
        SetEvent(BodyRunning);
        PauseUnlessStopping(INFINITE);
    }
    return 0;
}

// A body stuck where no stop request or cancel reaches it, until the test lets it go.
HANDLE LetStuckBodyGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
DWORD WINAPI StuckBody(void*) {
    SetEvent(BodyRunning);
    WaitForSingleObject(LetStuckBodyGo, INFINITE);
    return 0;
}

// Writes without pausing, so that a reader that does not read fills the pipe at once.
DWORD WINAPI FloodingBody(void*) {
    do {
        PublishOnce(TheLockPipe);
    } while (!PauseUnlessStopping(0));
    return 0;
}

TEST(Worker, RunsOnlyOnceStartedAndIsNeverResumedTwice) {
    ResetWorkerStop();
    BodyRuns = 0;
    ResetEvent(BodyRunning);

    Worker* idle = CreateWorker(WaitingBody, nullptr);
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(SuspendThread(idle->Handle), 1u);  // created suspended: the count was already 1
    ResumeThread(idle->Handle);
    EXPECT_TRUE(DestroyWorker(idle));
    EXPECT_EQ(BodyRuns.load(), 0);  // destroyed before it was started: no round of work ran

    ResetWorkerStop();
    Worker* worker = CreateWorker(WaitingBody, nullptr);
    StartWorker(worker);
    ASSERT_EQ(WaitForSingleObject(BodyRunning, Patience), WAIT_OBJECT_0);
    // Suspended from outside: a second start must not be what resumes it.
    EXPECT_EQ(SuspendThread(worker->Handle), 0u);
    StartWorker(worker);
    EXPECT_EQ(ResumeThread(worker->Handle), 1u);
    EXPECT_TRUE(DestroyWorker(worker));
    EXPECT_EQ(BodyRuns.load(), 1);
}

TEST(Worker, OneThatDoesNotReturnIsLeftAloneNotStoppedByForce) {
    ResetWorkerStop();
    ResetEvent(BodyRunning);
    ResetEvent(LetStuckBodyGo);
    Worker* worker = CreateWorker(StuckBody, nullptr);
    StartWorker(worker);
    ASSERT_EQ(WaitForSingleObject(BodyRunning, Patience), WAIT_OBJECT_0);

    EXPECT_FALSE(DestroyWorker(worker));
    // Still running where it was, with its record and handle: nothing it holds was torn away.
    EXPECT_EQ(WaitForSingleObject(worker->Handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(LetStuckBodyGo);
    EXPECT_EQ(WaitForSingleObject(worker->Handle, Patience), WAIT_OBJECT_0);
    CloseHandle(worker->Handle);
    delete worker;
}

// Shutdown asks every worker to stop before the pipe is closed; the role must outlast that
// request, or the next holder meets this agent's still open instance. A keeper still waiting for
// the role ends at the stop without taking it.
TEST(PipeRole, OutlastsTheStopRequestAndGoesOnlyWhenGivenUp) {
    ResetWorkerStop();
    PipeRole* held = CreatePipeRole();
    Worker* keeper = CreateWorker(RoleKeeper, held);
    StartWorker(keeper);
    ASSERT_TRUE(AwaitFirstRoleAttempt(held));
    PipeRole* waiting = CreatePipeRole();
    Worker* waiter = CreateWorker(RoleKeeper, waiting);
    StartWorker(waiter);
    EXPECT_FALSE(AwaitFirstRoleAttempt(waiting));

    HANDLE role = OpenMutexA(SYNCHRONIZE, FALSE, PipeRoleName);
    ASSERT_NE(role, nullptr) << GetLastError();
    RequestWorkerStop();
    EXPECT_TRUE(DestroyWorker(waiter));
    EXPECT_FALSE(waiting->Held.load());
    EXPECT_EQ(WaitForSingleObject(role, 200), static_cast<DWORD>(WAIT_TIMEOUT));  // still the keeper's
    EXPECT_TRUE(held->Held.load());

    GiveUpRole(held);
    EXPECT_TRUE(DestroyWorker(keeper));
    EXPECT_EQ(WaitForSingleObject(role, Patience), WAIT_OBJECT_0);  // released, not abandoned
    ReleaseMutex(role);
    CloseHandle(role);
    ReleasePipeRole(held);
    ReleasePipeRole(waiting);
    ResetWorkerStop();
}

TEST_F(LockState, BothBodiesStopAtOnceDuringTheirPause) {
    Settings settings = {};
    lstrcpyA(settings.TerminalAddress, "00-1A-2B-3C-4D-5E");
    TheSettings = &settings;
    PipeRole role = {};
    role.Held = true;
    ThePipeRole = &role;
    // No server link: the poll answers "not permitted" at once, then the 10-second pause begins.
    StorePermission(true);
    PollerWorker = CreateWorker(PermissionPoller, nullptr);
    PublisherWorker = CreateWorker(PipePublisher, nullptr);
    StartWorker(PollerWorker);
    HANDLE reader = Reader();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    StartWorker(PublisherWorker);
    ASSERT_TRUE(WaitUntil([] { return !IsPermissionGranted(); }));
    EXPECT_FALSE(ReadMessage(reader).empty());  // the publisher wrote, and pauses for 2 s now

    const DWORD start = GetTickCount();
    EXPECT_TRUE(DestroyWorker(PollerWorker));
    EXPECT_TRUE(DestroyWorker(PublisherWorker));
    const DWORD spent = GetTickCount() - start;
    PollerWorker = PublisherWorker = nullptr;
    TheSettings = nullptr;
    ThePipeRole = nullptr;
    // Neither pause was waited out, and neither thread needed the forced stop.
    EXPECT_LT(spent, WorkerStopWaitMs) << spent << " ms";
}

TEST_F(LockState, DestroyFreesABodyBlockedInAPipeWriteWithoutAPartialMessage) {
    HANDLE reader = Reader();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    Worker* worker = CreateWorker(FloodingBody, nullptr);
    StartWorker(worker);
    // 170 messages of 6 bytes fill the 1024-byte buffer; the next write blocks.
    ASSERT_TRUE(WaitUntil([&] { return QueuedBytes(reader) >= 170 * Refused.size(); })) << QueuedBytes(reader);

    const DWORD start = GetTickCount();
    EXPECT_TRUE(DestroyWorker(worker));  // the body returned by itself, not by force
    EXPECT_LT(GetTickCount() - start, WorkerStopWaitMs);
    EXPECT_EQ(QueuedBytes(reader), 170 * Refused.size());
    EXPECT_EQ(ReadMessage(reader), Refused);
}

TEST_F(LockState, EveryWriteIsOneWholeMessageWithItsNul) {
    DWORD flags = 0, out = 0, in = 0, instances = 0;
    ASSERT_TRUE(GetNamedPipeInfo(TheLockPipe->Handle, &flags, &out, &in, &instances));
    EXPECT_EQ(flags, static_cast<DWORD>(PIPE_SERVER_END | PIPE_TYPE_MESSAGE));
    EXPECT_EQ(out, 1024u);

    Publish(true);  // no reader yet
    EXPECT_FALSE(TheLockPipe->LastResult);

    HANDLE reader = Reader();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenReader(), INVALID_HANDLE_VALUE);  // one instance: a second reader is turned away
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

    Publish(true);
    EXPECT_TRUE(TheLockPipe->LastResult);
    EXPECT_EQ(TheLockPipe->Written, 5u);
    Publish(false);
    Publish(false);
    Publish(true);
    // Queued writes are never merged, and come out oldest first.
    EXPECT_EQ(ReadMessage(reader), Granted);
    EXPECT_EQ(ReadMessage(reader), Refused);
    EXPECT_EQ(ReadMessage(reader), Refused);
    char small[3];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(reader, small, sizeof small, &read, nullptr));  // message mode: the rest waits
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(std::string(small, read), "TRU");
}

TEST_F(LockState, ANewReaderIsServedAfterTheFirstHasGone) {
    HANDLE first = Reader();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    Publish(true);
    EXPECT_EQ(ReadMessage(first), Granted);
    Forget(first);

    Publish(true);  // finds the reader gone
    EXPECT_FALSE(TheLockPipe->LastResult);
    Publish(true);  // no reader yet: fails, and makes no further instance
    EXPECT_FALSE(TheLockPipe->LastResult);
    EXPECT_EQ(OpenPipeHandleCount(), 1);

    HANDLE second = Reader();
    ASSERT_NE(second, INVALID_HANDLE_VALUE) << GetLastError();
    Publish(false);
    EXPECT_TRUE(TheLockPipe->LastResult);
    EXPECT_EQ(ReadMessage(second), Refused);
    EXPECT_EQ(OpenPipeHandleCount(), 1);
}

struct SlowReader {
    HANDLE Pipe;
    std::vector<std::string> Got;
};

DWORD WINAPI ReadThreeLate(void* argument) {
    SlowReader* reader = static_cast<SlowReader*>(argument);
    Sleep(100);  // a reader that comes to its messages only once the shutdown has begun
    for (int i = 0; i < 3; ++i) reader->Got.push_back(ReadMessage(reader->Pipe));
    return 0;
}

TEST_F(LockState, ReleaseWaitsForAReaderThatReadsButNotForOneThatDoesNot) {
    SlowReader slow = {Reader(), {}};
    ASSERT_NE(slow.Pipe, INVALID_HANDLE_VALUE);
    Publish(true);
    Publish(false);
    Publish(true);
    HANDLE thread = CreateThread(nullptr, 0, ReadThreeLate, &slow, 0, nullptr);
    ReleaseLockPipe(TheLockPipe);
    TheLockPipe = nullptr;
    ASSERT_EQ(WaitForSingleObject(thread, Patience), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(slow.Got, (std::vector<std::string>{Granted, Refused, Granted}));

    // A reader that never reads: the release gives up after its bound and disconnects it.
    TheLockPipe = CreateLockPipe();
    ASSERT_NE(TheLockPipe, nullptr);
    ASSERT_TRUE(ServeLockPipe(TheLockPipe));
    HANDLE idle = Reader();
    ASSERT_NE(idle, INVALID_HANDLE_VALUE);
    Publish(true);
    Publish(true);
    const DWORD start = GetTickCount();
    ReleaseLockPipe(TheLockPipe);
    TheLockPipe = nullptr;
    const DWORD spent = GetTickCount() - start;
    EXPECT_GE(spent + 50, PipeFlushWaitMs) << "gave up without waiting";
    EXPECT_LT(spent, 2 * PipeFlushWaitMs) << spent << " ms";
    DWORD error = 0;
    EXPECT_EQ(ReadMessage(idle, &error), "");  // disconnected: the unread messages are gone
    EXPECT_NE(error, 0u);
}

}  // namespace
