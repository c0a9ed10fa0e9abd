// The machine's policy for the server's address: a value an administrator sets fleet-wide (Group
// Policy, an MDM), read from the registry's 64-bit view, which 32-bit and 64-bit Windows share
// for policies. It wins over the settings file, and no user of the PC can change it.
#pragma once
#include <windows.h>

#include "server/host_text.h"

constexpr char PolicyKeyPath[] = "SOFTWARE\\Policies\\Tembrix";
constexpr char PolicyValueName[] = "HostAddress";

struct PolicyAddress {
    bool Present;               // the value exists: from here on the file's address is not used
    AddressFault Fault;         // why it cannot be used: then no server is asked at all
    char Text[HostAddressSize]; // the value as far as it is text and fits
};

// A key that cannot be read counts as a policy that is there and unusable: a doubt is never
// settled by the file a user may edit.
PolicyAddress ReadPolicyAddress();

// Thread body: watches the machine's policies and posts WM_POLICY_CHANGED to the tray window at
// each change (and once when it begins), until a stop is requested. It reads nothing itself:
// the UI thread reads the policy and takes its address into use.
DWORD WINAPI PolicyWatcher(void* argument);
