#include "lockstate/pipe_role.h"

#include <sddl.h>

#include <cstdio>
#include <new>

#include "lockstate/lock_pipe.h"
#include "lockstate/worker.h"
#include "log/agent_log.h"

PipeRole* ThePipeRole = nullptr;

namespace {

// Who may do what with the role. Every interactive user's agent (Remote Desktop users are
// interactive too) must open the mutex, wait on it and release it once owned: SYNCHRONIZE and
// MUTEX_MODIFY_STATE, nothing else. Full control stays with SYSTEM and Administrators. The
// OWNER RIGHTS entry takes from the creating user the owner's implicit right to rewrite this
// list, so that the first agent to start cannot shut the later ones out through its own handle.
constexpr char RoleAccessSddl[] =
    "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;IU)(A;;0x00100001;;;S-1-3-4)";
constexpr DWORD RoleAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Creates the role's mutex, or opens the one another session's agent made. A mutex that exists
// already is opened with the access asked for here, which the list above grants to every
// interactive user; CreateMutexA would ask for all access and be refused.
HANDLE OpenRoleMutex() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(RoleAccessSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE mutex = CreateMutexExA(&attributes, PipeRoleName, 0, RoleAccess);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return mutex;
}

void CloseIfMade(HANDLE handle) {
    if (handle != nullptr) CloseHandle(handle);
}

}  // namespace

void SayRoleChange(RoleChange change, DWORD error) {
    const LogNumberText code = LogNumber(static_cast<long long>(error));
    switch (change) {
    case RoleChange::Unavailable:
        WriteLog(LogLevel::Error, "pipe", {{"what", "role-unavailable"}, {"error", code.Text}});
        std::printf("fail to CreateMutex(), %d\n", static_cast<int>(error));
        break;
    case RoleChange::PipeRefused:
        WriteLog(LogLevel::Error, "pipe", {{"what", "refused"}, {"error", code.Text}});
        std::printf("fail to CreateNamedPipe(), %d\n", static_cast<int>(error));
        break;
    // Standard output carries failures only.
    case RoleChange::Taken:
        WriteLog(LogLevel::Info, "pipe", {{"what", "role-taken"}});
        return;
    case RoleChange::TakenOver:
        WriteLog(LogLevel::Info, "pipe", {{"what", "role-taken-over"}});  // from one that ended without giving it up
        return;
    case RoleChange::PipeCreated:
        WriteLog(LogLevel::Info, "pipe", {{"what", "created"}});
        return;
    case RoleChange::Released:
        WriteLog(LogLevel::Info, "pipe", {{"what", "role-released"}});
        return;
    }
    std::fflush(stdout);
}

PipeRole* CreatePipeRole() {
    PipeRole* role = new (std::nothrow) PipeRole();
    if (role == nullptr) return nullptr;
    role->Decided = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    role->Taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    role->Give = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (role->Decided == nullptr || role->Taken == nullptr || role->Give == nullptr) {
        ReleasePipeRole(role);
        return nullptr;
    }
    return role;
}

DWORD WINAPI RoleKeeper(void* argument) {
    PipeRole* role = static_cast<PipeRole*>(argument);
    bool unavailableSaid = false;
    bool abandoned = false;
    for (;;) {
        if (IsStopRequested()) return 0;
        if (role->Mutex == nullptr) role->Mutex = OpenRoleMutex();
        if (role->Mutex == nullptr) {
            // Another program made an object of that name, of another kind or with a list that
            // does not let this agent in: no role, so no pipe from this agent, until it is gone.
            if (!unavailableSaid) SayRoleChange(RoleChange::Unavailable, GetLastError());
            unavailableSaid = true;
            SetEvent(role->Decided);
            PauseUnlessStopping(PublishIntervalMs);
            continue;
        }
        if (WaitUnlessStopping(role->Mutex, 0, &abandoned)) break;
        SetEvent(role->Decided);  // another agent holds the role: start-up goes on without it
        if (WaitUnlessStopping(role->Mutex, INFINITE, &abandoned)) break;
        return 0;  // a stop came first
    }
    // Said before the publisher may learn of it, so that the role's line comes before the pipe's.
    SayRoleChange(abandoned ? RoleChange::TakenOver : RoleChange::Taken);
    role->Held.store(true);
    SetEvent(role->Taken);
    SetEvent(role->Decided);

    // Only shutdown's word ends the hold, never the stop request: that comes before the pipe is
    // closed, and a next holder must not meet this agent's instance. A pipe that is never closed
    // keeps the role with it until the process exit abandons both.
    WaitForSingleObject(role->Give, INFINITE);
    ResetEvent(role->Taken);
    role->Held.store(false);
    ReleaseMutex(role->Mutex);
    SayRoleChange(RoleChange::Released);
    return 0;
}

bool AwaitFirstRoleAttempt(PipeRole* role) {
    WaitForSingleObject(role->Decided, RoleFirstAttemptWaitMs);
    return role->Held.load();
}

bool HoldsPipeRole() { return ThePipeRole->Held.load(); }

void GiveUpRole(PipeRole* role) { SetEvent(role->Give); }

void ReleasePipeRole(PipeRole* role) {
    CloseIfMade(role->Mutex);
    CloseIfMade(role->Decided);
    CloseIfMade(role->Taken);
    CloseIfMade(role->Give);
    delete role;
}
