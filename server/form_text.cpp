#include "server/form_text.h"

#include "server/host_text.h"

#include <cstring>

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Bounded appender: every write checks the room left and a failure sticks.
struct Writer {
    char* Text;
    std::size_t Size;
    std::size_t Length;
    bool Fits = true;

    void Put(char c) {
        if (Length + 1 >= Size) {
            Fits = false;
            return;
        }
        Text[Length++] = c;
        Text[Length] = 0;
    }
    void Put(std::string_view s) {
        for (char c : s) Put(c);
    }
    void PutEscaped(unsigned char c) {
        Put('%');
        Put(HexDigits[c >> 4]);
        Put(HexDigits[c & 15]);
    }
};

}  // namespace

bool AppendFormField(char* body, std::size_t bodySize, const char* name, std::string_view value) {
    const std::size_t start = strnlen(body, bodySize);
    if (start >= bodySize) return false;
    Writer w{body, bodySize, start};
    if (start != 0) w.Put('&');
    w.Put(name);
    w.Put('=');
    for (char ch : value) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '*') {
            w.Put(ch);
        } else if (c == ' ') {
            w.Put('+');
        } else {
            w.PutEscaped(c);
        }
    }
    if (!w.Fits) body[start] = 0;
    return w.Fits;
}

bool ParseNodeNameAnswer(std::string_view answer, char (&nodeName)[NodeNameSize]) {
    nodeName[0] = 0;
    if (answer.empty() || answer[0] != 'n') return false;
    std::string_view name = answer.size() > 2 ? answer.substr(2) : std::string_view();
    name = name.substr(0, name.find('\0'));
    if (name.size() > NodeNameSize - 3) name = name.substr(0, NodeNameSize - 3);
    if (!name.empty()) std::memcpy(nodeName, name.data(), name.size());
    nodeName[name.size()] = 0;
    return true;
}

bool IsUsableNodeName(std::string_view text) {
    return text.find_first_of("<>&'\"`%;") == std::string_view::npos;
}

bool BuildRegistrationAddress(char* address, std::size_t addressSize, const char* hostAddress,
                              std::string_view nodeName, std::string_view terminalAddress) {
    Writer w{address, addressSize, 0};
    address[0] = 0;
    auto putValue = [&w](std::string_view value) {
        for (char ch : value) {
            const unsigned char c = static_cast<unsigned char>(ch);
            // Unreserved ASCII and every non-ASCII byte pass; other ASCII could end the value.
            if (c >= 0x80 || IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
                w.Put(ch);
            } else {
                w.PutEscaped(c);
            }
        }
    };
    // A TLS link's form is served over TLS too: the stored "https://" is the address's own.
    if (std::strncmp(hostAddress, SecurePrefix, SecurePrefixLength) != 0 &&
        std::strncmp(hostAddress, PlainPrefix, PlainPrefixLength) != 0) {
        w.Put(PlainPrefix);
    }
    w.Put(hostAddress);
    w.Put("/Tembrix/register_form.php?n=");
    putValue(nodeName);
    w.Put("&m=");
    putValue(terminalAddress);
    if (!w.Fits) address[0] = 0;
    return w.Fits;
}
