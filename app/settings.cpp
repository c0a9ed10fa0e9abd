#include "app/settings.h"

#include <windows.h>

#include <cstring>

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
    settings->Source = AddressSource::File;
    settings->Fault = AddressFault::None;
    // One byte more than an address may have: a value that fills it is longer than any.
    char value[HostAddressSize + 1];
    const DWORD length =
        GetPrivateProfileStringA(Section, HostAddressKey, DefaultHostAddress, value, sizeof value, settings->IniPath);
    if (length > MaxHostAddressLength) {
        settings->Fault = AddressFault::TooLong;
        settings->HostAddress[0] = 0;
        return;
    }
    std::memcpy(settings->HostAddress, value, length + 1);
}

bool SaveSettings(const Settings* settings) {
    if (settings->Source != AddressSource::File || settings->Fault != AddressFault::None) return true;
    return SaveHostAddress(settings, settings->HostAddress);
}

void ReadStoredHostAddress(const Settings* settings, char* text, unsigned long size) {
    GetPrivateProfileStringA(Section, HostAddressKey, DefaultHostAddress, text, size, settings->IniPath);
}

bool SaveHostAddress(const Settings* settings, const char* hostAddress) {
    return WritePrivateProfileStringA(Section, HostAddressKey, hostAddress, settings->IniPath) != FALSE;
}

bool IsHostAddressManaged(const Settings* settings) {
    // Opening for writing writes nothing. Only a refusal counts: a missing file is made by the
    // next save, and one that another program holds open is written by a later save.
    HANDLE file = CreateFileA(settings->IniPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}
