// Which address the agent uses and where it came from: the machine's policy when it sets one,
// else the settings file. A policy takes effect while the agent runs, as a confirmed settings
// dialog does, and a policy's address is never written to the file.
#pragma once
#include "app/settings.h"

struct ServerLink;

// Start-up: the policy's address, or else the file's.
void LoadHostAddress(Settings* settings);
// The start-up's line about an address that cannot be used, if it has one (in the event log too).
void SayAddressFault(const Settings* settings);
// The link for the address in use; one that asks no server when the address has a fault.
ServerLink* OpenHostLink(const Settings* settings);
// UI thread: reads the policy again; when what it sets has changed, says so and replaces the link,
// so that the next request goes to the new address.
void ReloadHostAddress();
