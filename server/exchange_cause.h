// Why an exchange with the server gave the answer it gave, or none: the words of the log's
// `cause=` and the status menu's reason. Portable: no Windows call, so it is unit-tested natively.
#pragma once
#include <cstddef>

enum class Cause : unsigned char {
    Answer,          // a whole answer came: the server's own word, whatever it says
    Unresolved,      // the name was not found
    Refused,         // the connection could not be made
    ConnectTimeout,  // the connect bound passed
    Deadline,        // the request's deadline passed
    Reset,           // the connection dropped with nothing read
    CutShort,        // fewer bytes than were announced, or a body that broke off
    TooLong,         // more than any answer may be
    Tls,             // the TLS layer refused the server or its certificate (Error says how)
    UserRoot,        // only a root of the user's own store vouches for the server
    Untrusted,       // any other failure of the machine's trust check
    Error,           // anything else (Error holds the code)
    PolicyInvalid,   // no server was asked: the machine policy's address is not one
    AddressTooLong,  // no server was asked: the stored address is longer than any the agent uses
};

struct Outcome {
    Cause Why = Cause::Error;
    unsigned long Error = 0;   // the HTTP layer's error code, where there is one
    unsigned long Status = 0;  // the response's status, for an answer
};

// What the HTTP layer's error code means: WinINet's for a plain link, WinHTTP's for a secure one
// (the two share most numbers).
Cause CauseOfError(unsigned long error, bool secure);
// The layer's name of the code ("ERROR_INTERNET_NAME_NOT_RESOLVED"), or "" when it has none here.
const char* ErrorName(unsigned long error, bool secure);

// "answer", "refused", "tls-12045", "error-12152", …
struct CauseToken {
    char Text[24];
};
CauseToken TokenOf(const Outcome& outcome);

// What a user is told about a state that is not the server's own word.
enum class CauseKind { ServersWord, Unreachable, Silent, Untrusted, Invalid, BadPolicy };
CauseKind KindOf(Cause cause);
