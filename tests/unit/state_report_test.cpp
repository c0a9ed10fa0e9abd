// When the log speaks of the relayed state.
#include <gtest/gtest.h>

#include <cstring>

#include "lockstate/state_report.h"

namespace {

RelayedState Answer(const char* word) {
    RelayedState state = {};
    state.Granted = std::strcmp(word, "TRUE") == 0;
    std::strcpy(state.Cause, "answer");
    std::strcpy(state.Said, word);
    state.Status = 200;
    return state;
}

RelayedState Failure(const char* cause) {
    RelayedState state = {};
    state.Failure = true;
    std::strcpy(state.Cause, cause);
    return state;
}

constexpr unsigned long long Poll = 10000;

TEST(StateReport, SaysTheFirstWordAndEachChangeAndNothingWhileNothingChanges) {
    StateReport report = {};
    unsigned long long now = 5;
    EXPECT_TRUE(NoteState(report, Answer("TRUE"), now).State);
    for (int i = 0; i < 400; ++i) {  // more than an hour of the same answer
        const StateNews news = NoteState(report, Answer("TRUE"), now += Poll);
        EXPECT_FALSE(news.State || news.Reminder || news.Recovered) << i;
    }
    EXPECT_TRUE(NoteState(report, Answer("FALSE"), now += Poll).State);
    // The same word with another status is another state.
    RelayedState notFound = Answer("FALSE");
    notFound.Status = 404;
    EXPECT_TRUE(NoteState(report, notFound, now += Poll).State);
    // An answer that is not a failure never recovers anything.
    EXPECT_FALSE(NoteState(report, Answer("TRUE"), now += Poll).Recovered);
}

TEST(StateReport, AFailureIsSaidWhenItBeginsChangesEndsAndHourlyInBetween) {
    StateReport report = {};
    unsigned long long now = 0;
    NoteState(report, Answer("TRUE"), now);
    const unsigned long long began = now += Poll;
    EXPECT_TRUE(NoteState(report, Failure("refused"), began).State);
    StateNews news = NoteState(report, Failure("refused"), now += Poll);
    EXPECT_FALSE(news.State || news.Reminder);
    EXPECT_TRUE(NoteState(report, Failure("connect-timeout"), now += Poll).State);
    int reminders = 0;
    const unsigned long long changed = now;
    while (now < changed + 2 * StateReminderMs + Poll / 2) {
        news = NoteState(report, Failure("connect-timeout"), now += Poll);
        EXPECT_FALSE(news.State);
        if (news.Reminder) {
            ++reminders;
            EXPECT_EQ(news.FailedMs, now - began);  // the failures began before their cause changed
        }
    }
    EXPECT_EQ(reminders, 2);
    const unsigned long requests = 3 + static_cast<unsigned long>((now - changed) / Poll);
    news = NoteState(report, Answer("TRUE"), now += Poll);
    EXPECT_TRUE(news.State && news.Recovered);
    EXPECT_EQ(news.FailedMs, now - began);
    EXPECT_EQ(news.FailedRequests, requests);
    // A new failure counts from its own beginning.
    NoteState(report, Failure("deadline"), now += Poll);
    news = NoteState(report, Answer("FALSE"), now += Poll);
    EXPECT_TRUE(news.Recovered);
    EXPECT_EQ(news.FailedMs, Poll);
    EXPECT_EQ(news.FailedRequests, 1u);
}

}  // namespace
