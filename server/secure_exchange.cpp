#include "server/secure_exchange.h"

#include <winhttp.h>

#include <atomic>
#include <cstring>

#include "server/exchange.h"
#include "server/machine_trust.h"
#include "server/system_library.h"

namespace {

// WinHTTP, loaded with the first secure link: an agent on a plain address never maps it.
struct WinHttpCalls {
    decltype(&WinHttpOpen) Open;
    decltype(&WinHttpConnect) Connect;
    decltype(&WinHttpSetStatusCallback) SetStatusCallback;
    decltype(&WinHttpSetOption) SetOption;
    decltype(&WinHttpSetTimeouts) SetTimeouts;
    decltype(&WinHttpOpenRequest) OpenRequest;
    decltype(&WinHttpSendRequest) SendRequest;
    decltype(&WinHttpReceiveResponse) ReceiveResponse;
    decltype(&WinHttpQueryHeaders) QueryHeaders;
    decltype(&WinHttpQueryDataAvailable) QueryDataAvailable;
    decltype(&WinHttpReadData) ReadData;
    decltype(&WinHttpQueryOption) QueryOption;
    decltype(&WinHttpCloseHandle) CloseHandle;
};

const WinHttpCalls* Calls() {
    static const WinHttpCalls* calls = [] {
        static WinHttpCalls loaded;
        HMODULE winhttp = LoadSystemLibrary("winhttp.dll");
        const bool bound = BindCall(winhttp, "WinHttpOpen", loaded.Open) &&
                           BindCall(winhttp, "WinHttpConnect", loaded.Connect) &&
                           BindCall(winhttp, "WinHttpSetStatusCallback", loaded.SetStatusCallback) &&
                           BindCall(winhttp, "WinHttpSetOption", loaded.SetOption) &&
                           BindCall(winhttp, "WinHttpSetTimeouts", loaded.SetTimeouts) &&
                           BindCall(winhttp, "WinHttpOpenRequest", loaded.OpenRequest) &&
                           BindCall(winhttp, "WinHttpSendRequest", loaded.SendRequest) &&
                           BindCall(winhttp, "WinHttpReceiveResponse", loaded.ReceiveResponse) &&
                           BindCall(winhttp, "WinHttpQueryHeaders", loaded.QueryHeaders) &&
                           BindCall(winhttp, "WinHttpQueryDataAvailable", loaded.QueryDataAvailable) &&
                           BindCall(winhttp, "WinHttpReadData", loaded.ReadData) &&
                           BindCall(winhttp, "WinHttpQueryOption", loaded.QueryOption) &&
                           BindCall(winhttp, "WinHttpCloseHandle", loaded.CloseHandle);
        return bound ? &loaded : nullptr;
    }();
    return calls;
}

constexpr wchar_t UserAgent[] = L"CalderwynHTTPRequest";
// What WinINet sends over a plain link: its form header as it has always been, and the no-cache
// that INTERNET_FLAG_RELOAD adds there. WinHTTP has no cache of its own to bypass.
constexpr wchar_t Headers[] = L"Content-Type: application/x-www-form-urlencoded; \r\nCache-Control: no-cache";
// As the plain link: no redirect is followed, no cookie is sent or kept, and no credentials are
// offered to anyone who asks.
constexpr DWORD DisabledFeatures = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;
// TLS 1.0 to 1.3, the widest set this WinHTTP takes first: an older one refuses a protocol it
// does not know, Windows 7 offers TLS 1.1 and 1.2 only when asked (with KB3140245), and its
// default set includes SSL 3.0, which the last choice leaves out.
constexpr DWORD ProtocolChoices[] = {
    0x00002000 /* TLS 1.3 */ | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
        WINHTTP_FLAG_SECURE_PROTOCOL_TLS1,
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1,
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1,
};

std::atomic<long> OpenHandles{0};

HINTERNET Counted(HINTERNET handle) {
    if (handle != nullptr) OpenHandles.fetch_add(1, std::memory_order_relaxed);
    return handle;
}

void CloseCounted(const WinHttpCalls& http, HINTERNET handle) {
    if (handle == nullptr) return;
    http.CloseHandle(handle);
    OpenHandles.fetch_sub(1, std::memory_order_relaxed);
}

template <typename Value>
bool SetOption(const WinHttpCalls& http, HINTERNET handle, DWORD option, Value value) {
    return http.SetOption(handle, option, &value, sizeof value) != FALSE;
}

// WinHTTP's details of a refused certificate, as the numbers WinINet gives them (WinHTTP has the
// same ones), the likeliest first.
constexpr struct {
    DWORD Flag;
    DWORD Error;
} TlsFaultErrors[] = {
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, 12045},         {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, 12038},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, 12037},  {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, 12170},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, 12057},    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, 12169},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, 12179},   {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, 12157},
};

// As the plain link's callback: a request's context is its exchange, and either status means the
// connection is made (a kept-alive one reports only the sending). A refused certificate's details
// come here too, before the call fails with its catch-all error.
void CALLBACK ReportStatus(HINTERNET, DWORD_PTR context, DWORD status, void* information, DWORD length) {
    if (context == 0) return;
    Exchange* x = ExchangeOf(context);
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && information != nullptr && length >= sizeof(DWORD)) {
        x->TlsFaults = *static_cast<DWORD*>(information);
    } else if (status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER ||
               status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST) {
        SetEvent(x->Connected);
    }
}

Outcome OutcomeOfFailure(const Exchange& x, DWORD error) {
    if (error == ERROR_WINHTTP_SECURE_FAILURE) {
        for (const auto& fault : TlsFaultErrors) {
            if ((x.TlsFaults & fault.Flag) != 0) return {Cause::Tls, fault.Error, 0};
        }
    }
    // A time-out before the connection was made is the connect bound's.
    if (error == ERROR_WINHTTP_TIMEOUT && WaitForSingleObject(x.Connected, 0) != WAIT_OBJECT_0) {
        return {Cause::ConnectTimeout, error, 0};
    }
    return {CauseOfError(error, true), error, 0};
}

DWORD QueryNumber(const WinHttpCalls& http, HINTERNET request, DWORD header, bool& present) {
    DWORD value = 0;
    DWORD size = sizeof value;
    present = http.QueryHeaders(request, header | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                                &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
    return value;
}

// See the plain link: a body shorter or longer than the one announced is not the server's word.
bool HasAnnouncedLength(const WinHttpCalls& http, HINTERNET request, DWORD bodyLength) {
    bool announced = false;
    const DWORD length = QueryNumber(http, request, WINHTTP_QUERY_CONTENT_LENGTH, announced);
    return !announced || length == bodyLength;
}

// The certificate the server presented on this request's own connection, judged by the machine.
// WinHTTP gives the request the certificate of the connection that carries it, fresh or kept
// alive; WinINet's certificate chain belongs to a record of the host that outlives connections,
// and under Wine it stays the first one verified there. So a server that takes the trusted one's
// place behind a user's proxy is judged by its own certificate, and a mended one by its new one.
TrustVerdict JudgeConnection(const WinHttpCalls& http, HINTERNET request, const char* host) {
    PCCERT_CONTEXT served = nullptr;
    DWORD size = sizeof served;
    if (!http.QueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &served, &size) || served == nullptr) {
        return TrustVerdict::Untrusted;
    }
    return JudgeServerCertificate(served, host);
}

}  // namespace

bool OpenSecureLink(ServerLink* link) {
    const WinHttpCalls* http = Calls();
    if (http == nullptr) return false;
    wchar_t host[HostTextSize];
    if (MultiByteToWideChar(CP_ACP, 0, link->Host, -1, host, HostTextSize) == 0) return false;
    // The machine's proxy setting (netsh winhttp), not the user's Internet Options: a proxy that
    // a user sets up is not on the way to the server at all.
    link->Internet = Counted(http->Open(UserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
    if (link->Internet == nullptr) return false;
    for (DWORD protocols : ProtocolChoices) {
        if (SetOption(*http, link->Internet, WINHTTP_OPTION_SECURE_PROTOCOLS, protocols)) break;
    }
    // Before the connection handle exists, which takes the callback over from the session.
    http->SetStatusCallback(link->Internet, ReportStatus,
                            WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
                                WINHTTP_CALLBACK_FLAG_SECURE_FAILURE,
                            0);
    link->Connection = Counted(http->Connect(link->Internet, host,
                                                    link->Port != 0 ? link->Port : INTERNET_DEFAULT_HTTPS_PORT, 0));
    return link->Connection != nullptr;
}

void CloseSecureLink(ServerLink* link) {
    const WinHttpCalls* http = Calls();
    if (http == nullptr) return;
    CloseCounted(*http, link->Connection);
    CloseCounted(*http, link->Internet);
}

long OpenSecureHandleCount() { return OpenHandles.load(std::memory_order_relaxed); }

// Certificate faults are never waved through: WinHTTP's own checks stand (no security flag lowers
// them), no dialog asks, and an answer counts only once the machine trusts the connection too.
void ExchangeSecurely(Exchange& x) {
    const WinHttpCalls& http = *Calls();  // a Ready secure link has them
    wchar_t object[ObjectNameSize];
    if (MultiByteToWideChar(CP_ACP, 0, x.ObjectName, -1, object, ObjectNameSize) == 0) {
        x.Result = {Cause::Error, GetLastError(), 0};
        return;
    }
    HINTERNET request = Counted(http.OpenRequest(x.Link->Connection, L"POST", object, nullptr, WINHTTP_NO_REFERER,
                                                 WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (request == nullptr) {
        x.Result = OutcomeOfFailure(x, GetLastError());
        return;
    }
    SetOption(http, request, WINHTTP_OPTION_DISABLE_FEATURE, DisabledFeatures);
    // Each call is bounded, so that a request whose caller has gone ends by itself.
    http.SetTimeouts(request, ConnectDeadlineMs, ConnectDeadlineMs, RequestDeadlineMs, RequestDeadlineMs);
    const DWORD bodyLength = static_cast<DWORD>(std::strlen(x.Body));
    if (!http.SendRequest(request, Headers, static_cast<DWORD>(-1L), x.Body, bodyLength, bodyLength,
                          reinterpret_cast<DWORD_PTR>(&x)) ||
        !http.ReceiveResponse(request, nullptr)) {
        x.Result = OutcomeOfFailure(x, GetLastError());
    } else if (const TrustVerdict verdict = JudgeConnection(http, request, x.Link->Host);
               verdict != TrustVerdict::Trusted) {
        x.Result = {verdict == TrustVerdict::UserRoot ? Cause::UserRoot : Cause::Untrusted, 0, 0};
    } else {
        bool answered = false;
        const DWORD status = QueryNumber(http, request, WINHTTP_QUERY_STATUS_CODE, answered);
        DWORD total = 0;
        const BodyEnd end = ReadWholeBody(
            [&](DWORD& ready) { return http.QueryDataAvailable(request, &ready) != FALSE; },
            [&](char* buffer, DWORD size, DWORD& got) { return http.ReadData(request, buffer, size, &got) != FALSE; },
            x.Answer, total, x.Start);
        x.Result = OutcomeOfBody(end, total, HasAnnouncedLength(http, request, total), GetLastError(), status);
        if (x.Result.Why != Cause::Answer) x.Answer.clear();
        x.Answer.erase(0, ByteOrderMarkLength(x.Answer));
    }
    CloseCounted(http, request);
}
