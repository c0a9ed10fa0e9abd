// The lock-state pipe's monitor: reads what the agent publishes, as the USB-lock component does,
// and prints one line per message. Administrators run it to see the state the agent hands on;
// tests and `make run` use it as the pipe's reader.
//
//   pipemon [--count N] [--until TEXT] [--pause-after-first MS] [--exit-after MS] [--follow] [--name PIPE]
//           [--server-image PATH]
//
// --server-image: the pipe's server must be the executable PATH (its full path, as Windows
// reports it, compared without regard to case). Any process of the logged-on user can end the
// agent and serve the pipe's name itself; this is the check that tells such a stand-in apart.
//
// Lines, each flushed at once (UTC time of the read, with milliseconds):
//   2026-12-08T10:00:00.123Z 6 FALSE\0      a message: its length, then its bytes; a NUL shows as \0,
//                                           any other byte outside printable ASCII as \xNN
//   2026-12-08T10:00:00.001Z # connected    status lines carry '#' where a length would be:
//                                           connected, ended <error>, paused <ms>, resumed, timeout,
//                                           accepted <pid> <image>, refused <pid> <image>
//                                           (refused 0 ? <error> when the server's image is unknown)
// Exit code: 0 when N messages were read, a message equal to TEXT (before its NUL) was read, or
// the writer ended the pipe; 2 when --exit-after ran out first; 3 when the pipe's server is not
// the --server-image; 1 for a usage error.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD RetryStepMs = 50;
constexpr DWORD LargestMessage = 4096;

struct Options {
    char Name[MAX_PATH];
    char Until[64];         // empty: no such end
    char ServerImage[MAX_PATH];  // empty: any server is read
    long Count;             // 0: no limit
    DWORD PauseAfterFirst;  // ms without reading once the first message is in
    DWORD ExitAfter;        // 0: no limit
    bool Follow;            // open the pipe again after its writer ended it
};

// Fixed 24-character stamp: 2026-12-08T10:00:00.123Z
void Stamp(char (&text)[32]) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

void Status(const char* format, ...) {
    char stamp[32];
    Stamp(stamp);
    std::printf("%s # ", stamp);
    va_list values;
    va_start(values, format);
    std::vprintf(format, values);
    va_end(values);
    std::printf("\n");
    std::fflush(stdout);
}

void PrintMessage(const unsigned char* bytes, DWORD length) {
    char stamp[32];
    Stamp(stamp);
    std::printf("%s %lu ", stamp, static_cast<unsigned long>(length));
    for (DWORD i = 0; i < length; ++i) {
        const unsigned char c = bytes[i];
        if (c == 0) {
            std::printf("\\0");
        } else if (c == '\\') {
            std::printf("\\\\");
        } else if (c > ' ' && c < 0x7F) {
            std::putchar(c);
        } else {
            std::printf("\\x%02X", c);
        }
    }
    std::printf("\n");
    std::fflush(stdout);
}

DWORD WINAPI ExitWhenTimeIsUp(void* milliseconds) {
    Sleep(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(milliseconds)));
    Status("timeout");
    ExitProcess(2);
}

// Waits until the pipe exists and has a free instance; the agent may not be running yet. The
// server may only identify this reader, never act as it: a stand-in that took the name gains
// nothing from the reader's rights.
HANDLE OpenPipe(const char* name) {
    for (;;) {
        HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        Sleep(RetryStepMs);
    }
}

// One whole message, however long: a read that does not hold all of it says ERROR_MORE_DATA.
bool ReadMessage(HANDLE pipe, unsigned char (&message)[LargestMessage], DWORD& length, DWORD& error) {
    length = 0;
    for (;;) {
        DWORD read = 0;
        if (ReadFile(pipe, message + length, LargestMessage - length, &read, nullptr)) {
            length += read;
            return true;
        }
        error = GetLastError();
        length += read;
        if (error != ERROR_MORE_DATA) return false;
        if (length == LargestMessage) return true;  // cut: shown as what fitted
    }
}

// The full path of the executable serving the pipe ("C:\Program Files\...\Tembrix.exe"); false,
// with the error, when the server's process cannot be looked up.
bool FindServerImage(HANDLE pipe, ULONG& processId, wchar_t (&image)[MAX_PATH], DWORD& error) {
    processId = 0;
    if (!GetNamedPipeServerProcessId(pipe, &processId)) {
        error = GetLastError();
        return false;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        error = GetLastError();
        return false;
    }
    DWORD size = MAX_PATH;
    const BOOL found = QueryFullProcessImageNameW(process, 0, image, &size);
    error = found ? 0 : GetLastError();
    CloseHandle(process);
    return found != FALSE;
}

// Whether the pipe is served by the expected executable; says which way in one status line.
// A server that cannot be looked up is refused: nothing vouches for it.
bool CheckServerImage(HANDLE pipe, const char* expected) {
    wchar_t wanted[MAX_PATH] = L"";
    MultiByteToWideChar(CP_ACP, 0, expected, -1, wanted, MAX_PATH);
    ULONG processId = 0;
    wchar_t image[MAX_PATH] = L"";
    DWORD error = 0;
    if (!FindServerImage(pipe, processId, image, error)) {
        Status("refused 0 ? %lu", error);
        return false;
    }
    const bool same = CompareStringOrdinal(image, -1, wanted, -1, TRUE) == CSTR_EQUAL;
    char shown[MAX_PATH * 2] = "";
    WideCharToMultiByte(CP_ACP, 0, image, -1, shown, sizeof shown, nullptr, nullptr);
    Status("%s %lu %s", same ? "accepted" : "refused", static_cast<unsigned long>(processId), shown);
    return same;
}

bool ParseNumber(const char* text, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return end != text && *end == 0;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    std::snprintf(options.Name, sizeof options.Name, "%s", "\\\\.\\Pipe\\Tembrix");
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--follow") == 0) {
            options.Follow = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        unsigned long number = 0;
        if (std::strcmp(option, "--name") == 0) {
            if (std::strlen(value) >= sizeof options.Name) return false;
            std::snprintf(options.Name, sizeof options.Name, "%s", value);
        } else if (std::strcmp(option, "--server-image") == 0) {
            if (value[0] == 0 || std::strlen(value) >= sizeof options.ServerImage) return false;
            std::snprintf(options.ServerImage, sizeof options.ServerImage, "%s", value);
        } else if (std::strcmp(option, "--until") == 0) {
            if (std::strlen(value) >= sizeof options.Until) return false;
            std::snprintf(options.Until, sizeof options.Until, "%s", value);
        } else if (!ParseNumber(value, number)) {
            return false;
        } else if (std::strcmp(option, "--count") == 0) {
            options.Count = static_cast<long>(number);
        } else if (std::strcmp(option, "--pause-after-first") == 0) {
            options.PauseAfterFirst = number;
        } else if (std::strcmp(option, "--exit-after") == 0) {
            options.ExitAfter = number;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = {};
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: pipemon [--count N] [--until TEXT] [--pause-after-first MS] [--exit-after MS] "
                     "[--follow] [--name PIPE] [--server-image PATH]\n");
        return 1;
    }
    if (options.ExitAfter != 0) {
        HANDLE timer = CreateThread(nullptr, 0, ExitWhenTimeIsUp,
                                    reinterpret_cast<void*>(static_cast<UINT_PTR>(options.ExitAfter)), 0, nullptr);
        if (timer != nullptr) CloseHandle(timer);
    }

    long received = 0;
    bool paused = false;
    for (;;) {
        HANDLE pipe = OpenPipe(options.Name);
        if (options.ServerImage[0] != 0 && !CheckServerImage(pipe, options.ServerImage)) {
            CloseHandle(pipe);
            return 3;
        }
        Status("connected");
        for (;;) {
            static unsigned char message[LargestMessage];
            DWORD length = 0;
            DWORD error = 0;
            if (!ReadMessage(pipe, message, length, error)) {
                Status("ended %lu", error);
                break;
            }
            PrintMessage(message, length);
            const bool awaited = options.Until[0] != 0 && strnlen(reinterpret_cast<const char*>(message), length) ==
                                 std::strlen(options.Until) &&
                                 std::memcmp(message, options.Until, std::strlen(options.Until)) == 0;
            if (awaited || (options.Count != 0 && ++received >= options.Count)) {
                CloseHandle(pipe);
                return 0;
            }
            if (options.PauseAfterFirst != 0 && !paused) {
                // A reader that stops reading for a while: what the writer queues meanwhile must
                // all come through afterwards, oldest first.
                paused = true;
                Status("paused %lu", options.PauseAfterFirst);
                Sleep(options.PauseAfterFirst);
                Status("resumed");
            }
        }
        CloseHandle(pipe);
        if (!options.Follow) return 0;
    }
}
