#include "log/log_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/log_decode.h"

namespace {

using namespace std::string_literals;

constexpr LogTime Seoul{2026, 12, 9, 12, 34, 56, 789, 9 * 60};

std::string Line(std::initializer_list<LogField> fields, const char* event = "start",
                 LogLevel level = LogLevel::Info, const LogTime& time = Seoul) {
    LogLine line;
    BeginLogLine(line, time, level, event);
    for (const LogField& field : fields) AppendLogField(line, field);
    EndLogLine(line);
    EXPECT_EQ(std::string(line.Text).size(), line.Length);
    return std::string(line.Text, line.Length);
}

// The text of the one field, as written.
std::string Written(std::string_view value, std::size_t limit = 0) {
    const std::string line = Line({{"k", value, limit}});
    const std::string head = "2026-12-09T12:34:56.789+09:00 INFO start k=";
    EXPECT_EQ(line.substr(0, head.size()), head);
    return line.substr(head.size(), line.size() - head.size() - 2);
}

ReadLine Read(const std::string& text) {
    ReadLine read;
    EXPECT_TRUE(ReadLogLine(text, read)) << testing::PrintToString(text);
    return read;
}

TEST(LogLine, TimeLevelEventAndCrlf) {
    EXPECT_EQ(Line({{"host", "127.0.0.1"}, {"tls", LogYesNo(false)}}),
              "2026-12-09T12:34:56.789+09:00 INFO start host=127.0.0.1 tls=no\r\n");
    EXPECT_EQ(Line({}, "stop", LogLevel::Warn, {2027, 1, 2, 3, 4, 5, 6, -(3 * 60 + 30)}),
              "2027-01-02T03:04:05.006-03:30 WARN stop\r\n");
    EXPECT_EQ(Line({{"n", LogNumber(-42).Text}}, "x", LogLevel::Error, {2026, 6, 30, 23, 59, 59, 0, 0}),
              "2026-06-30T23:59:59.000+00:00 ERROR x n=-42\r\n");
}

TEST(LogLine, PlainValuesAreBareAndEverythingElseIsQuoted) {
    const std::pair<std::string, std::string> cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {R"(C:\tembrix\tmbxconfig.ini)", R"(C:\tembrix\tmbxconfig.ini)"},
        {"", R"("")"},
        {"a b", R"("a b")"},
        {R"(C:\Program Files\Tembrix\Tembrix.exe)", R"("C:\Program Files\Tembrix\Tembrix.exe")"},
        {"\xEC\x95\x88\xEB\x85\x95", "\"\xEC\x95\x88\xEB\x85\x95\""},  // 안녕: readable as it is
        {R"(say "hi")", R"("say %22hi%22")"},
        {"100%", "100%25"},
        {R"(a\)", R"(a\)"},
        {"tab\there", R"("tab%09here")"},
    };
    for (const auto& [value, written] : cases) EXPECT_EQ(Written(value), written) << value;
}

TEST(LogLine, NoValueBreaksTheLineOrForgesAFieldAndEachReadsBackWhole) {
    const std::string hostile[] = {
        "x\r\n2026-12-09T12:34:56.789+09:00 ERROR state pipe=TRUE cause=answer",
        "a\" pipe=TRUE",
        "\" ...",
        "...",
        "\\\"",
        "%0D%0A",
        "a=b",
        "\0\x01\x1B[31m\x7F"s,
        "\xC2\x85 next",                // U+0085, a line end to some readers
        "\xE2\x80\xA8 \xE2\x80\xA9",    // line and paragraph separators
        "\xE2\x80\xAE" "evil\xE2\x80\xAC",  // a change of direction
        "\xEF\xBB\xBF\xE2\x80\x8B\xE2\x81\xA6",
        "\xFF\xFE",                     // not UTF-8 at all
        "\xC0\x80 \xED\xA0\x80 \xF4\x90\x80\x80 \xE3\x81",  // overlong, surrogate, too high, cut short
        "\xE3\x80\x80pipe=TRUE",        // an ideographic blank
        "\xC2\xA0",
    };
    for (const std::string& value : hostile) {
        const std::string text = Line({{"said", value}, {"status", "200"}}, "state");
        const ReadLine read = Read(text);
        ASSERT_EQ(read.Fields.size(), 2u) << text;
        EXPECT_EQ(read.Event, "state");
        EXPECT_EQ(read.Fields[0].Key, "said");
        EXPECT_EQ(read.Fields[0].Value, value) << text;
        EXPECT_FALSE(read.Fields[0].Cut);
        EXPECT_EQ(read.Fields[1].Key, "status");
        EXPECT_EQ(read.Fields[1].Value, "200");
        EXPECT_FALSE(read.Dropped);
    }
    EXPECT_EQ(Written("a\r\nb"), R"("a%0D%0Ab")");
    EXPECT_EQ(Written("\xE2\x80\xA8"), R"("%E2%80%A8")");
    EXPECT_EQ(Written("\xFF"), R"("%FF")");
    EXPECT_EQ(Written("\xE3\x81"), R"("%E3%81")");
}

TEST(LogLine, ALimitCutsWholeCharactersAndSaysSo) {
    const std::string word(40, 'A');
    EXPECT_EQ(Written(word, 32), "\"" + std::string(32, 'A') + "\"...");
    EXPECT_EQ(Written(std::string(32, 'A'), 32), std::string(32, 'A'));
    std::string hangul;
    for (int i = 0; i < 40; ++i) hangul += "\xED\x95\x9C";  // 한
    const ReadLine read = Read(Line({{"said", hangul, 32}}));
    EXPECT_EQ(read.Fields[0].Value, hangul.substr(0, 32 * 3));
    EXPECT_TRUE(read.Fields[0].Cut);
    EXPECT_EQ(Written("\r\r\r", 2), R"("%0D%0D"...)");
}

TEST(LogLine, AnOverlongValueIsCutInsideItsRoomNeverInsideAnEscapeOrACharacter) {
    const std::string pieces[] = {"%", "\xED\x95\x9C", "a", "\xE2\x80\xA8", "\xFF"};
    for (const std::string& piece : pieces) {
        std::string value;
        while (value.size() < 3 * LogValueSize) value += piece;
        const std::string written = Written(value);
        EXPECT_LE(written.size(), LogValueSize) << piece;
        EXPECT_EQ(written.substr(written.size() - 4), "\"...");
        const ReadLine read = Read(Line({{"k", value}}));
        ASSERT_EQ(read.Fields.size(), 1u);
        EXPECT_TRUE(read.Fields[0].Cut);
        const std::string& kept = read.Fields[0].Value;
        EXPECT_EQ(kept.size() % piece.size(), 0u) << piece;
        EXPECT_EQ(value.substr(0, kept.size()), kept);
        EXPECT_GT(kept.size(), 0u);
    }
}

TEST(LogLine, ALineStaysInsideItsBufferAndSaysWhatItLeftOut) {
    const std::string big(LogValueSize, 'x');
    std::vector<LogField> fields;
    const char* keys[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (const char* key : keys) fields.push_back({key, big});
    LogLine line;
    BeginLogLine(line, Seoul, LogLevel::Info, "big");
    std::size_t kept = 0;
    for (const LogField& field : fields) kept += AppendLogField(line, field);
    EndLogLine(line);
    const std::string text(line.Text, line.Length);
    EXPECT_LT(line.Length, LogLineSize);
    const ReadLine read = Read(text);
    EXPECT_TRUE(read.Dropped);
    ASSERT_EQ(read.Fields.size(), kept);
    EXPECT_LT(kept, fields.size());
    for (std::size_t i = 0; i < kept; ++i) {
        EXPECT_EQ(read.Fields[i].Key, keys[i]);
        EXPECT_EQ(big.substr(0, read.Fields[i].Value.size()), read.Fields[i].Value);
    }

    // More fields than a line holds: the rest are dropped, and the line says so.
    LogLine many;
    BeginLogLine(many, Seoul, LogLevel::Info, "many");
    for (std::size_t i = 0; i < LogFieldCount + 2; ++i) {
        EXPECT_EQ(AppendLogField(many, {"n", "1"}), i < LogFieldCount) << i;
    }
    EndLogLine(many);
    const ReadLine manyRead = Read(std::string(many.Text, many.Length));
    EXPECT_EQ(manyRead.Fields.size(), LogFieldCount);
    EXPECT_TRUE(manyRead.Dropped);
}

TEST(LogLine, NamesAreKeptToTheirAlphabetAndSpansPointAtEachField) {
    LogLine line;
    BeginLogLine(line, Seoul, LogLevel::Info, "st art\r\n");
    AppendLogField(line, {"a b=\"c", "v w"});
    AppendLogField(line, {"", "1"});
    AppendLogField(line, {nullptr, "2"});
    EndLogLine(line);
    const std::string text(line.Text, line.Length);
    EXPECT_EQ(text, "2026-12-09T12:34:56.789+09:00 INFO st_art__ a_b__c=\"v w\" _=1 _=2\r\n");
    ASSERT_EQ(line.FieldCount, 3u);
    const std::string spans[] = {"a_b__c=\"v w\"", "_=1", "_=2"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(text.substr(line.Fields[i].Begin, line.Fields[i].End - line.Fields[i].Begin), spans[i]);
    }
}

}  // namespace
