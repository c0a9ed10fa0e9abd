// How an administrator's script reads one log line back: the tests' independent reading of what
// the agent writes. It refuses anything that is not exactly one line of the documented form.
#pragma once
#include <string>
#include <string_view>
#include <vector>

struct ReadField {
    std::string Key;
    std::string Value;  // percent-decoded
    bool Cut = false;
};

struct ReadLine {
    std::string Time, Level, Event;
    std::vector<ReadField> Fields;
    bool Dropped = false;
};

inline bool IsLogName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-')) {
            return false;
        }
    }
    return true;
}

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline bool PercentDecode(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// Well-formed UTF-8, with no character that could pass for a line end, a blank that is not one,
// or a change of direction.
inline bool IsPlainUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        unsigned long c;
        std::size_t n;
        if (b < 0x80) c = b, n = 1;
        else if ((b & 0xE0) == 0xC0) c = b & 0x1F, n = 2;
        else if ((b & 0xF0) == 0xE0) c = b & 0x0F, n = 3;
        else if ((b & 0xF8) == 0xF0) c = b & 0x07, n = 4;
        else return false;
        if (i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || (c >= 0x2028 && c <= 0x202E) ||
            (c >= 0x200B && c <= 0x200F) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF) {
            return false;
        }
        i += n;
    }
    return true;
}

// `text` is the whole line, CRLF included.
inline bool ReadLogLine(std::string_view text, ReadLine& out) {
    out = ReadLine();
    if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") return false;
    text.remove_suffix(2);
    if (!IsPlainUtf8(text)) return false;  // no CR, LF or other control is left in the line
    auto token = [&text]() {
        const std::size_t end = text.find(' ');
        const std::string_view t = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        return t;
    };
    out.Time = std::string(token());
    out.Level = std::string(token());
    out.Event = std::string(token());
    if (out.Time.size() != 29 || out.Time[10] != 'T' || out.Time[19] != '.' ||
        (out.Time[23] != '+' && out.Time[23] != '-') || out.Time[26] != ':') {
        return false;
    }
    if (out.Level != "INFO" && out.Level != "WARN" && out.Level != "ERROR") return false;
    if (!IsLogName(out.Event)) return false;
    while (!text.empty()) {
        if (text == "...") {
            out.Dropped = true;
            return true;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || !IsLogName(text.substr(0, equals))) return false;
        ReadField field;
        field.Key = std::string(text.substr(0, equals));
        text.remove_prefix(equals + 1);
        std::string_view raw;
        if (!text.empty() && text[0] == '"') {
            const std::size_t close = text.find('"', 1);
            if (close == std::string_view::npos) return false;
            raw = text.substr(1, close - 1);
            text.remove_prefix(close + 1);
            if (text.substr(0, 3) == "...") {
                field.Cut = true;
                text.remove_prefix(3);
            }
        } else {
            const std::size_t end = text.find(' ');
            raw = text.substr(0, end);
            if (raw.empty()) return false;
            for (char c : raw) {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x21 || byte > 0x7E || c == '"') return false;
            }
            text.remove_prefix(raw.size());
        }
        if (!text.empty()) {
            if (text[0] != ' ' || text.size() == 1) return false;
            text.remove_prefix(1);
        }
        if (!PercentDecode(raw, field.Value)) return false;
        out.Fields.push_back(field);
    }
    return true;
}
