// Whether a TLS server is one this machine trusts: WinINet accepts a root from the user's own
// store as readily as one from the machine's, and a user must not be able to answer for the server.
#pragma once
#include <windows.h>
#include <wininet.h>

// True only when the chain the server presented on `request`, built again with the machine's own
// chain engine, has no trust error and ends in a root that the machine's own stores hold (Root,
// where Group Policy puts an organisation's CA, or AuthRoot), and the SSL policy holds for
// `host`. Every doubt is false.
bool ServerIsTrustedByMachine(HINTERNET request, const char* host);
