// The permission flag shared by the poller, the tray's left click and the pipe publisher.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

// 1 when the latest permission answer was exactly "TRUE", else 0. Written and read whole; relaxed
// order is enough, since nothing else is published with it.
extern std::atomic<std::int32_t> PermissionGranted;

inline void StorePermission(bool granted) {
    PermissionGranted.store(granted ? 1 : 0, std::memory_order_relaxed);
}
inline bool IsPermissionGranted() { return PermissionGranted.load(std::memory_order_relaxed) != 0; }

struct PermissionAnswer;
// Stores a permission answer (start-up, the poller, the tray's left click), says in the log what
// it changes (the relayed word and its cause, the end of failures), and posts WM_TRAY_STATE to
// the tray window when the state changed, never waiting on it.
void RelayPermission(const PermissionAnswer& answer);

struct TrayState;
// The state last relayed, as the tray shows it; not Known before the first answer.
TrayState LatestRelayedState();

constexpr DWORD PollIntervalMs = 10000;

// Thread body: asks the server, stores the answer, pauses; until a stop is requested.
DWORD WINAPI PermissionPoller(void* argument);
