// What the link to the server costs per poll: the agent's own LoadPermission (WinINet for a plain
// address; WinHTTP over TLS, with the machine's trust check), beside plain WinINet and WinHTTP
// clients that make the same POSTs and nothing else. Prints private memory after a warm-up and at
// the end, and the CPU time per poll; the caller counts the server's connections and reads the
// process's resident memory, where Wine's own TLS code keeps what it allocates, when each of the
// two lines arrives: the process waits for its standard input to close before it ends.
//
//   bench_link agent|wininet|winhttp HOST POLLS        HOST: "https://127.0.0.5" or "127.0.0.5"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "bench/bench_memory.h"
#include "bench/bench_plain_clients.h"
#include "server/queries.h"
#include "server/server_link.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_link agent|wininet|winhttp HOST POLLS\n");
        return 1;
    }
    const std::string mode = argv[1];
    const char* host = argv[2];
    const long polls = std::atol(argv[3]);
    const bool secure = std::strncmp(host, "https://", 8) == 0;
    const char* bare = secure ? host + 8 : host;

    static Settings settings = {};
    std::snprintf(settings.HostAddress, sizeof settings.HostAddress, "%s", host);
    std::snprintf(settings.TerminalAddress, sizeof settings.TerminalAddress, "%s", "00-1A-2B-3C-4D-5E");
    TheSettings = &settings;
    if (mode == "agent") ReplaceServerLink(OpenServerLink(settings.HostAddress));

    const auto poll = [&]() {
        if (mode == "agent") return LoadPermission().Granted;
        return mode == "wininet" ? PollWithWinInet(bare, secure) : PollWithWinHttp(bare, secure);
    };
    // Long enough for the heaps to reach their working size: what grows after it keeps growing.
    constexpr long WarmUp = 200;
    // The agent's requests end on threads of their own: their stacks are gone by then.
    constexpr DWORD SettleMs = 500;
    long granted = 0;
    unsigned long startKb = 0;
    unsigned long long startCpu = 0;
    for (long n = 1; n <= WarmUp + polls; ++n) {
        if (poll() && n > WarmUp) ++granted;
        if (n == WarmUp) {
            Sleep(SettleMs);
            startKb = PrivateKilobytes();
            startCpu = ProcessCpuMicroseconds();
            std::printf("bench_link warmed up\n");  // the caller counts connections from here
            std::fflush(stdout);
        }
    }
    Sleep(SettleMs);
    const unsigned long endKb = PrivateKilobytes();
    const double cpuMs = static_cast<double>(ProcessCpuMicroseconds() - startCpu) / 1000.0;  // idle while settling
    std::printf("bench_link %s %s: %ld polls, %ld TRUE, private %lu -> %lu KB (%+.0f KB per 100 polls), "
                "CPU %.2f ms per poll\n",
                mode.c_str(), secure ? "https" : "http", polls, granted, startKb, endKb,
                (static_cast<double>(endKb) - static_cast<double>(startKb)) * 100.0 / static_cast<double>(polls),
                cpuMs / static_cast<double>(polls));
    std::fflush(stdout);
    char rest[16];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), rest, sizeof rest, &read, nullptr) && read > 0) {
    }
    if (mode == "agent") ReplaceServerLink(nullptr);
    return granted == polls ? 0 : 2;
}
