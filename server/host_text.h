// Splitting the configured host address into what WinINet connects to and the path in front of
// every script, naming the script for one request, and recognising a byte-order mark.
// Portable: no Windows call, so these are unit-tested and fuzzed natively.
#pragma once
#include <cstddef>
#include <string_view>

#include "app/settings_path.h"  // LeadByteTest

// The longest host address the agent uses, wherever it comes from (the settings file, the machine
// policy, the settings dialog, the installer): a longer one is refused whole, never cut.
constexpr std::size_t MaxHostAddressLength = 255;
constexpr std::size_t HostAddressSize = MaxHostAddressLength + 1;
// Every part of an address fits its field whole, the '/' a base path may get appended included.
constexpr std::size_t HostTextSize = HostAddressSize;
constexpr std::size_t BasePathSize = HostAddressSize + 1;
// The longest base path and the longest script's path.
constexpr std::size_t ObjectNameSize = BasePathSize + 64;
constexpr char SecurePrefix[] = "https://";
constexpr std::size_t SecurePrefixLength = sizeof SecurePrefix - 1;
constexpr char PlainPrefix[] = "http://";
constexpr std::size_t PlainPrefixLength = sizeof PlainPrefix - 1;

struct HostParts {
    char Host[HostTextSize];      // host name or address; never empty of meaning checks here
    char BasePath[BasePathSize];  // empty, or ends in '/'
    unsigned short Port;          // 0: the scheme's own (80, or 443 for Secure)
    bool Secure;                  // the address began with "https://": TLS
};

// "https://" or "http://" (lower case only) is dropped, the first making the link Secure; the
// text is cut at its first '/' (a '/' byte inside a double-byte character does not count); what
// follows goes to BasePath with a '/' appended when missing. A ":" and 1 to 65535 in digits at the
// end of the host part are its Port; any other text there stays in Host, for the name lookup to
// refuse. Every part is bounded by its field: a longer text is cut, never overflows.
void SplitHostAddress(const char* hostAddress, HostParts& parts, LeadByteTest isLeadByte);

// Why a text is not an address the agent may use (AddressFault::None when it is one); the first
// three are said of a registry value only. Tokens: "empty", "type", "unreadable", "too-long",
// "scheme", "space", "control", "no-host", "port".
enum class AddressFault : unsigned char { None, Empty, Type, Unreadable, TooLong, Scheme, Space, Control, NoHost, Port };
const char* AddressFaultToken(AddressFault fault);
// An administrator's address is checked before it is used, so that a typing error is said as such
// rather than taken for a server that does not answer: at most MaxHostAddressLength bytes, no
// blank or control byte, no scheme but "http://" and "https://" (as SplitHostAddress reads them),
// a host, and a port (if any) in 1 to 65535.
AddressFault CheckHostAddress(std::string_view text, LeadByteTest isLeadByte);

// BasePath followed by the request path less one leading '/'. False when it does not fit:
// then no request is made rather than one for a cut name.
bool BuildObjectName(char (&objectName)[ObjectNameSize], const char* basePath, const char* requestPath);

// Length of the byte-order mark at the start of the text: 0, 2, 3 or 4.
std::size_t ByteOrderMarkLength(std::string_view text);
