// The one persistent setting (the server's host address) and the terminal address chosen at
// start; read by every thread through TheSettings.
#pragma once
#include "app/settings_path.h"
#include "server/host_text.h"

constexpr std::size_t TerminalAddressSize = 32;

// Where the address in use came from. The machine's policy wins over the settings file.
enum class AddressSource : unsigned char { File, Policy };

struct Settings {
    char IniPath[PathTextSize];
    // The address in use. With a Fault no server is asked: it then holds only what a policy said,
    // as far as that is text and fits, to be shown; a file's value that is too long is not held.
    char HostAddress[HostAddressSize];
    char TerminalAddress[TerminalAddressSize];
    AddressSource Source;
    AddressFault Fault;
};

extern SettingsPathBlock* TheSettingsPath;
extern Settings* TheSettings;

// Fills the block from this executable's path. False when the path does not fit (see
// FillSettingsPath): the caller must not go on with a cut path.
bool BuildSettingsPath(SettingsPathBlock* block);
// The file's address, with Source File. A value longer than any address is not cut: the Fault
// says TooLong, and the file keeps it until the user confirms another.
void LoadSettings(Settings* settings);
// Writes back an address that came from the file whole; any other is not the file's to hold, and
// nothing is written. False when the file could not be written: it keeps what it held.
bool SaveSettings(const Settings* settings);
bool SaveHostAddress(const Settings* settings, const char* hostAddress);
// The file's value however long, as far as `size` holds it, for the user to see what is stored.
void ReadStoredHostAddress(const Settings* settings, char* text, unsigned long size);
// True when the settings file exists and this user may not write it: the address is the
// administrator's, and no user of this PC is to change it.
bool IsHostAddressManaged(const Settings* settings);
