#include "app/settings.h"

#include <windows.h>

SettingsPathBlock* TheSettingsPath = nullptr;
Settings* TheSettings = nullptr;

namespace {

constexpr char Section[] = "Configuration";
constexpr char HostAddressKey[] = "HostAddress";
constexpr char DefaultHostAddress[] = "0.0.0.0";

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

}  // namespace

bool BuildSettingsPath(SettingsPathBlock* block) {
    // One byte more than a path may have: a full buffer means the name was cut.
    char modulePath[PathTextSize + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, sizeof modulePath);
    if (length == 0 || length >= PathTextSize) {
        FillSettingsPath(*block, "", IsLeadByte);
        return false;
    }
    return FillSettingsPath(*block, modulePath, IsLeadByte);
}

void LoadSettings(Settings* settings) {
    GetPrivateProfileStringA(Section, HostAddressKey, DefaultHostAddress, settings->HostAddress,
                             sizeof settings->HostAddress, settings->IniPath);
}

void SaveSettings(const Settings* settings) {
    WritePrivateProfileStringA(Section, HostAddressKey, settings->HostAddress, settings->IniPath);
}
