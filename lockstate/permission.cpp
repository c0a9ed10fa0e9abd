#include "lockstate/permission.h"

#include "lockstate/worker.h"
#include "server/queries.h"

std::atomic<std::int32_t> PermissionGranted{0};
static_assert(std::atomic<std::int32_t>::is_always_lock_free, "one aligned 32-bit word");

DWORD WINAPI PermissionPoller(void*) {
    while (!IsStopRequested()) {
        StorePermission(LoadPermission());
        PauseUnlessStopping(PollIntervalMs);
    }
    return 0;
}
