#include "lockstate/state_report.h"

#include <cstring>

namespace {

bool SameState(const RelayedState& a, const RelayedState& b) {
    return a.Granted == b.Granted && a.Failure == b.Failure && a.Status == b.Status &&
           std::strncmp(a.Cause, b.Cause, StateTextSize) == 0 && std::strncmp(a.Said, b.Said, StateTextSize) == 0;
}

}  // namespace

StateNews NoteState(StateReport& report, const RelayedState& now, unsigned long long nowMs) {
    StateNews news = {};
    const bool wasFailing = report.Known && report.Last.Failure;
    if (now.Failure) {
        if (!wasFailing) {
            report.FailingSinceMs = nowMs;
            report.FailedRequests = 0;
        }
        ++report.FailedRequests;
    } else if (wasFailing) {
        news.Recovered = true;
        news.FailedMs = nowMs - report.FailingSinceMs;
        news.FailedRequests = report.FailedRequests;
    }
    news.State = !report.Known || !SameState(report.Last, now);
    news.Reminder = !news.State && now.Failure && nowMs - report.LastLineMs >= StateReminderMs;
    if (news.Reminder) {
        news.FailedMs = nowMs - report.FailingSinceMs;
        news.FailedRequests = report.FailedRequests;
    }
    if (news.State || news.Reminder || news.Recovered) report.LastLineMs = nowMs;
    report.Known = true;
    report.Last = now;
    return news;
}
