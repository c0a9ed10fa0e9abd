#include "server/server_link.h"

#include <wininet.h>

#include <atomic>
#include <cstring>
#include <new>

#include "server/exchange.h"
#include "server/form_text.h"
#include "server/secure_exchange.h"

namespace {

constexpr char UserAgent[] = "CalderwynHTTPRequest";
// The header text is sent with its trailing "; " and without a line end: the length is 49.
constexpr char FormHeader[] = "Content-Type: application/x-www-form-urlencoded; ";
static_assert(sizeof FormHeader - 1 == 49, "the header length the server has always seen");
constexpr DWORD RequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                               INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTO_REDIRECT |
                               INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                               INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_NO_UI;
static_assert(RequestFlags == 0x8468C200, "request flags");
// Requests whose callers gave up may still wait on a server that drops packets, for as long as
// TCP tries to connect. Beyond this many on their way, a new request fails at once rather than
// add a thread.
constexpr long MaxRequestsOnTheirWay = 16;

SRWLOCK SlotLock = SRWLOCK_INIT;
ServerLink* CurrentServerLink = nullptr;
std::atomic<long> OpenHandles{0};
std::atomic<long> RequestsOnTheirWay{0};

// One request, shared by its caller and the thread that makes the exchange; whichever lets go
// last frees it. The caller reads the answer only once Done is set.
struct Request {
    std::atomic<long> Holders;
    HANDLE Done;
    Exchange X;
};

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

HANDLE AbandonedEvent() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

HINTERNET Counted(HINTERNET handle) {
    if (handle != nullptr) OpenHandles.fetch_add(1, std::memory_order_relaxed);
    return handle;
}

void CloseCounted(HINTERNET handle) {
    if (handle == nullptr) return;
    InternetCloseHandle(handle);
    OpenHandles.fetch_sub(1, std::memory_order_relaxed);
}

void SetTimeout(HINTERNET request, DWORD option, DWORD milliseconds) {
    InternetSetOptionA(request, option, &milliseconds, sizeof milliseconds);
}

// WinINet reports the steps of an exchange here, on the thread making it; a request's context
// is its exchange. Either status means the connection is made: the connect bound is met.
void CALLBACK ReportStatus(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
    if (status != INTERNET_STATUS_CONNECTED_TO_SERVER && status != INTERNET_STATUS_SENDING_REQUEST) return;
    if (context != 0) SetEvent(ExchangeOf(context)->Connected);
}

DWORD QueryNumber(HINTERNET request, DWORD header, bool& present) {
    DWORD value = 0;
    DWORD size = sizeof value;
    present = HttpQueryInfoA(request, header | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr) != FALSE;
    return value;
}

// False when the response announced a Content-Length and the body read differs from it.
bool HasAnnouncedLength(HINTERNET request, DWORD bodyLength) {
    bool announced = false;
    const DWORD length = QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH, announced);
    return !announced || length == bodyLength;  // none: chunked, or read until the connection closes
}

}  // namespace

// Certificate faults cannot reach this layer: a secure link's exchanges are WinHTTP's.
void ExchangeInTheClear(Exchange& x) {
    HINTERNET request = Counted(HttpOpenRequestA(x.Link->Connection, "POST", x.ObjectName, nullptr, nullptr,
                                                 nullptr, RequestFlags, reinterpret_cast<DWORD_PTR>(&x)));
    if (request == nullptr) {
        const DWORD error = GetLastError();
        x.Result = {CauseOfError(error, false), error, 0};
        return;
    }
    // Each call is bounded too, so that a request whose caller has gone ends by itself. Wine
    // ignores the connect bound; Windows honours it.
    SetTimeout(request, INTERNET_OPTION_CONNECT_TIMEOUT, ConnectDeadlineMs);
    SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, RequestDeadlineMs);
    SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, RequestDeadlineMs);
    const DWORD bodyLength = static_cast<DWORD>(std::strlen(x.Body));
    if (!HttpSendRequestA(request, FormHeader, sizeof FormHeader - 1, x.Body, bodyLength)) {
        const DWORD error = GetLastError();
        x.Result = {CauseOfError(error, false), error, 0};
    } else {
        bool answered = false;
        const DWORD status = QueryNumber(request, HTTP_QUERY_STATUS_CODE, answered);
        DWORD total = 0;
        const BodyEnd end = ReadWholeBody(
            [&](DWORD& ready) { return InternetQueryDataAvailable(request, &ready, 0, 0) != FALSE; },
            [&](char* buffer, DWORD size, DWORD& got) { return InternetReadFile(request, buffer, size, &got) != FALSE; },
            x.Answer, total, x.Start);
        x.Result = OutcomeOfBody(end, total, HasAnnouncedLength(request, total), GetLastError(), status);
        // A server that closes without answering gives WinINet a response without a status.
        if (!answered || status == 0) x.Result = {Cause::Reset, 0, 0};
        if (x.Result.Why != Cause::Answer) x.Answer.clear();
        x.Answer.erase(0, ByteOrderMarkLength(x.Answer));
    }
    CloseCounted(request);
}

namespace {

// The exchange itself, by the link's own layer. The answer stays empty unless a whole one came in
// time (and, over TLS, from a server the machine trusts).
void MakeExchange(Exchange& x) {
    if (x.Link->Secure) {
        ExchangeSecurely(x);
    } else {
        ExchangeInTheClear(x);
    }
}

void LetGo(Request* r) {
    if (r->Holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    CloseHandle(r->X.Connected);
    CloseHandle(r->Done);
    delete r;
}

// The exchange's end, with or without an answer. The link goes before Done: a caller that dropped
// the link's last other reference finds it closed by the time its request returns.
void Finish(Request* r) {
    ReleaseServerLink(r->X.Link);
    r->X.Link = nullptr;
    SetEvent(r->Done);
    RequestsOnTheirWay.fetch_sub(1, std::memory_order_relaxed);
    LetGo(r);
}

DWORD WINAPI RunRequest(void* argument) {
    Request* r = static_cast<Request*>(argument);
    MakeExchange(r->X);
    Finish(r);
    return 0;
}

void RetainServerLink(ServerLink* link) {
    AcquireSRWLockExclusive(&SlotLock);
    ++link->Users;
    ReleaseSRWLockExclusive(&SlotLock);
}

// A request on its way on a thread of its own; null, with `refusal` saying why, when none can be
// made.
Request* StartRequest(ServerLink* link, const char* requestPath, const char* body, DWORD& refusal) {
    refusal = ERROR_BUSY;
    if (RequestsOnTheirWay.load(std::memory_order_relaxed) >= MaxRequestsOnTheirWay) return nullptr;
    refusal = ERROR_INSUFFICIENT_BUFFER;
    if (strnlen(body, FormBodySize) >= FormBodySize) return nullptr;
    refusal = ERROR_NOT_ENOUGH_MEMORY;
    Request* r = new (std::nothrow) Request();
    if (r == nullptr) return nullptr;
    r->Holders = 1;
    r->X.Start = GetTickCount();
    std::memcpy(r->X.Body, body, std::strlen(body) + 1);
    r->X.Connected = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    r->Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!BuildObjectName(r->X.ObjectName, link->BasePath, requestPath) || r->X.Connected == nullptr ||
        r->Done == nullptr) {
        refusal = r->X.Connected == nullptr || r->Done == nullptr ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        LetGo(r);
        return nullptr;
    }
    RetainServerLink(link);
    r->X.Link = link;
    r->Holders = 2;
    RequestsOnTheirWay.fetch_add(1, std::memory_order_relaxed);
    HANDLE thread = CreateThread(nullptr, 0, RunRequest, r, 0, nullptr);
    if (thread == nullptr) {
        r->X.Result = {Cause::Error, GetLastError(), 0};
        Finish(r);  // no exchange: done at once, without an answer
    } else {
        CloseHandle(thread);
    }
    return r;
}

constexpr Outcome Abandoned = {Cause::Error, ERROR_CANCELLED, 0};

// The exchange's outcome when the request is done within its bounds; otherwise the bound that
// passed (or the shutdown), and the caller gives up on it.
Outcome AwaitRequest(Request* r) {
    const HANDLE connecting[] = {r->Done, r->X.Connected, AbandonedEvent()};
    const DWORD got = WaitForMultipleObjects(3, connecting, FALSE, TimeLeft(r->X.Start, ConnectDeadlineMs));
    if (got == WAIT_OBJECT_0) return r->X.Result;
    if (got == WAIT_OBJECT_0 + 2) return Abandoned;
    if (got != WAIT_OBJECT_0 + 1) return {Cause::ConnectTimeout, 0, 0};
    const HANDLE answering[] = {r->Done, AbandonedEvent()};
    switch (WaitForMultipleObjects(2, answering, FALSE, TimeLeft(r->X.Start, RequestDeadlineMs))) {
    case WAIT_OBJECT_0: return r->X.Result;
    case WAIT_OBJECT_0 + 1: return Abandoned;
    default: return {Cause::Deadline, 0, 0};
    }
}

}  // namespace

ServerLink* OpenServerLink(const char* hostAddress) {
    ServerLink* link = new (std::nothrow) ServerLink();
    if (link == nullptr) return nullptr;
    link->Users = 1;

    HostParts parts;
    SplitHostAddress(hostAddress, parts, IsLeadByte);
    std::memcpy(link->Host, parts.Host, sizeof link->Host);
    std::memcpy(link->BasePath, parts.BasePath, sizeof link->BasePath);
    link->Port = parts.Port;
    link->Secure = parts.Secure;

    if (link->Secure) {
        link->Ready = OpenSecureLink(link);
    } else {
        link->Internet = Counted(InternetOpenA(UserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        // Before the connection handle exists, which takes the callback over from it.
        if (link->Internet != nullptr) InternetSetStatusCallbackA(link->Internet, ReportStatus);
        link->Connection = link->Internet == nullptr
                               ? nullptr
                               : Counted(InternetConnectA(link->Internet, link->Host,
                                                          link->Port != 0 ? link->Port : INTERNET_DEFAULT_HTTP_PORT, "",
                                                          "", INTERNET_SERVICE_HTTP, 0, 0));
        link->Ready = link->Connection != nullptr;
    }
    if (!link->Ready) link->OpenError = GetLastError();
    return link;
}

ServerLink* OpenRefusingLink(Cause why) {
    ServerLink* link = new (std::nothrow) ServerLink();
    if (link == nullptr) return nullptr;
    link->Users = 1;
    link->Refusal = why;
    return link;
}

void CloseServerLink(ServerLink* link) {
    if (link == nullptr) return;
    if (link->Secure) {
        CloseSecureLink(link);
    } else {
        CloseCounted(link->Connection);
        CloseCounted(link->Internet);
    }
    delete link;
}

Outcome PostRequest(ServerLink* link, const char* requestPath, std::string& answer, const char* body) {
    if (WaitForSingleObject(AbandonedEvent(), 0) == WAIT_OBJECT_0) return Abandoned;
    DWORD refusal = 0;
    Request* r = StartRequest(link, requestPath, body, refusal);
    if (r == nullptr) return {Cause::Error, refusal, 0};
    const Outcome outcome = AwaitRequest(r);
    if (outcome.Why == Cause::Answer) answer.append(r->X.Answer);
    LetGo(r);
    return outcome;
}

void AbandonRequests() { SetEvent(AbandonedEvent()); }

ServerLink* AcquireServerLink() {
    AcquireSRWLockExclusive(&SlotLock);
    ServerLink* link = CurrentServerLink;
    if (link != nullptr) ++link->Users;
    ReleaseSRWLockExclusive(&SlotLock);
    return link;
}

void ReleaseServerLink(ServerLink* link) {
    if (link == nullptr) return;
    AcquireSRWLockExclusive(&SlotLock);
    const bool last = --link->Users == 0;
    ReleaseSRWLockExclusive(&SlotLock);
    if (last) CloseServerLink(link);
}

void ReplaceServerLink(ServerLink* link) {
    AcquireSRWLockExclusive(&SlotLock);
    ServerLink* old = CurrentServerLink;
    CurrentServerLink = link;
    ReleaseSRWLockExclusive(&SlotLock);
    ReleaseServerLink(old);
}

long OpenServerHandleCount() { return OpenHandles.load(std::memory_order_relaxed) + OpenSecureHandleCount(); }
