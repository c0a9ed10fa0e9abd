#include "server/exchange_cause.h"

#include <cstdio>

namespace {

struct KnownError {
    unsigned long Code;
    Cause Means;
    const char* Plain;   // WinINet's name
    const char* Secure;  // WinHTTP's name
};

// The codes either layer gives for what a cause names; any other is `error-<n>`.
constexpr KnownError KnownErrors[] = {
    {12002, Cause::Deadline, "ERROR_INTERNET_TIMEOUT", "ERROR_WINHTTP_TIMEOUT"},
    {12007, Cause::Unresolved, "ERROR_INTERNET_NAME_NOT_RESOLVED", "ERROR_WINHTTP_NAME_NOT_RESOLVED"},
    {12029, Cause::Refused, "ERROR_INTERNET_CANNOT_CONNECT", "ERROR_WINHTTP_CANNOT_CONNECT"},
    {12030, Cause::Reset, "ERROR_INTERNET_CONNECTION_ABORTED", "ERROR_WINHTTP_CONNECTION_ERROR"},
    {12031, Cause::Reset, "ERROR_INTERNET_CONNECTION_RESET", ""},
    {12152, Cause::Reset, "ERROR_HTTP_INVALID_SERVER_RESPONSE", "ERROR_WINHTTP_INVALID_SERVER_RESPONSE"},
    {12037, Cause::Tls, "ERROR_INTERNET_SEC_CERT_DATE_INVALID", "ERROR_WINHTTP_SECURE_CERT_DATE_INVALID"},
    {12038, Cause::Tls, "ERROR_INTERNET_SEC_CERT_CN_INVALID", "ERROR_WINHTTP_SECURE_CERT_CN_INVALID"},
    {12044, Cause::Tls, "ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED", "ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED"},
    {12045, Cause::Tls, "ERROR_INTERNET_INVALID_CA", "ERROR_WINHTTP_SECURE_INVALID_CA"},
    {12055, Cause::Tls, "ERROR_INTERNET_SEC_CERT_ERRORS", ""},
    {12056, Cause::Tls, "ERROR_INTERNET_SEC_CERT_NO_REV", ""},
    {12057, Cause::Tls, "ERROR_INTERNET_SEC_CERT_REV_FAILED", "ERROR_WINHTTP_SECURE_CERT_REV_FAILED"},
    {12157, Cause::Tls, "ERROR_INTERNET_SECURITY_CHANNEL_ERROR", "ERROR_WINHTTP_SECURE_CHANNEL_ERROR"},
    {12169, Cause::Tls, "ERROR_INTERNET_SEC_INVALID_CERT", "ERROR_WINHTTP_SECURE_INVALID_CERT"},
    {12170, Cause::Tls, "ERROR_INTERNET_SEC_CERT_REVOKED", "ERROR_WINHTTP_SECURE_CERT_REVOKED"},
    {12175, Cause::Error, "ERROR_INTERNET_DECODING_FAILED", "ERROR_WINHTTP_SECURE_FAILURE"},
    {12179, Cause::Tls, "", "ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE"},
};

const KnownError* Find(unsigned long error) {
    for (const KnownError& known : KnownErrors) {
        if (known.Code == error) return &known;
    }
    return nullptr;
}

const char* TokenWord(Cause cause) {
    switch (cause) {
    case Cause::Answer: return "answer";
    case Cause::Unresolved: return "unresolved";
    case Cause::Refused: return "refused";
    case Cause::ConnectTimeout: return "connect-timeout";
    case Cause::Deadline: return "deadline";
    case Cause::Reset: return "reset";
    case Cause::CutShort: return "cut-short";
    case Cause::TooLong: return "too-long";
    case Cause::Tls: return "tls";
    case Cause::UserRoot: return "user-root";
    case Cause::Untrusted: return "untrusted";
    case Cause::Error: return "error";
    case Cause::PolicyInvalid: return "policy-invalid";
    case Cause::AddressTooLong: return "address-too-long";
    }
    return "error";
}

}  // namespace

Cause CauseOfError(unsigned long error, bool secure) {
    const KnownError* known = Find(error);
    if (known == nullptr) return Cause::Error;
    // WinHTTP's catch-all of certificate faults has WinINet's number for a failed decoding.
    if (error == 12175) return secure ? Cause::Tls : Cause::Error;
    return known->Means;
}

const char* ErrorName(unsigned long error, bool secure) {
    const KnownError* known = Find(error);
    if (known == nullptr) return "";
    return secure ? known->Secure : known->Plain;
}

CauseToken TokenOf(const Outcome& outcome) {
    CauseToken token;
    if (outcome.Why == Cause::Tls || outcome.Why == Cause::Error) {
        std::snprintf(token.Text, sizeof token.Text, "%s-%lu", TokenWord(outcome.Why), outcome.Error);
    } else {
        std::snprintf(token.Text, sizeof token.Text, "%s", TokenWord(outcome.Why));
    }
    return token;
}

CauseKind KindOf(Cause cause) {
    switch (cause) {
    case Cause::Answer: return CauseKind::ServersWord;
    case Cause::ConnectTimeout:
    case Cause::Deadline:
    case Cause::Reset: return CauseKind::Silent;
    case Cause::Tls:
    case Cause::UserRoot:
    case Cause::Untrusted: return CauseKind::Untrusted;
    case Cause::CutShort:
    case Cause::TooLong: return CauseKind::Invalid;
    case Cause::PolicyInvalid: return CauseKind::BadPolicy;
    case Cause::Unresolved:
    case Cause::Refused:
    case Cause::AddressTooLong:
    case Cause::Error: return CauseKind::Unreachable;
    }
    return CauseKind::Unreachable;
}
