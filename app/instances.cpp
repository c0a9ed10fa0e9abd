#include "app/instances.h"

#include <windows.h>
#include <psapi.h>

#include <mbstring.h>

#include <cstring>

int CountInstances() {
    DWORD ids[1024];
    DWORD filled = 0;
    if (!EnumProcesses(ids, sizeof ids, &filled)) return 0;

    int count = 0;
    const DWORD listed = filled / sizeof ids[0];
    for (DWORD i = 0; i < listed; ++i) {
        char name[MAX_PATH] = "<unknown>";
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (process == nullptr) continue;
        HMODULE module = nullptr;
        DWORD needed = 0;
        if (EnumProcessModules(process, &module, sizeof module, &needed)) {
            GetModuleBaseNameA(process, module, name, sizeof name);
        }
        // Whole text, byte for byte, letter case significant.
        if (_mbscmp(reinterpret_cast<const unsigned char*>("Tembrix.exe"),
                    reinterpret_cast<const unsigned char*>(name)) == 0) {
            ++count;
        }
        CloseHandle(process);
    }
    return count;
}
