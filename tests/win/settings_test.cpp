// The settings file as the real profile calls read and write it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/settings.h"

namespace {

std::string TempIni(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    std::string path = std::string(dir) + name;
    DeleteFileA(path.c_str());
    return path;
}

std::string ReadWholeFile(const std::string& path) {
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
    CloseHandle(file);
    return text;
}

TEST(Settings, MissingFileGivesTheDefaultAndSavingCreatesIt) {
    Settings settings = {};
    std::strcpy(settings.IniPath, TempIni("tmbx_missing.ini").c_str());
    LoadSettings(&settings);
    EXPECT_STREQ(settings.HostAddress, "0.0.0.0");
    SaveSettings(&settings);
    const std::string text = ReadWholeFile(settings.IniPath);
    EXPECT_NE(text.find("[Configuration]"), std::string::npos) << text;
    EXPECT_NE(text.find("HostAddress=0.0.0.0"), std::string::npos) << text;
}

TEST(Settings, TheLongestAddressIsReadWholeAndALongerOneIsNeitherUsedNorWrittenBack) {
    Settings settings = {};
    std::strcpy(settings.IniPath, TempIni("tmbx_long.ini").c_str());
    const std::string longest = "h/" + std::string(MaxHostAddressLength - 2, 'p');
    WritePrivateProfileStringA("Configuration", "HostAddress", longest.c_str(), settings.IniPath);
    LoadSettings(&settings);
    EXPECT_EQ(std::string(settings.HostAddress), longest);
    EXPECT_EQ(settings.Fault, AddressFault::None);

    const std::string longer = longest + "q";
    WritePrivateProfileStringA("Configuration", "HostAddress", longer.c_str(), settings.IniPath);
    const std::string stored = ReadWholeFile(settings.IniPath);
    LoadSettings(&settings);
    EXPECT_EQ(settings.Fault, AddressFault::TooLong);
    EXPECT_STREQ(settings.HostAddress, "");
    EXPECT_TRUE(SaveSettings(&settings));
    EXPECT_EQ(ReadWholeFile(settings.IniPath), stored);
    char shown[1024];
    ReadStoredHostAddress(&settings, shown, sizeof shown);
    EXPECT_EQ(std::string(shown), longer);
}

TEST(Settings, PathIsBesideThisExecutableInLowerCase) {
    SettingsPathBlock block;
    ASSERT_TRUE(BuildSettingsPath(&block));
    char module[MAX_PATH];
    GetModuleFileNameA(nullptr, module, sizeof module);
    std::string expected = module;
    expected.erase(expected.rfind('\\') + 1);
    for (char& c : expected) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(std::string(block.Directory), expected);
    EXPECT_EQ(std::string(block.FullPath), expected + "tmbxconfig.ini");
}

}  // namespace
