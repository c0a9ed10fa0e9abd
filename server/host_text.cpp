#include "server/host_text.h"

#include <cstring>
#include <string>

namespace {

// Copies at most size - 1 bytes and always terminates.
void CopyBounded(char* target, std::size_t size, const char* source, std::size_t length) {
    if (length >= size) length = size - 1;
    std::memcpy(target, source, length);
    target[length] = 0;
}

// The address less its "https://" or "http://", and whether it was the first.
const char* SkipScheme(const char* text, bool& secure) {
    secure = std::strncmp(text, SecurePrefix, SecurePrefixLength) == 0;
    if (secure) return text + SecurePrefixLength;
    if (std::strncmp(text, PlainPrefix, PlainPrefixLength) == 0) return text + PlainPrefixLength;
    return text;
}

// Where the host part ends: at the first '/' that is not a byte of a double-byte character.
std::size_t HostPartLength(std::string_view rest, LeadByteTest isLeadByte) {
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(rest[i]);
        if (isLeadByte(c) && i + 1 < rest.size()) {
            ++i;
            continue;
        }
        if (c == '/') return i;
    }
    return rest.size();
}

// The port behind the host part's last ':', or 0 when that is not 1 to 65535 in digits.
unsigned short PortOf(std::string_view hostPart, std::size_t& nameLength) {
    nameLength = hostPart.size();
    const std::size_t colon = hostPart.rfind(':');
    if (colon == std::string_view::npos) return 0;
    const std::string_view digits = hostPart.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return 0;
    unsigned long port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port == 0 || port > 65535) return 0;
    nameLength = colon;
    return static_cast<unsigned short>(port);
}

}  // namespace

void SplitHostAddress(const char* hostAddress, HostParts& parts, LeadByteTest isLeadByte) {
    parts.Host[0] = parts.BasePath[0] = 0;
    parts.Port = 0;

    const char* rest = SkipScheme(hostAddress, parts.Secure);
    const std::size_t length = std::strlen(rest);
    const std::size_t slash = HostPartLength({rest, length}, isLeadByte);

    std::size_t nameLength = slash;
    parts.Port = PortOf({rest, slash}, nameLength);
    CopyBounded(parts.Host, sizeof parts.Host, rest, nameLength);
    if (slash == length) return;

    // Keep room for the '/' that may have to be appended.
    CopyBounded(parts.BasePath, sizeof parts.BasePath - 1, rest + slash + 1, length - slash - 1);
    const std::size_t baseLength = std::strlen(parts.BasePath);
    if (baseLength == 0 || parts.BasePath[baseLength - 1] != '/') {
        parts.BasePath[baseLength] = '/';
        parts.BasePath[baseLength + 1] = 0;
    }
}

const char* AddressFaultToken(AddressFault fault) {
    switch (fault) {
    case AddressFault::None: return "none";
    case AddressFault::Empty: return "empty";
    case AddressFault::Type: return "type";
    case AddressFault::Unreadable: return "unreadable";
    case AddressFault::TooLong: return "too-long";
    case AddressFault::Scheme: return "scheme";
    case AddressFault::Space: return "space";
    case AddressFault::Control: return "control";
    case AddressFault::NoHost: return "no-host";
    case AddressFault::Port: return "port";
    }
    return "none";
}

AddressFault CheckHostAddress(std::string_view text, LeadByteTest isLeadByte) {
    if (text.empty()) return AddressFault::Empty;
    if (text.size() > MaxHostAddressLength) return AddressFault::TooLong;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return AddressFault::Control;
        if (c == ' ') return AddressFault::Space;
    }
    // No NUL inside from here on: the text reads as the C string the link will split.
    const std::string whole(text);
    bool secure = false;
    const std::string_view rest = SkipScheme(whole.c_str(), secure);
    const std::string_view hostPart = rest.substr(0, HostPartLength(rest, isLeadByte));
    // "ftp://h", "HTTPS://h": a scheme the link would take for a host name.
    if (!hostPart.empty() && hostPart.back() == ':' && rest.substr(hostPart.size(), 2) == "//") {
        return AddressFault::Scheme;
    }
    std::size_t nameLength = hostPart.size();
    const bool hasPort = PortOf(hostPart, nameLength) != 0;
    if (!hasPort && hostPart.find(':') != std::string_view::npos) return AddressFault::Port;
    if (nameLength == 0) return AddressFault::NoHost;
    return AddressFault::None;
}

bool BuildObjectName(char (&objectName)[ObjectNameSize], const char* basePath, const char* requestPath) {
    if (*requestPath == '/') ++requestPath;
    const std::size_t baseLength = std::strlen(basePath);
    const std::size_t pathLength = std::strlen(requestPath);
    objectName[0] = 0;
    if (baseLength + pathLength >= ObjectNameSize) return false;
    std::memcpy(objectName, basePath, baseLength);
    std::memcpy(objectName + baseLength, requestPath, pathLength + 1);
    return true;
}

std::size_t ByteOrderMarkLength(std::string_view text) {
    struct Mark {
        std::string_view Bytes;
        std::size_t Length;
    };
    // Checked in order; the first match wins. Rows 6 and 7 share a prefix, so 6 must come first.
    static constexpr Mark marks[] = {
        {"\xFE\xFF", 2},
        {"\xEF\xBB\xBF", 3},
        {"\xF7\x64\x4C", 3},
        {"\x0E\xFE\xFF", 3},
        {"\xFB\xEE\x28\xFF", 4},
        {"\xFB\xEE\x28", 3},
        {std::string_view("\xFF\xFE\x00\x00", 4), 4},
        {"\x2B\x2F\x76\x38", 4},
        {"\x2B\x2F\x76\x39", 4},
        {"\x2B\x2F\x76\x2B", 4},
        {"\x2B\x2F\x76\x2F", 4},
        {"\xDD\x73\x66\x73", 4},
        {"\x84\x31\x95\x33", 4},
    };
    if (text.empty() || text[0] == 0) return 0;
    for (const Mark& mark : marks) {
        if (text.substr(0, mark.Bytes.size()) == mark.Bytes) return mark.Length;
    }
    return 0;
}
