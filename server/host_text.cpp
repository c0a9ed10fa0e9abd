#include "server/host_text.h"

#include <cstring>

namespace {

// Copies at most size - 1 bytes and always terminates.
void CopyBounded(char* target, std::size_t size, const char* source, std::size_t length) {
    if (length >= size) length = size - 1;
    std::memcpy(target, source, length);
    target[length] = 0;
}

}  // namespace

void SplitHostAddress(const char* hostAddress, HostParts& parts, LeadByteTest isLeadByte) {
    parts.Host[0] = parts.BasePath[0] = 0;

    const char* rest = hostAddress;
    parts.Secure = std::strncmp(rest, SecurePrefix, SecurePrefixLength) == 0;
    if (parts.Secure) {
        rest += SecurePrefixLength;
    } else if (std::strncmp(rest, "http://", 7) == 0) {
        rest += 7;
    }
    const std::size_t length = std::strlen(rest);

    std::size_t slash = length;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(rest[i]);
        if (isLeadByte(c) && i + 1 < length) {
            ++i;
            continue;
        }
        if (c == '/') {
            slash = i;
            break;
        }
    }

    CopyBounded(parts.Host, sizeof parts.Host, rest, slash);
    if (slash == length) return;

    // Keep room for the '/' that may have to be appended.
    CopyBounded(parts.BasePath, sizeof parts.BasePath - 1, rest + slash + 1, length - slash - 1);
    const std::size_t baseLength = std::strlen(parts.BasePath);
    if (baseLength == 0 || parts.BasePath[baseLength - 1] != '/') {
        parts.BasePath[baseLength] = '/';
        parts.BasePath[baseLength + 1] = 0;
    }
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
