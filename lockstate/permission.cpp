#include "lockstate/permission.h"

#include <cstdio>
#include <cstring>

#include "lockstate/state_report.h"
#include "lockstate/worker.h"
#include "log/agent_log.h"
#include "resources/resource.h"
#include "server/queries.h"
#include "tray/tray_state.h"
#include "tray/tray_window.h"

std::atomic<std::int32_t> PermissionGranted{0};
static_assert(std::atomic<std::int32_t>::is_always_lock_free, "one aligned 32-bit word");

namespace {

// The poller and the UI thread both store answers: the record, and the order of the lines about
// it, are one thread's at a time.
SRWLOCK ReportLock = SRWLOCK_INIT;
StateReport Report = {};
// What the tray shows, packed so that the UI thread reads it whole and never takes the lock.
std::atomic<std::uint64_t> ShownStateWord{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "read and written whole, without a lock");

RelayedState StateOf(const PermissionAnswer& answer) {
    RelayedState state = {};
    state.Granted = answer.Granted;
    state.Failure = answer.Why.Why != Cause::Answer;
    std::snprintf(state.Cause, sizeof state.Cause, "%s", TokenOf(answer.Why).Text);
    if (!state.Failure) {
        std::snprintf(state.Said, sizeof state.Said, "%s", answer.Said);
        state.Status = answer.Why.Status;
    }
    return state;
}

void SayState(const PermissionAnswer& answer, const RelayedState& state, const StateNews& news) {
    const char* word = state.Granted ? "TRUE" : "FALSE";
    const LogNumberText status = LogNumber(static_cast<long long>(state.Status));
    const LogNumberText seconds = LogNumber(static_cast<long long>(news.FailedMs / 1000));
    const LogNumberText requests = LogNumber(static_cast<long long>(news.FailedRequests));
    if (news.Recovered) {
        WriteLog(LogLevel::Info, "recovered", {{"pipe", word}, {"failed-seconds", seconds.Text},
                                                {"failed-requests", requests.Text}},
                 EventLogId::Recovered);
    }
    if (!news.State && !news.Reminder) return;
    const EventLogId also = news.State ? EventLogId::State : EventLogId::None;
    if (!state.Failure) {
        // The server's own word; a status other than 200 is said beside it.
        if (state.Status == 200) {
            WriteLog(LogLevel::Info, "state", {{"pipe", word}, {"cause", state.Cause}, {"said", state.Said, 32}}, also);
        } else {
            WriteLog(LogLevel::Info, "state",
                     {{"pipe", word}, {"cause", state.Cause}, {"said", state.Said, 32}, {"status", status.Text}}, also);
        }
        return;
    }
    // The layer's name of its error, where the cause has one (the bounds and the trust check are
    // the agent's own).
    const char* name = answer.Why.Error == 0 ? "" : ErrorName(answer.Why.Error, answer.Secure);
    if (news.Reminder) {
        WriteLog(LogLevel::Warn, "state", {{"pipe", word}, {"cause", state.Cause}, {"failing-seconds", seconds.Text},
                                           {"failed-requests", requests.Text}});
    } else if (name[0] != 0) {
        WriteLog(LogLevel::Warn, "state", {{"pipe", word}, {"cause", state.Cause}, {"error", name}}, also);
    } else {
        WriteLog(LogLevel::Warn, "state", {{"pipe", word}, {"cause", state.Cause}}, also);
    }
}

}  // namespace

void RelayPermission(const PermissionAnswer& answer) {
    const RelayedState state = StateOf(answer);
    // The flag is stored with its line, so that the last line about it is about its value.
    AcquireSRWLockExclusive(&ReportLock);
    StorePermission(answer.Granted);
    const StateNews news = NoteState(Report, state, GetTickCount64());
    SayState(answer, state, news);
    // Under the lock, so that the tray's last news is of the last state stored. Before the tray
    // window exists nothing is posted: its icon begins with the state stored by then. The store
    // comes before the window is looked up (sequentially consistent), so a state is either posted
    // or there when the icon is added.
    ShownStateWord.store(PackTrayState({true, answer.Granted, answer.Why}));
    if (news.State) PostToTrayWindow(WM_TRAY_STATE);
    ReleaseSRWLockExclusive(&ReportLock);
}

TrayState LatestRelayedState() { return UnpackTrayState(ShownStateWord.load()); }

DWORD WINAPI PermissionPoller(void*) {
    while (!IsStopRequested()) {
        RelayPermission(LoadPermission());
        PauseUnlessStopping(PollIntervalMs);
    }
    return 0;
}
