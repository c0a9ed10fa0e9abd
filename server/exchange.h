// One request's exchange with the server, as either HTTP layer makes it: WinINet for a plain
// address, WinHTTP over TLS. Shared by the two translation units that make it and by the request
// machinery around them, and by nothing else.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>

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
};

// Over WinINet (server_link.cpp) and over WinHTTP (secure_exchange.cpp).
void ExchangeInTheClear(Exchange& x);
void ExchangeSecurely(Exchange& x);

// What is left of a bound counted from `start` (tick counts), 0 once it has passed.
inline DWORD TimeLeft(DWORD start, DWORD bound) {
    const DWORD spent = GetTickCount() - start;
    return spent >= bound ? 0 : bound - spent;
}

constexpr DWORD MaxAnswerBytes = 64 * 1024;

// Appends a response body to the answer as text (bytes behind a zero byte in a chunk are dropped)
// through the layer's `available(DWORD&)` and `read(char*, DWORD, DWORD&)`. True when the body
// ended in time with `total` bytes and no longer than any answer; false when it is not one whole
// short answer: a failed read, still arriving at the deadline, or longer than any answer, which
// must not cost the agent its memory. Whether `total` is what the response announced is for the
// caller to check.
template <typename Available, typename Read>
bool ReadWholeBody(Available available, Read read, std::string& answer, DWORD& total, DWORD start) {
    total = 0;
    for (;;) {
        DWORD ready = 0;
        if (!available(ready)) return false;
        if (ready > MaxAnswerBytes) ready = MaxAnswerBytes;
        std::string chunk(ready, '\0');
        DWORD got = 0;
        if (!read(chunk.data(), ready, got)) return false;
        if (got == 0) return true;
        total += got;
        if (total > MaxAnswerBytes || TimeLeft(start, RequestDeadlineMs) == 0) return false;
        answer.append(chunk.data(), strnlen(chunk.data(), got));
    }
}
