// The settings dialog (server host address) and the message dialog (a text to the administrator).
#pragma once
#include <windows.h>

// Whether a dialog is open and its window, so that the tray menu brings an open dialog to the
// front instead of opening a second copy.
struct DialogSlot {
    HWND Window;
    int Open;
};

extern DialogSlot* SettingsDialogSlot;
extern DialogSlot* MessageDialogSlot;

// Shows the address in use again in an open settings dialog, and whether the user may change it.
void RefreshSettingsDialog();

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
