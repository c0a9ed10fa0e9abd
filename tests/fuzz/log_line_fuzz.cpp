// Whatever values a line is given, it is one well-formed line inside its buffer, with exactly the
// fields given (or the mark that some were dropped), each reading back as its value or as a cut
// prefix of it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/log_line.h"
#include "tests/log_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte chooses a limit; the rest is split into values at each 0x01 0x01.
    if (size == 0) return 0;
    const std::size_t limit = data[0] % 4 == 0 ? data[0] / 4 : 0;
    const std::string raw(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string> values;
    for (std::size_t at = 0;;) {
        const std::size_t next = raw.find("\x01\x01", at);
        values.push_back(raw.substr(at, next == std::string::npos ? std::string::npos : next - at));
        if (next == std::string::npos) break;
        at = next + 2;
    }

    LogLine line;
    BeginLogLine(line, {2026, 12, 9, 12, 34, 56, 789, 540}, LogLevel::Warn, "fuzz");
    std::size_t kept = 0;
    for (const std::string& value : values) kept += AppendLogField(line, {"v", value, limit});
    EndLogLine(line);
    if (line.Length >= LogLineSize || line.Text[line.Length] != 0) std::abort();

    ReadLine read;
    if (!ReadLogLine(std::string_view(line.Text, line.Length), read)) std::abort();
    if (read.Fields.size() != kept || read.Dropped != (kept < values.size())) std::abort();
    for (std::size_t i = 0; i < kept; ++i) {
        const std::string& value = read.Fields[i].Value;
        if (read.Fields[i].Key != "v" || values[i].compare(0, value.size(), value) != 0) std::abort();
        if (!read.Fields[i].Cut && value != values[i]) std::abort();
        if (read.Fields[i].Cut && value.size() >= values[i].size()) std::abort();
        const LogFieldSpan& span = line.Fields[i];
        if (span.End > line.Length || span.Begin >= span.End || line.Text[span.Begin] != 'v') std::abort();
    }
    return 0;
}
