#include "log/log_line.h"

#include <cstdio>
#include <cstring>

namespace {

// Room kept at the end of every line for the dropped-fields mark, the CRLF and the NUL.
constexpr char DroppedMark[] = " ...";
constexpr char CutMark[] = "...";
constexpr std::size_t FieldsEnd = LogLineSize - (sizeof DroppedMark - 1) - 2 - 1;

struct Character {
    std::size_t Length;  // bytes of the input it takes
    bool Escaped;        // written as %XX per byte
};

bool IsContinuation(unsigned char c, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return c >= low && c <= high;
}

bool IsHidden(unsigned long c) {
    return c < 0x20 || c == '"' || c == '%' || c == 0x7F || (c >= 0x80 && c <= 0x9F) ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
           c == 0xFEFF;
}

// The character at the start of `text` (never empty): a well-formed UTF-8 sequence, or one byte
// that does not start one.
Character NextCharacter(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const unsigned char b = p[0];
    if (b < 0x80) return {1, IsHidden(b)};
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    unsigned long c = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3, c = b & 0x0F;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4, c = b & 0x07;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return {1, true};
    }
    if (n < length || !IsContinuation(p[1], low, high)) return {1, true};
    for (std::size_t i = 1; i < length; ++i) {
        if (!IsContinuation(p[i])) return {1, true};
        c = (c << 6) | (p[i] & 0x3F);
    }
    return {length, IsHidden(c)};
}

std::size_t WrittenSize(const Character& c) { return c.Escaped ? 3 * c.Length : c.Length; }

void Put(LogLine& line, const char* text, std::size_t length) {
    std::memcpy(line.Text + line.Length, text, length);
    line.Length += length;
    line.Text[line.Length] = 0;
}

void PutCharacter(LogLine& line, const char* text, const Character& c) {
    if (!c.Escaped) {
        Put(line, text, c.Length);
        return;
    }
    static const char Hex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < c.Length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const char escape[3] = {'%', Hex[byte >> 4], Hex[byte & 0x0F]};
        Put(line, escape, 3);
    }
}

// An event name or a key as written: our own words, kept to [A-Za-z0-9._-] whatever is given.
std::size_t PutName(LogLine& line, const char* name) {
    std::size_t length = 0;
    for (; name != nullptr && name[length] != 0 && length < LogNameSize - 1; ++length) {
        const char c = name[length];
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '_' || c == '-';
        Put(line, plain ? &c : "_", 1);
    }
    if (length == 0) {
        Put(line, "_", 1);
        length = 1;
    }
    return length;
}

std::size_t NameLength(const char* name) {
    const std::size_t length = name == nullptr ? 0 : strnlen(name, LogNameSize - 1);
    return length == 0 ? 1 : length;
}

int Clamp(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

}  // namespace

void BeginLogLine(LogLine& line, const LogTime& time, LogLevel level, const char* event) {
    line.Length = 0;
    line.FieldCount = 0;
    line.Dropped = false;
    const int offset = Clamp(time.OffsetMinutes, -(99 * 60 + 59), 99 * 60 + 59);
    const int offsetSize = offset < 0 ? -offset : offset;
    const int written = std::snprintf(line.Text, LogTimeLength + 1, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                                      Clamp(time.Year, 0, 9999), Clamp(time.Month, 1, 12), Clamp(time.Day, 1, 31),
                                      Clamp(time.Hour, 0, 23), Clamp(time.Minute, 0, 59), Clamp(time.Second, 0, 60),
                                      Clamp(time.Millisecond, 0, 999), offset < 0 ? '-' : '+', offsetSize / 60,
                                      offsetSize % 60);
    line.Length = written > 0 ? static_cast<std::size_t>(written) : 0;
    const char* name = level == LogLevel::Error ? " ERROR " : level == LogLevel::Warn ? " WARN " : " INFO ";
    Put(line, name, std::strlen(name));
    PutName(line, event);
}

bool AppendLogField(LogLine& line, const LogField& field) {
    const std::size_t keyLength = NameLength(field.Key);
    // " key=" and, at the least, a cut value that holds no character: `""...`.
    const std::size_t least = 1 + keyLength + 1 + 2 + (sizeof CutMark - 1);
    if (line.Dropped || line.FieldCount == LogFieldCount || line.Length + least > FieldsEnd) {
        line.Dropped = true;
        return false;
    }
    std::size_t valueRoom = FieldsEnd - line.Length - (1 + keyLength + 1);
    if (valueRoom > LogValueSize) valueRoom = LogValueSize;

    const std::string_view value = field.Value;
    std::size_t characters = 0, size = 0;
    bool bare = !value.empty();
    for (std::size_t at = 0; at < value.size();) {
        const Character c = NextCharacter(value.substr(at));
        const auto first = static_cast<unsigned char>(value[at]);
        if (first < 0x21 || first > 0x7E) bare = false;
        ++characters;
        size += WrittenSize(c);
        at += c.Length;
    }
    const bool cut = (field.Limit != 0 && characters > field.Limit) || size + (bare ? 0 : 2) > valueRoom;

    Put(line, " ", 1);
    const std::size_t begin = line.Length;
    PutName(line, field.Key);
    Put(line, "=", 1);
    if (!bare || cut) Put(line, "\"", 1);
    const std::size_t valueBegin = line.Length;
    // A cut value keeps its closing quote and the cut mark inside its room.
    const std::size_t textRoom = cut ? valueRoom - 1 - 1 - (sizeof CutMark - 1) : size;
    std::size_t written = 0;
    for (std::size_t at = 0, count = 0; at < value.size(); ++count) {
        const Character c = NextCharacter(value.substr(at));
        if (cut && ((field.Limit != 0 && count == field.Limit) || written + WrittenSize(c) > textRoom)) break;
        PutCharacter(line, value.data() + at, c);
        written = line.Length - valueBegin;
        at += c.Length;
    }
    if (!bare || cut) Put(line, "\"", 1);
    if (cut) Put(line, CutMark, sizeof CutMark - 1);
    line.Fields[line.FieldCount++] = {begin, line.Length};
    return true;
}

void EndLogLine(LogLine& line) {
    if (line.Dropped) Put(line, DroppedMark, sizeof DroppedMark - 1);
    Put(line, "\r\n", 2);
}

LogNumberText LogNumber(long long value) {
    LogNumberText number;
    std::snprintf(number.Text, sizeof number.Text, "%lld", value);
    return number;
}
