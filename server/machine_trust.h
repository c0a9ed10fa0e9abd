// Whether a TLS server is one this machine trusts: the TLS layer accepts a root from the user's own
// store as readily as one from the machine's, and a user must not be able to answer for the server.
#pragma once
#include <windows.h>
#include <wincrypt.h>

enum class TrustVerdict {
    Trusted,
    UserRoot,   // what only a root of the user's own store vouches for
    Untrusted,  // any other failure of the check
};

// Judges `served`, the certificate the server presented on the connection that carried the answer
// (its store holds what the server sent beside it). Trusted only when the chain built from it by
// the machine's own chain engine has no trust error and ends in a root that the machine's own
// stores hold (Root, where Group Policy puts an organisation's CA, or AuthRoot), none of its
// certificates is reported revoked, and the SSL policy holds for `host`. Every doubt, and a
// crypt32 that cannot be loaded, is a refusal. Frees `served`: its owner need not load crypt32.
TrustVerdict JudgeServerCertificate(PCCERT_CONTEXT served, const char* host);
