#include "server/server_link.h"

#include <atomic>
#include <cstring>
#include <new>

#include "server/form_text.h"
#include "server/machine_trust.h"

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
constexpr DWORD MaxAnswerBytes = 64 * 1024;
// Requests whose callers gave up may still wait on a server that drops packets, for as long as
// TCP tries to connect. Beyond this many on their way, a new request fails at once rather than
// add a thread.
constexpr long MaxRequestsOnTheirWay = 16;

SRWLOCK SlotLock = SRWLOCK_INIT;
ServerLink* CurrentServerLink = nullptr;
std::atomic<long> OpenHandles{0};
std::atomic<long> RequestsOnTheirWay{0};

// One request, shared by its caller and the thread that makes the exchange; whichever lets go
// last frees it. The caller reads Answer only once Done is set.
struct Request {
    std::atomic<long> Holders;
    ServerLink* Link;  // referenced until the exchange is over
    DWORD Start;       // tick count: the deadline is counted from here
    HANDLE Connected;  // the server took the connection (or a kept-alive one is used)
    HANDLE Done;
    char ObjectName[ObjectNameSize];
    char Body[FormBodySize];
    std::string Answer;
};

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

HANDLE AbandonedEvent() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// What is left of a bound counted from `start` (tick counts), 0 once it has passed.
DWORD TimeLeft(DWORD start, DWORD bound) {
    const DWORD spent = GetTickCount() - start;
    return spent >= bound ? 0 : bound - spent;
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
// is its record. Either status means the connection is made: the connect bound is met.
void CALLBACK ReportStatus(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
    if (status != INTERNET_STATUS_CONNECTED_TO_SERVER && status != INTERNET_STATUS_SENDING_REQUEST) return;
    if (context != 0) SetEvent(reinterpret_cast<Request*>(context)->Connected);
}

// False when the response announced a Content-Length and the body read differs from it.
bool HasAnnouncedLength(HINTERNET request, DWORD bodyLength) {
    DWORD announced = 0;
    DWORD size = sizeof announced;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &size, nullptr)) {
        return true;  // none announced (chunked, or read until the connection closes)
    }
    return announced == bodyLength;
}

// Appends the response body to the answer as text (bytes behind a zero byte in a chunk are
// dropped). False when the body is not one whole short answer in time: cut short by a time-out,
// a failed read or a connection that closed before the announced length (its first bytes may
// spell a word, "TRUE" of a longer text, that the server never said), still arriving at the
// deadline, or longer than any answer, which must not cost the agent its memory.
bool ReadWholeBody(HINTERNET request, std::string& answer, DWORD start) {
    DWORD total = 0;
    for (;;) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0)) return false;
        if (available > MaxAnswerBytes) available = MaxAnswerBytes;
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!InternetReadFile(request, chunk.data(), available, &read)) return false;
        if (read == 0) return HasAnnouncedLength(request, total);
        total += read;
        if (total > MaxAnswerBytes || TimeLeft(start, RequestDeadlineMs) == 0) return false;
        answer.append(chunk.data(), strnlen(chunk.data(), read));
    }
}

// The exchange itself. The answer stays empty unless a whole one came in time.
void Exchange(Request* r) {
    // Certificate faults are never waved through: WinINet's checks stand, and no dialog asks.
    const DWORD flags = RequestFlags | (r->Link->Secure ? INTERNET_FLAG_SECURE : 0);
    HINTERNET request = Counted(HttpOpenRequestA(r->Link->Connection, "POST", r->ObjectName, nullptr, nullptr,
                                                 nullptr, flags, reinterpret_cast<DWORD_PTR>(r)));
    if (request == nullptr) return;
    // Each call is bounded too, so that a request whose caller has gone ends by itself. Wine
    // ignores the connect bound; Windows honours it.
    SetTimeout(request, INTERNET_OPTION_CONNECT_TIMEOUT, ConnectDeadlineMs);
    SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, RequestDeadlineMs);
    SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, RequestDeadlineMs);
    const DWORD bodyLength = static_cast<DWORD>(std::strlen(r->Body));
    if (HttpSendRequestA(request, FormHeader, sizeof FormHeader - 1, r->Body, bodyLength) &&
        (!r->Link->Secure || ServerIsTrustedByMachine(request, r->Link->Host))) {
        if (!ReadWholeBody(request, r->Answer, r->Start)) r->Answer.clear();
        r->Answer.erase(0, ByteOrderMarkLength(r->Answer));
    }
    CloseCounted(request);
}

void LetGo(Request* r) {
    if (r->Holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    CloseHandle(r->Connected);
    CloseHandle(r->Done);
    delete r;
}

// The exchange's end, with or without an answer. The link goes before Done: a caller that dropped
// the link's last other reference finds it closed by the time its request returns.
void Finish(Request* r) {
    ReleaseServerLink(r->Link);
    r->Link = nullptr;
    SetEvent(r->Done);
    RequestsOnTheirWay.fetch_sub(1, std::memory_order_relaxed);
    LetGo(r);
}

DWORD WINAPI RunRequest(void* argument) {
    Request* r = static_cast<Request*>(argument);
    Exchange(r);
    Finish(r);
    return 0;
}

void RetainServerLink(ServerLink* link) {
    AcquireSRWLockExclusive(&SlotLock);
    ++link->Users;
    ReleaseSRWLockExclusive(&SlotLock);
}

// A request on its way on a thread of its own; null when none can be made.
Request* StartRequest(ServerLink* link, const char* requestPath, const char* body) {
    if (RequestsOnTheirWay.load(std::memory_order_relaxed) >= MaxRequestsOnTheirWay) return nullptr;
    if (strnlen(body, FormBodySize) >= FormBodySize) return nullptr;
    Request* r = new (std::nothrow) Request();
    if (r == nullptr) return nullptr;
    r->Holders = 1;
    r->Start = GetTickCount();
    std::memcpy(r->Body, body, std::strlen(body) + 1);
    r->Connected = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    r->Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!BuildObjectName(r->ObjectName, link->BasePath, requestPath) || r->Connected == nullptr ||
        r->Done == nullptr) {
        LetGo(r);
        return nullptr;
    }
    RetainServerLink(link);
    r->Link = link;
    r->Holders = 2;
    RequestsOnTheirWay.fetch_add(1, std::memory_order_relaxed);
    HANDLE thread = CreateThread(nullptr, 0, RunRequest, r, 0, nullptr);
    if (thread == nullptr) {
        Finish(r);  // no exchange: done at once, without an answer
    } else {
        CloseHandle(thread);
    }
    return r;
}

// True when the request is done within its bounds; false when the caller gives up on it.
bool AwaitRequest(Request* r) {
    const HANDLE connecting[] = {r->Done, r->Connected, AbandonedEvent()};
    const DWORD got = WaitForMultipleObjects(3, connecting, FALSE, TimeLeft(r->Start, ConnectDeadlineMs));
    if (got == WAIT_OBJECT_0) return true;
    if (got != WAIT_OBJECT_0 + 1) return false;
    const HANDLE answering[] = {r->Done, AbandonedEvent()};
    return WaitForMultipleObjects(2, answering, FALSE, TimeLeft(r->Start, RequestDeadlineMs)) == WAIT_OBJECT_0;
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
    link->Secure = parts.Secure;

    link->Internet = Counted(InternetOpenA(UserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (link->Internet == nullptr) return link;
    // Before the connection handle exists, which takes the callback over from it.
    InternetSetStatusCallbackA(link->Internet, ReportStatus);
    const INTERNET_PORT port = link->Secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    link->Connection = Counted(InternetConnectA(link->Internet, link->Host, port,
                                                "", "", INTERNET_SERVICE_HTTP, 0, 0));
    link->Ready = link->Connection != nullptr;
    return link;
}

void CloseServerLink(ServerLink* link) {
    if (link == nullptr) return;
    CloseCounted(link->Connection);
    CloseCounted(link->Internet);
    delete link;
}

void PostRequest(ServerLink* link, const char* requestPath, std::string& answer, const char* body) {
    if (WaitForSingleObject(AbandonedEvent(), 0) == WAIT_OBJECT_0) return;
    Request* r = StartRequest(link, requestPath, body);
    if (r == nullptr) return;
    if (AwaitRequest(r)) answer.append(r->Answer);
    LetGo(r);
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

long OpenServerHandleCount() { return OpenHandles.load(std::memory_order_relaxed); }
