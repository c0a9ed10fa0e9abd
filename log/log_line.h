// One line of the agent's log: `<local time> <LEVEL> <event> key=value …` and its CRLF, in UTF-8.
// Portable: no Windows call, so every rule is unit-tested and fuzzed natively.
//
// No value can break a line, forge a field or hide what it holds:
// - A value is written bare when it is a run of printable ASCII without a blank; otherwise (empty,
//   a blank, any other byte) it is quoted: `"…"`.
// - Inside a value, `%`, `"`, every control character (C0, DEL, C1), the invisible and direction
//   controls (U+200B–U+200F, U+2028–U+202E, U+2060–U+206F, U+FEFF) and every byte that is not part
//   of well-formed UTF-8 are written as `%XX`, one per byte (upper-case hexadecimal). So a quoted
//   value ends at the next `"`, and percent-decoding gives back the bytes given. Backslashes stay
//   as they are: Windows paths read as paths.
// - A value that does not fit is cut at a character, never inside a `%XX` or a UTF-8 sequence,
//   and written quoted with `...` right after its closing quote (`said="TRUEAAAA"...`). It is cut
//   at its field's own limit, at LogValueSize bytes, or at what is left of the line.
// - A field that has no room left at all is dropped, and so is every field after it; the line
//   then ends with ` ...`, a token without `=` that no value can produce.
// - Event names and keys are ours; any byte outside [A-Za-z0-9._-] in them becomes `_`.
#pragma once
#include <cstddef>
#include <string_view>

constexpr std::size_t LogLineSize = 2048;  // the longest line with its CRLF, and a NUL
constexpr std::size_t LogValueSize = 512;  // the most one value takes: quotes, escapes, cut mark
constexpr std::size_t LogNameSize = 32;    // the most an event name or a key takes, with a NUL
constexpr std::size_t LogFieldCount = 16;  // fields a line may hold
constexpr std::size_t LogTimeLength = 29;  // 2026-12-09T12:34:56.789+09:00

enum class LogLevel { Info, Warn, Error };

// One key=value. Limit, when not 0, is the most characters of the value that are written (a
// server's word, say); a character is a UTF-8 sequence, or one byte that is not part of one.
struct LogField {
    const char* Key;
    std::string_view Value;
    std::size_t Limit = 0;
};

// A local time and the offset of local time from UTC, in minutes (east positive).
struct LogTime {
    int Year, Month, Day, Hour, Minute, Second, Millisecond, OffsetMinutes;
};

// Where one written field ("key=value", cut mark included) stands in the line's text.
struct LogFieldSpan {
    std::size_t Begin, End;
};

struct LogLine {
    char Text[LogLineSize];
    std::size_t Length;  // without the NUL; with the CRLF once the line is ended
    LogFieldSpan Fields[LogFieldCount];
    std::size_t FieldCount;
    bool Dropped;  // a field did not fit: it and every later one were left out
};

// Starts a line with its time, level and event name.
void BeginLogLine(LogLine& line, const LogTime& time, LogLevel level, const char* event);
// Adds one field whose value is UTF-8 (any bytes are safe). False when it had to be dropped.
bool AppendLogField(LogLine& line, const LogField& field);
// Adds the dropped-fields mark if any, and the CRLF.
void EndLogLine(LogLine& line);

// Numbers and yes/no as values.
struct LogNumberText {
    char Text[24];
};
LogNumberText LogNumber(long long value);
inline const char* LogYesNo(bool yes) { return yes ? "yes" : "no"; }
