#include "identity/adapter_choice.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The usual PC's list fits the fixed part, so a read costs no heap memory; only a longer list
// (VPN, container or virtual-machine adapters) is read whole into memory of its size.
constexpr int FixedAdapterCount = 16;

struct AdapterList {
    AdapterAddress Fixed[FixedAdapterCount];
    std::vector<AdapterAddress> Longer;
    const AdapterAddress* Items = Fixed;
    int Count = 0;
};

// One fresh read of the whole list, however long it is. A list that keeps growing between two
// reads is given up on (no adapters) rather than chased for ever.
void ReadAdapters(const AdapterSource& source, AdapterList& list) {
    int count = source.Read(list.Fixed, FixedAdapterCount, source.Context);
    if (count <= FixedAdapterCount) {
        list.Count = count > 0 ? count : 0;
        return;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        list.Longer.resize(static_cast<std::size_t>(count));
        const int again = source.Read(list.Longer.data(), count, source.Context);
        if (again <= count) {
            list.Items = list.Longer.data();
            list.Count = again > 0 ? again : 0;
            return;
        }
        count = again;
    }
    list.Count = 0;
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
    AdapterList list;
    ReadAdapters(source, list);
    return list.Count;
}

void AdapterAddressAt(const AdapterSource& source, int position, char (&text)[AddressTextSize]) {
    text[0] = 0;
    AdapterList list;
    ReadAdapters(source, list);
    for (int i = 0; i < list.Count; ++i) {
        FormatAdapterAddress(list.Items[i].Bytes, text);
        if (i == position && !IsAllZero(text)) return;
    }
}

void FirstNonZeroAdapterAddress(const AdapterSource& source, char (&text)[AddressTextSize]) {
    std::memcpy(text, AllZeroAddressText, sizeof AllZeroAddressText);
    AdapterList list;
    ReadAdapters(source, list);
    for (int i = 0; i < list.Count; ++i) {
        FormatAdapterAddress(list.Items[i].Bytes, text);
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
