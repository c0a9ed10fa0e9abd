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
LRESULT CALLBACK TrayWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
