// One request's exchange with the server, as either HTTP layer makes it: WinINet for a plain
// address, WinHTTP over TLS. Shared by the two translation units that make it and by the request
// machinery around them, and by nothing else.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>

#include "server/exchange_cause.h"
#include "server/form_text.h"
#include "server/host_text.h"
#include "server/server_link.h"

struct Exchange {
    ServerLink* Link;  // referenced until the exchange is over
    DWORD Start;       // tick count: the deadline is counted from here
    HANDLE Connected;  // set by the layer's status callback once the server took the connection
    char ObjectName[ObjectNameSize];
    char Body[FormBodySize];
    std::string Answer;  // left empty unless a whole answer came in time
    Outcome Result;      // why there is an answer, or none
    DWORD TlsFaults;     // what WinHTTP's status callback said of a refused certificate
};

// The status callbacks' context: the exchange itself.
inline Exchange* ExchangeOf(DWORD_PTR context) { return reinterpret_cast<Exchange*>(context); }

// Over WinINet (server_link.cpp) and over WinHTTP (secure_exchange.cpp).
void ExchangeInTheClear(Exchange& x);
void ExchangeSecurely(Exchange& x);

// What is left of a bound counted from `start` (tick counts), 0 once it has passed.
inline DWORD TimeLeft(DWORD start, DWORD bound) {
    const DWORD spent = GetTickCount() - start;
    return spent >= bound ? 0 : bound - spent;
}

constexpr DWORD MaxAnswerBytes = 64 * 1024;

// How reading a response body ended.
enum class BodyEnd {
    Whole,   // to its end, in time, no longer than any answer
    Failed,  // a read failed (a connection that dropped, a receive time-out)
    Late,    // still arriving at the deadline
    TooLong, // longer than any answer, which must not cost the agent its memory
};

// Appends a response body to the answer as text (bytes behind a zero byte in a chunk are dropped)
// through the layer's `available(DWORD&)` and `read(char*, DWORD, DWORD&)`, counting its bytes in
// `total`. Whether `total` is what the response announced is for the caller to check.
template <typename Available, typename Read>
BodyEnd ReadWholeBody(Available available, Read read, std::string& answer, DWORD& total, DWORD start) {
    total = 0;
    for (;;) {
        DWORD ready = 0;
        if (!available(ready)) return BodyEnd::Failed;
        if (ready > MaxAnswerBytes) ready = MaxAnswerBytes;
        std::string chunk(ready, '\0');
        DWORD got = 0;
        if (!read(chunk.data(), ready, got)) return BodyEnd::Failed;
        if (got == 0) return BodyEnd::Whole;
        total += got;
        if (total > MaxAnswerBytes) return BodyEnd::TooLong;
        if (TimeLeft(start, RequestDeadlineMs) == 0) return BodyEnd::Late;
        answer.append(chunk.data(), strnlen(chunk.data(), got));
    }
}

// The outcome of a body that was read: an answer only when it is whole and as long as announced
// (its first bytes may spell a word, "TRUE" of a longer text, that the server never said).
inline Outcome OutcomeOfBody(BodyEnd end, DWORD total, bool asAnnounced, DWORD error, unsigned long status) {
    switch (end) {
    case BodyEnd::Whole: return asAnnounced ? Outcome{Cause::Answer, 0, status} : Outcome{Cause::CutShort, 0, status};
    case BodyEnd::Late: return {Cause::Deadline, 0, status};
    case BodyEnd::TooLong: return {Cause::TooLong, 0, status};
    case BodyEnd::Failed: break;
    }
    if (error == 12002) return {Cause::Deadline, error, status};  // a receive time-out
    return {total == 0 ? Cause::Reset : Cause::CutShort, error, status};
}
