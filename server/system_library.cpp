#include "server/system_library.h"

#include <cstdio>

HMODULE LoadSystemLibrary(const char* name) {
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const int written = std::snprintf(path + length, MAX_PATH - length, "\\%s", name);
    if (written < 0 || static_cast<unsigned>(written) >= MAX_PATH - length) return nullptr;
    return LoadLibraryA(path);
}
