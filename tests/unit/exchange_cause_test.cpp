// The words an administrator greps for, and what a user is told.
#include <gtest/gtest.h>

#include <string>

#include "server/exchange_cause.h"

namespace {

std::string Token(Cause cause, unsigned long error = 0) { return TokenOf({cause, error, 0}).Text; }

TEST(ExchangeCause, LayerErrorsNameTheirCauseAndTheirCode) {
    struct Row {
        unsigned long Error;
        bool Secure;
        const char* Token;
        const char* Name;
    };
    const Row rows[] = {
        {12007, false, "unresolved", "ERROR_INTERNET_NAME_NOT_RESOLVED"},
        {12029, false, "refused", "ERROR_INTERNET_CANNOT_CONNECT"},
        {12029, true, "refused", "ERROR_WINHTTP_CANNOT_CONNECT"},
        {12002, true, "deadline", "ERROR_WINHTTP_TIMEOUT"},
        {12030, false, "reset", "ERROR_INTERNET_CONNECTION_ABORTED"},
        {12152, true, "reset", "ERROR_WINHTTP_INVALID_SERVER_RESPONSE"},
        {12045, false, "tls-12045", "ERROR_INTERNET_INVALID_CA"},
        {12157, true, "tls-12157", "ERROR_WINHTTP_SECURE_CHANNEL_ERROR"},
        // One number, two meanings: WinHTTP's catch-all certificate fault, WinINet's decoding.
        {12175, true, "tls-12175", "ERROR_WINHTTP_SECURE_FAILURE"},
        {12175, false, "error-12175", "ERROR_INTERNET_DECODING_FAILED"},
        {5, false, "error-5", ""},
    };
    for (const Row& row : rows) {
        const Cause cause = CauseOfError(row.Error, row.Secure);
        EXPECT_EQ(Token(cause, row.Error), row.Token) << row.Error << " " << row.Secure;
        EXPECT_STREQ(ErrorName(row.Error, row.Secure), row.Name) << row.Error << " " << row.Secure;
    }
    EXPECT_EQ(Token(Cause::ConnectTimeout), "connect-timeout");
    EXPECT_EQ(Token(Cause::CutShort), "cut-short");
    EXPECT_EQ(Token(Cause::TooLong), "too-long");
    EXPECT_EQ(Token(Cause::PolicyInvalid), "policy-invalid");
    EXPECT_EQ(Token(Cause::AddressTooLong), "address-too-long");
    EXPECT_EQ(Token(Cause::UserRoot), "user-root");
    EXPECT_EQ(Token(Cause::Untrusted), "untrusted");
    EXPECT_EQ(Token(Cause::Error, 4294967295ul), "error-4294967295");  // the longest token fits
}

}  // namespace
