#include "identity/adapter_choice.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// One fresh read of the whole list, however long it is.
std::vector<AdapterAddress> ReadAdapters(const AdapterSource& source) {
    std::vector<AdapterAddress> list(16);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int count = source.Read(list.data(), static_cast<int>(list.size()), source.Context);
        if (count <= static_cast<int>(list.size())) {
            list.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
            return list;
        }
        list.resize(static_cast<std::size_t>(count));  // grew between two reads: read again
    }
    return {};
}

bool IsAllZero(const char (&text)[AddressTextSize]) {
    return std::strcmp(text, AllZeroAddressText) == 0;
}

}  // namespace

void FormatAdapterAddress(const unsigned char (&bytes)[6], char (&text)[AddressTextSize]) {
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", unsigned{bytes[0]},
                  unsigned{bytes[1]}, unsigned{bytes[2]}, unsigned{bytes[3]}, unsigned{bytes[4]},
                  unsigned{bytes[5]});
}

int CountAdapters(const AdapterSource& source) {
    return static_cast<int>(ReadAdapters(source).size());
}

void AdapterAddressAt(const AdapterSource& source, int position, char (&text)[AddressTextSize]) {
    text[0] = 0;
    const std::vector<AdapterAddress> list = ReadAdapters(source);
    for (std::size_t i = 0; i < list.size(); ++i) {
        FormatAdapterAddress(list[i].Bytes, text);
        if (static_cast<int>(i) == position && !IsAllZero(text)) return;
    }
}

void FirstNonZeroAdapterAddress(const AdapterSource& source, char (&text)[AddressTextSize]) {
    std::memcpy(text, AllZeroAddressText, sizeof AllZeroAddressText);
    for (const AdapterAddress& adapter : ReadAdapters(source)) {
        FormatAdapterAddress(adapter.Bytes, text);
        if (!IsAllZero(text)) return;
    }
    std::memcpy(text, AllZeroAddressText, sizeof AllZeroAddressText);
}

bool FindRegisteredAdapterAddress(const AdapterSource& source, char (&text)[AddressTextSize]) {
    text[0] = 0;
    for (int position = 0; position < CountAdapters(source); ++position) {
        AdapterAddressAt(source, position, text);
        if (source.IsRegistered(text, source.Context)) return true;
    }
    return false;
}

void ChooseTerminalAddress(const AdapterSource& source, char (&text)[AddressTextSize]) {
    if (!FindRegisteredAdapterAddress(source, text)) FirstNonZeroAdapterAddress(source, text);
}
