#include "app/settings_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool NoLeadBytes(unsigned char) { return false; }
// Code page 949: lead bytes 0x81 to 0xFE; trail bytes include the ASCII capitals.
bool Cp949Lead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

TEST(SettingsPath, BesideTheExecutableInLowerCase) {
    SettingsPathBlock block;
    ASSERT_TRUE(FillSettingsPath(block, "C:\\Tools\\Agent\\Tembrix.exe", NoLeadBytes));
    EXPECT_STREQ(block.Directory, "c:\\tools\\agent\\");
    EXPECT_STREQ(block.FileName, "tmbxconfig.ini");
    EXPECT_STREQ(block.FullPath, "c:\\tools\\agent\\tmbxconfig.ini");
}

TEST(SettingsPath, DoubleByteNamesKeepTheirTrailBytes) {
    // 0xB0 0x41 is one character whose trail byte is 'A'; folding it would name another folder.
    // 0x81 0x5C hides a backslash byte inside a character: it is not a separator.
    SettingsPathBlock block;
    ASSERT_TRUE(FillSettingsPath(block, "C:\\\xB0\x41\\X\x81\\Y.exe", Cp949Lead));
    EXPECT_EQ(std::string(block.Directory), "c:\\\xB0\x41\\");
    EXPECT_EQ(std::string(block.FullPath), "c:\\\xB0\x41\\tmbxconfig.ini");
}

TEST(SettingsPath, RefusesAPathThatWouldBeCut) {
    SettingsPathBlock block;
    const std::string fits = "C:\\" + std::string(259 - 3 - 14 - 1, 'd') + "\\T.exe";  // dir + name = 259
    ASSERT_TRUE(FillSettingsPath(block, fits.c_str(), NoLeadBytes));
    EXPECT_EQ(std::string(block.FullPath).size(), 259u);

    const std::string tooLong = "C:\\" + std::string(259 - 3 - 14, 'd') + "\\T.exe";
    EXPECT_FALSE(FillSettingsPath(block, tooLong.c_str(), NoLeadBytes));
    EXPECT_STREQ(block.FullPath, "");
    EXPECT_STREQ(block.Directory, "");
}

TEST(SettingsPath, LowerCaseLeavesALoneLeadByteAtTheEnd) {
    char text[] = "AB\xB0";
    LowerCaseAnsi(text, Cp949Lead);
    EXPECT_STREQ(text, "ab\xB0");
}

}  // namespace
