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
void SaveSettings(const Settings* settings);
