// Which adapter address names this PC. Portable: the adapter list and the server's registration
// check come in as functions, so every rule is unit-tested natively over made-up lists.
#pragma once
#include <cstddef>

constexpr std::size_t AddressTextSize = 18;  // 17 characters and the NUL
constexpr char AllZeroAddressText[] = "00-00-00-00-00-00";

struct AdapterAddress {
    unsigned char Bytes[6];
};

// Reads the adapter list afresh: fills at most `capacity` entries in the system's order and
// returns how many adapters there are (which may exceed `capacity`); 0 when there are none or
// the list cannot be read.
using AdapterListReader = int (*)(AdapterAddress* addresses, int capacity, void* context);
// True when the server reports the address text as registered.
using RegistrationCheck = bool (*)(const char* addressText, void* context);

struct AdapterSource {
    AdapterListReader Read;
    RegistrationCheck IsRegistered;
    void* Context;
};

// Six bytes as "%02X-%02X-%02X-%02X-%02X-%02X".
void FormatAdapterAddress(const unsigned char (&bytes)[6], char (&text)[AddressTextSize]);

int CountAdapters(const AdapterSource& source);

// The requested adapter's text when it is not all-zero; otherwise (and past the end) the last
// adapter's text. The server's existing registrations rely on this stand-in rule.
void AdapterAddressAt(const AdapterSource& source, int position, char (&text)[AddressTextSize]);

// The first non-zero address text in list order, or the all-zero text.
void FirstNonZeroAdapterAddress(const AdapterSource& source, char (&text)[AddressTextSize]);

// Offers the candidate of each position in turn; true with the accepted text, or false with the
// last candidate offered (or an empty text when there were none).
bool FindRegisteredAdapterAddress(const AdapterSource& source, char (&text)[AddressTextSize]);

// The whole choice: a registered candidate, else the first non-zero address, else all-zero.
void ChooseTerminalAddress(const AdapterSource& source, char (&text)[AddressTextSize]);
