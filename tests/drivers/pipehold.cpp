// Takes the lock-state pipe's name before the agent does, with the only instance it allows, so
// that the agent's own pipe cannot be created. Used by tests of that failure, and as a stand-in
// server that a reader checking the server's image must refuse: a reader connects to it as to
// the agent's pipe.
//   pipehold [MS]   holds the name for MS milliseconds (default: until ended); prints "holding"
//                   once the name is taken, or "fail <error>"
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const DWORD holdMs = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : INFINITE;
    HANDLE pipe = CreateNamedPipeA("\\\\.\\Pipe\\Tembrix", PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_WAIT, 1,
                                   64, 64, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::printf("fail %lu\n", GetLastError());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(holdMs);
    CloseHandle(pipe);
    return 0;
}
