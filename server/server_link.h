// The HTTP client for the configured management server: one WinINet session and connection on
// port 80, or for an "https://" address one WinHTTP session and connection on port 443 over TLS,
// and one form-encoded POST per question.
#pragma once
#include <windows.h>

#include <string>

#include "server/exchange_cause.h"
#include "server/host_text.h"

struct ServerLink {
    char Host[HostTextSize];
    char BasePath[BasePathSize];
    unsigned short Port;  // 0: the scheme's own
    // WinINet's session and connection; WinHTTP's for a Secure link. Neither header is included
    // here: the two cannot share a translation unit.
    void* Internet;
    void* Connection;
    bool Secure;  // TLS, and an answer counts only from a server the machine trusts
    bool Ready;
    DWORD OpenError;  // why it is not Ready
    Cause Refusal = Cause::Error;  // what a request on a link that is not Ready says: Error, with OpenError
    long Users;  // references: the slot's own and one per request in flight; guarded by the slot
};

// Always yields a record unless memory runs out (then null); Ready says whether requests can be made.
ServerLink* OpenServerLink(const char* hostAddress);
// A link that asks no server: every request is refused at once with `why` (an address the agent
// must not use). Null only when memory runs out.
ServerLink* OpenRefusingLink(Cause why);
// Closes Connection, then Internet, then frees the record.
void CloseServerLink(ServerLink* link);

// One request has one deadline from its start, covering connect, send and the whole body: a
// server that trickles its answer must not hold the caller, and a stale permission with it.
constexpr DWORD RequestDeadlineMs = 30000;
// Connecting (the name lookup included) has a shorter bound of its own: a server on the LAN or
// over VPN takes a connection in milliseconds, while an address whose packets are dropped holds a
// connection attempt for the minutes TCP takes to give up.
constexpr DWORD ConnectDeadlineMs = 5000;

// One POST of `body` to the script `requestPath`; appends the response body, less a leading
// byte-order mark, to `answer`, and says why it came or did not. Leaves the answer empty when no
// whole answer came in time.
// The exchange runs on a thread of its own, which holds a reference to the link; a caller whose
// deadline passes returns at once and leaves that thread to end by itself, never by force.
Outcome PostRequest(ServerLink* link, const char* requestPath, std::string& answer, const char* body);
// Shutdown: every caller waiting for an answer returns at once without one, and no new request is
// made. Requests on their way end by themselves.
void AbandonRequests();

// The current link. Requests run outside any lock: a request holds a reference, and a replaced
// link is closed by whoever drops its last reference, so replacing the link never waits for a
// slow server and never closes handles under a running request.
ServerLink* AcquireServerLink();           // the current link with a reference, or null
void ReleaseServerLink(ServerLink* link);  // drops a reference; closes the link on the last one
void ReplaceServerLink(ServerLink* link);  // installs `link` (may be null), releases the old one
// Handles the program opened and has not closed yet, for leak checks.
long OpenServerHandleCount();
