// What a standard form parser makes of one application/x-www-form-urlencoded value: the tests'
// independent reading of what the agent encodes. False for a '%' without two hex digits behind it.
#pragma once
#include <cctype>
#include <string>
#include <string_view>

inline bool DecodeFormValue(std::string_view value, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '+') {
            out += ' ';
        } else if (value[i] != '%') {
            out += value[i];
        } else if (i + 2 < value.size() && std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(value.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}
