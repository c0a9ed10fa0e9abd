#include "identity/terminal_address.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "identity/adapter_choice.h"
#include "log/agent_log.h"
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

// Every candidate and the final choice pass through a UTF-16 working text on their way to an
// 8-bit target, as the agents the server already knows do. For hexadecimal digits and hyphens
// the round trip is exact in every ANSI code page, so the text sent equals the text formatted.
constexpr int QueryTextSize = 32;
static_assert(QueryTextSize >= static_cast<int>(AddressTextSize), "an address text fits the query text");

void ThroughWorkingText(const char* text, char (&target)[QueryTextSize]) {
    wchar_t working[AddressTextSize] = {};
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(AddressTextSize), working,
                        static_cast<int>(AddressTextSize));
    working[AddressTextSize - 1] = 0;
    const int units = lstrlenW(working);
    // No default character: Windows refuses one (ERROR_INVALID_PARAMETER) when the ANSI code page
    // is UTF-8, which would leave the address empty and the PC unable ever to be registered or
    // granted. Wine accepts it, so this cannot be shown under Wine. The formatted text is ASCII:
    // should a narrowing fail all the same, it is the right answer as it stands.
    if (WideCharToMultiByte(CP_ACP, 0, working, units + 1, target, units + 1, nullptr, nullptr) == 0) {
        std::memcpy(target, text, AddressTextSize);
        target[AddressTextSize - 1] = 0;
    }
}

// The candidates offered to the server, in order, for the terminal line: "address:yes|no,…".
// Room for more than a value shows: a list that outgrows it stops growing, and the line marks
// the value cut.
struct Candidates {
    char Text[LogValueSize + AddressTextSize + 4];
    std::size_t Length;
    int Count;
    bool LastRegistered;
};

void NoteCandidate(Candidates& candidates, const char* address, bool registered) {
    ++candidates.Count;
    candidates.LastRegistered = registered;
    if (candidates.Length > LogValueSize) return;
    const int written = std::snprintf(candidates.Text + candidates.Length, sizeof candidates.Text - candidates.Length,
                                      "%s%s:%s", candidates.Length == 0 ? "" : ",", address, LogYesNo(registered));
    if (written > 0) candidates.Length += static_cast<std::size_t>(written);
    if (candidates.Length >= sizeof candidates.Text) candidates.Length = sizeof candidates.Text - 1;
}

bool IsRegisteredOnServer(const char* addressText, void* context) {
    char query[QueryTextSize];
    ThroughWorkingText(addressText, query);
    const bool registered = CheckRegistration(query);
    NoteCandidate(*static_cast<Candidates*>(context), query, registered);
    return registered;
}

}  // namespace

void SelectTerminalAddress() {
    Candidates candidates = {};
    const AdapterSource source{ReadSystemAdapters, IsRegisteredOnServer, &candidates};
    char text[AddressTextSize];
    ChooseTerminalAddress(source, text);
    static_assert(sizeof TheSettings->TerminalAddress == QueryTextSize, "the stored text is a query text");
    ThroughWorkingText(text, TheSettings->TerminalAddress);
    // A registered candidate ends the search and is the choice; otherwise none was registered.
    WriteLog(LogLevel::Info, "terminal",
             {{"address", TheSettings->TerminalAddress}, {"registered", LogYesNo(candidates.LastRegistered)},
              {"offered", LogNumber(candidates.Count).Text}, {"candidates", candidates.Text}});
}
