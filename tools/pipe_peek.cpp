// Reads the agent's lock-state pipe as the USB-lock component would, for tests: connects to
// \\.\Pipe\Tembrix (retrying while the pipe is missing or busy), reads messages until one equals
// the wanted text or the time runs out, and prints one JSON line.
//   pipe_peek <timeout_ms> [wanted]
//   {"messages":["FALSE","TRUE"],"found":true,"connect_ms":N,"found_ms":N}
// Without `wanted`, the first message ends the run. "found_ms" counts from the connection.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Quoted(const char* text, DWORD length) {
    std::string out = "\"";
    for (DWORD i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    const DWORD timeout = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    const char* wanted = argc > 2 ? argv[2] : nullptr;
    const DWORD start = GetTickCount();

    HANDLE pipe = INVALID_HANDLE_VALUE;
    DWORD lastError = 0;
    while (pipe == INVALID_HANDLE_VALUE) {
        pipe = CreateFileA("\\\\.\\Pipe\\Tembrix", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        lastError = GetLastError();
        if (GetTickCount() - start >= timeout) {
            std::printf("{\"error\":\"no pipe\",\"code\":%lu}\n", static_cast<unsigned long>(lastError));
            return 1;
        }
        // Missing (not created yet) or busy (the previous reader's instance is being renewed).
        Sleep(50);
    }
    const DWORD connected = GetTickCount();
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);

    std::string messages;
    bool found = false;
    DWORD foundAt = 0;
    // A read blocks until the next message; the publisher writes one every 2 s, so a reading
    // thread is not needed: the time-out is checked between messages.
    while (!found && GetTickCount() - start < timeout) {
        char buffer[64];
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &read, nullptr)) {
            lastError = GetLastError();
            break;
        }
        const DWORD length = static_cast<DWORD>(strnlen(buffer, read));
        if (!messages.empty()) messages += ",";
        messages += Quoted(buffer, length);
        if (wanted == nullptr || (std::strlen(wanted) == length && std::memcmp(buffer, wanted, length) == 0)) {
            found = true;
            foundAt = GetTickCount();
        }
    }
    CloseHandle(pipe);
    std::printf("{\"messages\":[%s],\"found\":%s,\"connect_ms\":%lu,\"found_ms\":%lu,\"error\":%lu}\n",
                messages.c_str(), found ? "true" : "false", static_cast<unsigned long>(connected - start),
                static_cast<unsigned long>(found ? foundAt - connected : 0), static_cast<unsigned long>(lastError));
    return found ? 0 : 1;
}
