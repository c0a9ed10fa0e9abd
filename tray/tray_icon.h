// The notification icon: it shows the relayed state (one of three icons, and a tip that names
// the state and why), and a notification at each change of the pipe's word. Only the UI thread
// touches it, and so the shell; workers learn nothing of it and only post news of the state.
#pragma once
#include <windows.h>

// At the window's creation: the icon of the state relayed so far, at the shell's small-icon size.
void AddTrayIcon(HINSTANCE instance, HWND window);
// The shell restarted (it broadcast "TaskbarCreated"): the shown state's icon again, loaded anew
// at the size of the current DPI. False when there is no icon to add again.
bool AddTrayIconAgain(HWND window);
// The relayed state changed (or may have): the icon, the tip and, when the word changed, a
// notification. Nothing before the icon is added.
void ShowRelayedState(HWND window);
// The window's DPI changed: the icons again at the new small-icon size.
void FitTrayIconToDpi(HWND window, UINT dpi);
// Takes the icon from the shell; with release, also frees what it holds (at the window's end).
void RemoveTrayIcon(HWND window, bool release);
