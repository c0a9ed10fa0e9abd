#include "server/form_text.h"
#include "server/host_text.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/form_decode.h"

namespace {

TEST(FormText, AddressFieldStaysByteIdentical) {
    char body[FormBodySize] = "";
    ASSERT_TRUE(AppendFormField(body, sizeof body, "m", "00-1A-2B-3C-4D-5E"));
    EXPECT_STREQ(body, "m=00-1A-2B-3C-4D-5E");
}

TEST(FormText, MessageTextReachesAFormParserUnchanged) {
    const std::string messages[] = {"a&b", "1+1", "50%", "a=b c", "\xC7\xD1\xB1\xDB 2",
                                    std::string(127, '%')};
    for (const std::string& message : messages) {
        char body[FormBodySize] = "";
        ASSERT_TRUE(AppendFormField(body, sizeof body, "m", "00-1A-2B-3C-4D-5E"));
        ASSERT_TRUE(AppendFormField(body, sizeof body, "d", message));
        const std::string text = body;
        ASSERT_EQ(text.rfind("m=00-1A-2B-3C-4D-5E&d=", 0), 0u) << text;
        const std::string value = text.substr(22);
        EXPECT_EQ(value.find_first_of("&="), std::string::npos) << text;
        std::string decoded;
        ASSERT_TRUE(DecodeFormValue(value, decoded)) << text;
        EXPECT_EQ(decoded, message);
    }
}

TEST(FormText, AFieldThatDoesNotFitLeavesTheBodyAsItWas) {
    char body[32] = "";
    ASSERT_TRUE(AppendFormField(body, sizeof body, "m", "00-1A-2B-3C-4D-5E"));
    EXPECT_FALSE(AppendFormField(body, sizeof body, "d", "%%%%"));
    EXPECT_STREQ(body, "m=00-1A-2B-3C-4D-5E");
}

TEST(FormText, NodeNameAnswer) {
    char name[NodeNameSize];
    EXPECT_TRUE(ParseNodeNameAnswer("n:PC-01", name));
    EXPECT_STREQ(name, "PC-01");
    EXPECT_TRUE(ParseNodeNameAnswer("n=Lab 3", name));
    EXPECT_STREQ(name, "Lab 3");
    EXPECT_TRUE(ParseNodeNameAnswer("n", name));
    EXPECT_STREQ(name, "");
    EXPECT_TRUE(ParseNodeNameAnswer("nx", name));
    EXPECT_STREQ(name, "");
    EXPECT_FALSE(ParseNodeNameAnswer("N:PC-01", name));
    EXPECT_FALSE(ParseNodeNameAnswer("", name));
    EXPECT_TRUE(ParseNodeNameAnswer("n:" + std::string(200, 'x'), name));
    EXPECT_EQ(std::string(name), std::string(97, 'x'));
}

TEST(FormText, UsableNodeNames) {
    EXPECT_TRUE(IsUsableNodeName(""));
    EXPECT_TRUE(IsUsableNodeName("PC-01 #2+?"));
    // Each refused character alone and inside a name, so that every one of them is needed.
    for (char bad : std::string_view("<>&'\"`%;")) {
        EXPECT_FALSE(IsUsableNodeName(std::string(1, bad))) << bad;
        EXPECT_FALSE(IsUsableNodeName("ab" + std::string(1, bad) + "cd")) << bad;
    }
}

TEST(FormText, RegistrationAddressKeepsItsStructure) {
    char address[RegistrationAddressSize];
    ASSERT_TRUE(BuildRegistrationAddress(address, sizeof address, "192.168.0.10", "PC-01",
                                         "00-1A-2B-3C-4D-5E"));
    EXPECT_STREQ(address, "http://192.168.0.10/Tembrix/register_form.php?n=PC-01&m=00-1A-2B-3C-4D-5E");

    ASSERT_TRUE(BuildRegistrationAddress(address, sizeof address, "192.168.0.10/app/", "Lab 3#1+?/=",
                                         "00-1A-2B-3C-4D-5E"));
    EXPECT_STREQ(address, "http://192.168.0.10/app//Tembrix/register_form.php?n=Lab%203%231%2B%3F%2F%3D"
                          "&m=00-1A-2B-3C-4D-5E");

    // Non-ASCII bytes are the browser's business; a stored "http://" is the address's own.
    ASSERT_TRUE(BuildRegistrationAddress(address, sizeof address, "http://h:8080", "\xC7\xD1", ""));
    EXPECT_STREQ(address, "http://h:8080/Tembrix/register_form.php?n=\xC7\xD1&m=");

    ASSERT_TRUE(BuildRegistrationAddress(address, sizeof address, "https://host/app", "PC", "m"));
    EXPECT_STREQ(address, "https://host/app/Tembrix/register_form.php?n=PC&m=m");
}

TEST(FormText, RegistrationAddressOfTheLongestInputsFits) {
    char address[RegistrationAddressSize];
    EXPECT_TRUE(BuildRegistrationAddress(address, sizeof address, std::string(MaxHostAddressLength, 'h').c_str(),
                                         std::string(97, '#'), "00-1A-2B-3C-4D-5E"));
    char small[40];
    EXPECT_FALSE(BuildRegistrationAddress(small, sizeof small, "h", "n", "m"));
    EXPECT_STREQ(small, "");
}

}  // namespace
