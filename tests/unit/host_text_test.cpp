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
    unsigned short Port = 0;
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
        {"10.0.0.5:8080", "10.0.0.5", "", false, 8080},
        {"https://h.example:8443/app", "h.example", "app/", true, 8443},
        {"http://h:65535/", "h", "/", false, 65535},
        // Not a port: left to the name lookup, which refuses it.
        {"h:0", "h:0", ""},
        {"h:65536", "h:65536", ""},
        {"h:80x", "h:80x", ""},
        {"h:", "h:", ""},
        {"0.0.0.0", "0.0.0.0", ""},
        {"", "", ""},
    };
    for (const SplitCase& c : cases) {
        HostParts parts;
        SplitHostAddress(c.Text, parts, NoLeadBytes);
        EXPECT_STREQ(parts.Host, c.Host) << c.Text;
        EXPECT_STREQ(parts.BasePath, c.BasePath) << c.Text;
        EXPECT_EQ(parts.Secure, c.Secure) << c.Text;
        EXPECT_EQ(parts.Port, c.Port) << c.Text;
    }
}

TEST(HostText, SlashInsideADoubleByteCharacterIsNotASeparator) {
    HostParts parts;
    SplitHostAddress("ab\x81/cd/ef", parts, Cp949Lead);
    EXPECT_STREQ(parts.Host, "ab\x81/cd");
    EXPECT_STREQ(parts.BasePath, "ef/");
}

TEST(HostText, TheLongestAddressSplitsWhole) {
    HostParts parts;
    const std::string host(MaxHostAddressLength, 'h');
    SplitHostAddress(host.c_str(), parts, NoLeadBytes);
    EXPECT_EQ(parts.Host, host);
    const std::string base(MaxHostAddressLength - 2, 'p');
    SplitHostAddress(("h/" + base).c_str(), parts, NoLeadBytes);
    EXPECT_EQ(parts.BasePath, base + "/");
    char name[ObjectNameSize];
    ASSERT_TRUE(BuildObjectName(name, parts.BasePath, "/Tembrix/permission_load.php"));
    EXPECT_EQ(std::string(name), base + "/Tembrix/permission_load.php");
}

TEST(HostText, OverlongTextsAreCutInsideTheirFields) {
    const std::string base(400, 'p');
    HostParts parts;
    SplitHostAddress((std::string(400, 'h') + "/" + base).c_str(), parts, NoLeadBytes);
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
}

TEST(HostText, ObjectNameThatDoesNotFitIsRefused) {
    char name[ObjectNameSize];
    EXPECT_FALSE(BuildObjectName(name, std::string(ObjectNameSize, 'b').c_str(), "/Tembrix/permission_load.php"));
    EXPECT_STREQ(name, "");
}

TEST(HostText, OnlyAnAddressTheLinkReadsAsOneIsUsable) {
    struct Case {
        std::string Text;
        AddressFault Fault;
    };
    const Case cases[] = {
        {"192.168.0.10", AddressFault::None},
        {"https://usblock-mgmt.corp.example.co.kr", AddressFault::None},
        {"http://h.example:8080/app/base/", AddressFault::None},
        {std::string(MaxHostAddressLength, 'h'), AddressFault::None},
        {"h/" + std::string(MaxHostAddressLength - 2, 'p'), AddressFault::None},
        {"", AddressFault::Empty},
        {std::string(MaxHostAddressLength + 1, 'h'), AddressFault::TooLong},
        {"ftp://h.example", AddressFault::Scheme},
        {"HTTPS://h.example", AddressFault::Scheme},
        {"https://h.example:/x", AddressFault::Port},
        {"h.example:0", AddressFault::Port},
        {"h.example:https", AddressFault::Port},
        {"mailto:a", AddressFault::Port},
        {"h.example /app", AddressFault::Space},
        {" h.example", AddressFault::Space},
        {"h.example\r\nX: y", AddressFault::Control},
        {"h.example\t", AddressFault::Control},
        {"h.example\x7F", AddressFault::Control},
        {std::string("h\0x", 3), AddressFault::Control},
        {"https://", AddressFault::NoHost},
        {"/app", AddressFault::NoHost},
        {":8080", AddressFault::NoHost},
    };
    for (const Case& c : cases) EXPECT_EQ(CheckHostAddress(c.Text, NoLeadBytes), c.Fault) << c.Text;
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
