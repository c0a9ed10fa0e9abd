// What the benches measure of their own process.
#pragma once
#include <windows.h>

// Committed private memory, counted region by region: Wine leaves PrivateUsage of
// GetProcessMemoryInfo at zero.
inline unsigned long PrivateKilobytes() {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* address = nullptr;
         VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (static_cast<const char*>(region.BaseAddress) + region.RegionSize < address) break;  // wrapped
    }
    return static_cast<unsigned long>(total / 1024);
}

// User and kernel time of the whole process so far.
inline unsigned long long ProcessCpuMicroseconds() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 10;
}
