// When the log speaks of the relayed state: at the first word, at every change of the word or of
// its cause, once an hour while a failure goes on unchanged, and when the first answer after
// failures ends them. While nothing changes, nothing is said. Portable: no Windows call, so it is
// unit-tested natively.
#pragma once
#include <cstddef>

constexpr unsigned long long StateReminderMs = 60ull * 60 * 1000;
constexpr std::size_t StateTextSize = 40;

// One stored answer as the log tells it.
struct RelayedState {
    bool Granted;
    bool Failure;                  // no answer at all, for the reason Cause names
    char Cause[StateTextSize];     // the cause's token
    char Said[StateTextSize];      // the server's word, when it gave one
    unsigned long Status;          // the response's status, when it gave one
};

// The record behind the reports; one per process, zero to begin with.
struct StateReport {
    bool Known;
    RelayedState Last;
    unsigned long long FailingSinceMs;  // when the failures that go on began
    unsigned long FailedRequests;       // how many answers they have cost so far
    unsigned long long LastLineMs;
};

// What to say about one more stored answer, taken `nowMs` (a monotonic clock).
struct StateNews {
    bool State;     // a `state` line: the first, or a change
    bool Reminder;  // the same failure, an hour after the last line about it
    bool Recovered; // an answer that ends failures: how long they lasted and how many requests
    unsigned long long FailedMs;
    unsigned long FailedRequests;
};

StateNews NoteState(StateReport& report, const RelayedState& now, unsigned long long nowMs);
