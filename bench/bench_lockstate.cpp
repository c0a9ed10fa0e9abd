// Long-run check of lock-state publishing: drives the poller's and the publisher's work (one
// permission query, one pipe message) with short pauses for many cycles against a local server,
// with a reader that reads every message and reconnects now and then, so that the pipe instance
// is renewed too. Prints, at the start and along the way, what must not grow: private bytes, the
// program's own counts of open WinINet and pipe handles, and the time per cycle.
//
//   bench_lockstate HOST [CYCLES] [PAUSE_MS] [RECONNECT_EVERY]
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "bench/bench_memory.h"
#include "lockstate/lock_pipe.h"
#include "lockstate/permission.h"
#include "lockstate/worker.h"
#include "server/queries.h"
#include "server/server_link.h"

namespace {

std::atomic<bool> ReaderStop{false};
std::atomic<long> MessagesRead{0};
std::atomic<long> Reconnects{0};
long ReconnectEvery = 500;

DWORD WINAPI Reader(void*) {
    while (!ReaderStop.load()) {
        HANDLE pipe = CreateFileA(LockPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(1);
            continue;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
        for (long n = 0; n < ReconnectEvery && !ReaderStop.load(); ++n) {
            char message[16];
            DWORD read = 0;
            if (!ReadFile(pipe, message, sizeof message, &read, nullptr)) break;
            MessagesRead.fetch_add(1);
        }
        CloseHandle(pipe);
        Reconnects.fetch_add(1);
    }
    return 0;
}

double Now(const LARGE_INTEGER& frequency) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Window {
    double PollMs;
    double PublishMs;
    long Cycles;
};

void Report(const char* label, long cycle, Window& window, long failures) {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    DWORD processHandles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &processHandles);
    const double cycles = window.Cycles > 0 ? window.Cycles : 1;
    std::printf("bench %-5s cycle %6ld  private %6lu KB  working set %6lu KB  server handles %ld  pipe handles %ld"
                "  process handles %lu  poll %.3f ms  publish %.3f ms  read %ld  reconnects %ld  failed writes %ld\n",
                label, cycle, PrivateKilobytes(), static_cast<unsigned long>(memory.WorkingSetSize / 1024),
                OpenServerHandleCount(), OpenPipeHandleCount(), static_cast<unsigned long>(processHandles),
                window.PollMs / cycles, window.PublishMs / cycles, MessagesRead.load(), Reconnects.load(), failures);
    std::fflush(stdout);
    window = Window{};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_lockstate HOST [CYCLES] [PAUSE_MS] [RECONNECT_EVERY]\n");
        return 1;
    }
    const long cycles = argc > 2 ? std::atol(argv[2]) : 10000;
    const DWORD pauseMs = argc > 3 ? static_cast<DWORD>(std::atol(argv[3])) : 1;
    if (argc > 4) ReconnectEvery = std::atol(argv[4]);

    static Settings settings = {};
    std::snprintf(settings.HostAddress, sizeof settings.HostAddress, "%s", argv[1]);
    std::snprintf(settings.TerminalAddress, sizeof settings.TerminalAddress, "%s", "00-1A-2B-3C-4D-5E");
    TheSettings = &settings;
    ReplaceServerLink(OpenServerLink(settings.HostAddress));
    TheLockPipe = CreateLockPipe();
    if (TheLockPipe == nullptr || !ServeLockPipe(TheLockPipe)) return 1;
    HANDLE reader = CreateThread(nullptr, 0, Reader, nullptr, 0, nullptr);

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const long warmUp = cycles / 100;
    const long window = cycles / 10 > 0 ? cycles / 10 : 1;
    long granted = 0;
    long failures = 0;
    Window figures = {};
    const double started = Now(frequency);
    for (long cycle = 1; cycle <= cycles; ++cycle) {
        // The poller's cycle, then the publisher's, each followed by its (shortened) pause.
        const double polling = Now(frequency);
        const bool answer = LoadPermission().Granted;
        StorePermission(answer);
        const double publishing = Now(frequency);
        granted += answer ? 1 : 0;
        figures.PollMs += (publishing - polling) * 1000.0;
        PauseUnlessStopping(pauseMs);
        const double written = Now(frequency);
        PublishOnce(TheLockPipe);
        figures.PublishMs += (Now(frequency) - written) * 1000.0;
        if (!TheLockPipe->LastResult) ++failures;
        ++figures.Cycles;
        PauseUnlessStopping(pauseMs);
        if (cycle == warmUp) {
            Report("start", cycle, figures, failures);
        } else if (cycle % window == 0) {
            Report(cycle == cycles ? "end" : "", cycle, figures, failures);
        }
    }
    const double total = Now(frequency) - started;

    ReaderStop.store(true);
    ReleaseLockPipe(TheLockPipe);  // ends the reader's pipe, so its read returns
    TheLockPipe = nullptr;
    WaitForSingleObject(reader, 5000);
    CloseHandle(reader);
    ReplaceServerLink(nullptr);
    std::printf("bench done: %ld cycles in %.1f s (%.3f ms per cycle with pauses), %ld answered TRUE; "
                "after release: server handles %ld, pipe handles %ld\n",
                cycles, total, total * 1000.0 / cycles, granted, OpenServerHandleCount(), OpenPipeHandleCount());
    return granted == cycles ? 0 : 2;
}
