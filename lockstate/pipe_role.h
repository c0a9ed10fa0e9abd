// The right to serve the lock-state pipe: one machine-wide role that one agent holds at a time.
// Every logged-on user runs an agent; the one holding the role creates the pipe and publishes,
// the others keep their trays and wait for the role to pass to them.
#pragma once
#include <windows.h>

#include <atomic>

struct PipeRole {
    HANDLE Mutex;              // the role itself; null while it cannot be opened
    HANDLE Decided;            // set once the first attempt to take the role has been made
    HANDLE Taken;              // set when this agent takes the role
    HANDLE Give;               // set by shutdown once this agent's pipe instance is closed
    std::atomic<bool> Held;
};

extern PipeRole* ThePipeRole;

// The role's mutex, in the namespace every session shares.
constexpr char PipeRoleName[] = "Global\\Tembrix.LockPipe";
// How long start-up waits for the keeper's first attempt: it takes no time at all unless the
// machine is stalled, and a role that comes later is served by the publisher's next cycle.
constexpr DWORD RoleFirstAttemptWaitMs = 1000;

// What happens to the role and to its pipe, said in one place.
enum class RoleChange {
    Unavailable,  // the role's mutex cannot be opened (said once; retried every cycle)
    Taken,        // this agent holds the role
    TakenOver,    // ... from a holder that ended without giving it up (a crash, a kill)
    PipeCreated,  // the holder serves the pipe
    PipeRefused,  // the holder could not create the pipe (said once; retried every cycle)
    Released,     // the role went on, after this agent's pipe was closed
};
void SayRoleChange(RoleChange change, DWORD error = 0);

// The record with its events; null when they cannot be made.
PipeRole* CreatePipeRole();
// Thread body of the role's keeper: takes the role as soon as it is free and holds it until
// GiveUpRole. The thread that takes a mutex owns it: the role stays with this agent until the
// keeper releases it or the process ends, whichever comes first.
DWORD WINAPI RoleKeeper(void* role);
// Start-up's answer: whether this agent holds the role now (bounded wait for the first attempt).
bool AwaitFirstRoleAttempt(PipeRole* role);
// Whether this agent holds the role (ThePipeRole exists while any worker runs).
bool HoldsPipeRole();
// Shutdown's word that this agent's pipe instance is closed: the keeper may let the role go.
void GiveUpRole(PipeRole* role);
// Closes the record's handles and frees it, once its keeper has returned.
void ReleasePipeRole(PipeRole* role);
