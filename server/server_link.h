// The HTTP client for the configured management server: one WinINet session and connection on
// port 80, and one form-encoded POST per question.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <string>

#include "server/host_text.h"

struct ServerLink {
    char Host[HostTextSize];
    char BasePath[BasePathSize];
    HINTERNET Internet;
    HINTERNET Connection;
    bool Ready;
    long Users;  // references: the slot's own and one per request in flight; guarded by the slot
};

// Always yields a record unless memory runs out (then null); Ready says whether requests can be made.
ServerLink* OpenServerLink(const char* hostAddress);
// Closes Connection, then Internet, then frees the record.
void CloseServerLink(ServerLink* link);

// One POST of `body` to the script `requestPath`; appends the response body, less a leading
// byte-order mark, to `answer`. Leaves the answer empty when nothing came back in time.
void PostRequest(const ServerLink* link, const char* requestPath, std::string& answer, const char* body);

// Seconds a request may wait for the server to take or answer it, as WinINet does on Windows.
constexpr DWORD RequestTimeoutMs = 30000;

// The current link. Requests run outside any lock: a request holds a reference, and a replaced
// link is closed by whoever drops its last reference, so replacing the link never waits for a
// slow server and never closes handles under a running request.
ServerLink* AcquireServerLink();           // the current link with a reference, or null
void ReleaseServerLink(ServerLink* link);  // drops a reference; closes the link on the last one
void ReplaceServerLink(ServerLink* link);  // installs `link` (may be null), releases the old one
// Shutdown's release of the slot. Gives up rather than wait when the slot is held by a thread that
// was stopped by force; a link still referenced by such a thread is left open (its handles may be
// in use inside WinINet, and the process is ending).
void DiscardServerLink();
// Handles the program opened and has not closed yet, for leak checks.
long OpenServerHandleCount();
