// Any host text, with or without double-byte characters, splits inside its fields, and one found
// usable splits whole into a host to connect to; any answer's byte-order mark is no longer than
// the answer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/host_text.h"

namespace {
bool Cp949Lead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool NoLeadBytes(unsigned char) { return false; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::size_t mark = ByteOrderMarkLength(raw);
    if (mark > raw.size() || (mark != 0 && mark != 2 && mark != 3 && mark != 4)) std::abort();

    const std::string text = raw.substr(0, raw.find('\0'));
    for (LeadByteTest lead : {Cp949Lead, NoLeadBytes}) {
        HostParts parts;
        SplitHostAddress(text.c_str(), parts, lead);
        const std::size_t hostLength = strnlen(parts.Host, sizeof parts.Host);
        const std::size_t baseLength = strnlen(parts.BasePath, sizeof parts.BasePath);
        if (hostLength == sizeof parts.Host || baseLength == sizeof parts.BasePath) std::abort();
        if (baseLength != 0 && parts.BasePath[baseLength - 1] != '/') std::abort();
        if (CheckHostAddress(raw, lead) == AddressFault::None &&
            (hostLength == 0 || raw.size() > MaxHostAddressLength || text.size() != raw.size())) {
            std::abort();
        }
        char name[ObjectNameSize];
        if (BuildObjectName(name, parts.BasePath, "/Tembrix/permission_load.php") &&
            strnlen(name, sizeof name) == sizeof name) {
            std::abort();
        }
    }
    return 0;
}
