// The one persistent setting (the server's host address) and the terminal address chosen at
// start; read by every thread through TheSettings.
#pragma once
#include "app/settings_path.h"

constexpr std::size_t HostAddressSize = 32;
constexpr std::size_t TerminalAddressSize = 32;

struct Settings {
    char IniPath[PathTextSize];
    char HostAddress[HostAddressSize];
    char TerminalAddress[TerminalAddressSize];
};

extern SettingsPathBlock* TheSettingsPath;
extern Settings* TheSettings;

// Fills the block from this executable's path. False when the path does not fit (see
// FillSettingsPath): the caller must not go on with a cut path.
bool BuildSettingsPath(SettingsPathBlock* block);
void LoadSettings(Settings* settings);
// Each false when the file could not be written: it keeps what it held.
bool SaveSettings(const Settings* settings);
bool SaveHostAddress(const Settings* settings, const char* hostAddress);
// True when the settings file exists and this user may not write it: the address is the
// administrator's, and no user of this PC is to change it.
bool IsHostAddressManaged(const Settings* settings);
