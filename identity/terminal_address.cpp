#include "identity/terminal_address.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "identity/adapter_choice.h"
#include "server/queries.h"

namespace {

// Room for 16 records of the Windows layout; a longer list is read with a buffer of the size
// the system asks for, so that a PC with many virtual adapters still names itself.
constexpr ULONG FixedListSize = 10368;
constexpr ULONG LargestListSize = 4 * 1024 * 1024;

int ReadSystemAdapters(AdapterAddress* addresses, int capacity, void*) {
    alignas(IP_ADAPTER_INFO) unsigned char fixed[FixedListSize];
    unsigned char* buffer = fixed;
    ULONG size = FixedListSize;
    DWORD result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer), &size);
    for (int attempt = 0; result == ERROR_BUFFER_OVERFLOW && attempt < 4 && size <= LargestListSize; ++attempt) {
        if (buffer != fixed) std::free(buffer);
        buffer = static_cast<unsigned char*>(std::malloc(size));
        if (buffer == nullptr) return 0;
        result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer), &size);
    }
    int count = 0;
    if (result == ERROR_SUCCESS) {
        for (auto* adapter = reinterpret_cast<IP_ADAPTER_INFO*>(buffer); adapter != nullptr; adapter = adapter->Next) {
            // The first six bytes of the field, whatever length the adapter states.
            if (count < capacity) std::memcpy(addresses[count].Bytes, adapter->Address, 6);
            ++count;
        }
    }
    if (buffer != fixed) std::free(buffer);
    return count;
}

bool IsRegisteredOnServer(const char* addressText, void*) { return CheckRegistration(addressText); }

}  // namespace

void SelectTerminalAddress() {
    const AdapterSource source{ReadSystemAdapters, IsRegisteredOnServer, nullptr};
    char text[AddressTextSize];
    ChooseTerminalAddress(source, text);
    std::memcpy(TheSettings->TerminalAddress, text, sizeof text);
}
