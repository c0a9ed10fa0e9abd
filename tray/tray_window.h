// The hidden tray window: the notification icon, its two popup menus, the commands and the
// start-up checks made while the window is created.
#pragma once
#include <windows.h>

constexpr int WindowTextSize = 100;
extern char WindowTitle[WindowTextSize];
extern char ClassName[WindowTextSize];

void RegisterTrayWindowClass(HINSTANCE instance);
// 1 when the window exists and the icon was offered to the shell, 0 when no window was created.
int CreateTrayWindow(HINSTANCE instance);
// What asked the agent to stop (the first that did), for its stop line; null until something did.
extern const char* StopCause;
// Set by the entry: the whole shutdown, then the end of the process. The window runs it when the
// session ends, since Windows ends the process as soon as WM_ENDSESSION returns.
extern void (*EndForSession)();

// For workers with news for the tray: posts to the window while it exists, never waiting on it.
// False when there is no window (before its creation, after its end) or the post failed. Only
// the UI thread touches the shell; a worker says what changed and goes on.
bool PostToTrayWindow(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

LRESULT CALLBACK TrayWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
