// Splitting the configured host address into what WinINet connects to and the path in front of
// every script, naming the script for one request, and recognising a byte-order mark.
// Portable: no Windows call, so these are unit-tested and fuzzed natively.
#pragma once
#include <cstddef>
#include <string_view>

#include "app/settings_path.h"  // LeadByteTest

constexpr std::size_t HostTextSize = 64;
constexpr std::size_t BasePathSize = 32;
constexpr std::size_t ObjectNameSize = 64;
constexpr char SecurePrefix[] = "https://";
constexpr std::size_t SecurePrefixLength = sizeof SecurePrefix - 1;

struct HostParts {
    char Host[HostTextSize];      // host name or address; never empty of meaning checks here
    char BasePath[BasePathSize];  // empty, or ends in '/'
    bool Secure;                  // the address began with "https://": TLS to port 443
};

// "https://" or "http://" (lower case only) is dropped, the first making the link Secure; the
// text is cut at its first '/' (a '/' byte inside a double-byte character does not count); what
// follows goes to BasePath with a '/' appended when missing. Every part is bounded by its field: a longer text is cut, never overflows.
void SplitHostAddress(const char* hostAddress, HostParts& parts, LeadByteTest isLeadByte);

// BasePath followed by the request path less one leading '/'. False when it does not fit:
// then no request is made rather than one for a cut name.
bool BuildObjectName(char (&objectName)[ObjectNameSize], const char* basePath, const char* requestPath);

// Length of the byte-order mark at the start of the text: 0, 2, 3 or 4.
std::size_t ByteOrderMarkLength(std::string_view text);
