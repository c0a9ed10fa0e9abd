#include "server/server_link.h"

#include <atomic>
#include <cstring>
#include <new>

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

SRWLOCK SlotLock = SRWLOCK_INIT;
ServerLink* CurrentServerLink = nullptr;
std::atomic<long> OpenHandles{0};

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

void CloseCounted(HINTERNET handle) {
    if (handle == nullptr) return;
    InternetCloseHandle(handle);
    OpenHandles.fetch_sub(1, std::memory_order_relaxed);
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
// dropped). False when the body is not one whole short answer: cut short by a time-out, a failed
// read or a connection that closed before the announced length (its first bytes may spell a
// word, "TRUE" of a longer text, that the server never said), or longer than any answer, which
// must not cost the agent its memory.
bool ReadWholeBody(HINTERNET request, std::string& answer) {
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
        if (total > MaxAnswerBytes) return false;
        answer.append(chunk.data(), strnlen(chunk.data(), read));
    }
}

HINTERNET Counted(HINTERNET handle) {
    if (handle != nullptr) OpenHandles.fetch_add(1, std::memory_order_relaxed);
    return handle;
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

    link->Internet = Counted(InternetOpenA(UserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (link->Internet == nullptr) return link;
    link->Connection = Counted(InternetConnectA(link->Internet, link->Host, INTERNET_DEFAULT_HTTP_PORT,
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

void PostRequest(const ServerLink* link, const char* requestPath, std::string& answer, const char* body) {
    char objectName[ObjectNameSize];
    if (!BuildObjectName(objectName, link->BasePath, requestPath)) return;

    HINTERNET request = Counted(HttpOpenRequestA(link->Connection, "POST", objectName, nullptr,
                                                 nullptr, nullptr, RequestFlags, 0));
    if (request == nullptr) return;

    // Without these a server that takes the connection and never answers holds the caller for good.
    DWORD timeout = RequestTimeoutMs;
    InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);

    const DWORD bodyLength = static_cast<DWORD>(std::strlen(body));
    if (HttpSendRequestA(request, FormHeader, sizeof FormHeader - 1, const_cast<char*>(body), bodyLength)) {
        if (!ReadWholeBody(request, answer)) answer.clear();
        answer.erase(0, ByteOrderMarkLength(answer));
    }
    CloseCounted(request);
}

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

void DiscardServerLink() {
    // The lock is held only for a few instructions; if it stays taken, its holder was stopped by
    // force inside it, and waiting would never end.
    for (int attempt = 0; !TryAcquireSRWLockExclusive(&SlotLock); ++attempt) {
        if (attempt == 100) return;
        Sleep(1);
    }
    ServerLink* old = CurrentServerLink;
    CurrentServerLink = nullptr;
    ReleaseSRWLockExclusive(&SlotLock);
    ReleaseServerLink(old);
}

long OpenServerHandleCount() { return OpenHandles.load(std::memory_order_relaxed); }
