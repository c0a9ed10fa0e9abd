#include "server/host_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool NoLeadBytes(unsigned char) { return false; }
bool Cp949Lead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

struct SplitCase {
    const char* Text;
    const char* Host;
    const char* BasePath;
    bool Secure = false;
};

TEST(HostText, SplitsHostAndBasePath) {
    const SplitCase cases[] = {
        {"192.168.0.10", "192.168.0.10", ""},
        {"http://192.168.0.10", "192.168.0.10", ""},
        {"192.168.0.10/", "192.168.0.10", "/"},
        {"192.168.0.10/app", "192.168.0.10", "app/"},
        {"192.168.0.10/a/b", "192.168.0.10", "a/b/"},
        {"http://192.168.0.10/app/", "192.168.0.10", "app/"},
        {"HTTP://192.168.0.10", "HTTP:", "/192.168.0.10/"},
        {"https://10.0.0.5", "10.0.0.5", "", true},
        {"https://h.example/app", "h.example", "app/", true},
        {"HTTPS://10.0.0.5", "HTTPS:", "/10.0.0.5/"},
        {"https:/10.0.0.5", "https:", "10.0.0.5/"},
        {"10.0.0.5:8080", "10.0.0.5:8080", ""},
        {"0.0.0.0", "0.0.0.0", ""},
        {"", "", ""},
    };
    for (const SplitCase& c : cases) {
        HostParts parts;
        SplitHostAddress(c.Text, parts, NoLeadBytes);
        EXPECT_STREQ(parts.Host, c.Host) << c.Text;
        EXPECT_STREQ(parts.BasePath, c.BasePath) << c.Text;
        EXPECT_EQ(parts.Secure, c.Secure) << c.Text;
    }
}

TEST(HostText, SlashInsideADoubleByteCharacterIsNotASeparator) {
    HostParts parts;
    SplitHostAddress("ab\x81/cd/ef", parts, Cp949Lead);
    EXPECT_STREQ(parts.Host, "ab\x81/cd");
    EXPECT_STREQ(parts.BasePath, "ef/");
}

TEST(HostText, OverlongTextsAreCutInsideTheirFields) {
    const std::string base(200, 'p');
    HostParts parts;
    SplitHostAddress((std::string(200, 'h') + "/" + base).c_str(), parts, NoLeadBytes);
    EXPECT_EQ(std::string(parts.Host).size(), HostTextSize - 1);
    const std::string basePath = parts.BasePath;
    EXPECT_EQ(basePath.size(), BasePathSize - 1);
    EXPECT_EQ(basePath.back(), '/');
}

TEST(HostText, ObjectNamePutsTheBasePathBeforeTheScript) {
    char name[ObjectNameSize];
    ASSERT_TRUE(BuildObjectName(name, "", "/Tembrix/permission_load.php"));
    EXPECT_STREQ(name, "Tembrix/permission_load.php");
    ASSERT_TRUE(BuildObjectName(name, "", "Tembrix/message_post.php"));
    EXPECT_STREQ(name, "Tembrix/message_post.php");
    ASSERT_TRUE(BuildObjectName(name, "/", "/Tembrix/permission_load.php"));
    EXPECT_STREQ(name, "/Tembrix/permission_load.php");
    ASSERT_TRUE(BuildObjectName(name, "app/", "/Tembrix/permission_load.php"));
    EXPECT_STREQ(name, "app/Tembrix/permission_load.php");
    // The longest base path (31) and the longest script (27) fit.
    const std::string longest(30, 'a');
    ASSERT_TRUE(BuildObjectName(name, (longest + "/").c_str(), "/Tembrix/permission_load.php"));
    EXPECT_EQ(std::string(name).size(), 58u);
}

TEST(HostText, ObjectNameThatDoesNotFitIsRefused) {
    char name[ObjectNameSize];
    EXPECT_FALSE(BuildObjectName(name, std::string(40, 'b').c_str(), "/Tembrix/permission_load.php"));
    EXPECT_STREQ(name, "");
}

TEST(HostText, ByteOrderMarks) {
    using namespace std::string_literals;
    struct Case {
        std::string Text;
        std::size_t Length;
    };
    const Case cases[] = {
        {"", 0},
        {"\0TRUE"s, 0},
        {"\xFE\xFFTRUE", 2},
        {"\xEF\xBB\xBFTRUE", 3},
        {"\xF7\x64\x4C", 3},
        {"\x0E\xFE\xFF", 3},
        {"\xFB\xEE\x28\xFF\x41", 4},
        {"\xFB\xEE\x28", 3},
        {"\xFB\xEE\x28\x41", 3},
        {"\xFF\xFE\0\0"s, 4},
        {"\xFF\xFETRUE", 0},
        {"\x2B\x2F\x76\x38", 4},
        {"\x2B\x2F\x76\x39", 4},
        {"\x2B\x2F\x76\x2B", 4},
        {"\x2B\x2F\x76\x2F", 4},
        {"\x2B\x2F\x76\x41", 0},
        {"\xDD\x73\x66\x73", 4},
        {"\x84\x31\x95\x33", 4},
        {"\xEF\xBB", 0},
        {"TRUE", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ByteOrderMarkLength(c.Text), c.Length) << testing::PrintToString(c.Text);
}

}  // namespace
