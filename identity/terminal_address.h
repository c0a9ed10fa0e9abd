#pragma once

// Chooses the adapter address text that names this PC, preferring one the server knows as
// registered, and stores it in TheSettings->TerminalAddress. Runs once, before any worker exists.
void SelectTerminalAddress();
