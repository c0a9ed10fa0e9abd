// Any message reaches a form parser byte for byte; any node-name answer and any node name stay
// inside their buffers; the registration address never gains a structural character from a value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/form_text.h"
#include "server/host_text.h"
#include "tests/form_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string message = raw.substr(0, std::min<std::size_t>(raw.find('\0'), MessageTextSize - 1));

    char body[FormBodySize] = "";
    if (!AppendFormField(body, sizeof body, "m", "00-1A-2B-3C-4D-5E")) std::abort();
    if (!AppendFormField(body, sizeof body, "d", message)) std::abort();  // every message fits
    const std::string text = body;
    const std::string value = text.substr(std::strlen("m=00-1A-2B-3C-4D-5E&d="));
    std::string decoded;
    if (value.find_first_of("&=") != std::string::npos || !DecodeFormValue(value, decoded) || decoded != message) {
        std::abort();
    }

    char name[NodeNameSize];
    ParseNodeNameAnswer(raw, name);
    if (strnlen(name, sizeof name) > NodeNameSize - 3) std::abort();

    const std::string node = name;
    char address[RegistrationAddressSize];
    const std::string longest(MaxHostAddressLength, 'h');
    if (!BuildRegistrationAddress(address, sizeof address, longest.c_str(), node,
                                  "00-1A-2B-3C-4D-5E")) {
        std::abort();  // the longest inputs fit
    }
    const std::string url = address;
    const std::size_t query = url.find("?n=");
    if (query == std::string::npos || url.find_first_of("#?& +", query + 3) != url.rfind("&m=")) std::abort();
    return 0;
}
