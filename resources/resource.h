// Resource and command identifiers: fixed numbers that the system's other parts rely on.
#pragma once

#define IDS_WINDOW_TITLE 103
#define IDS_CLASS_NAME 109
#define IDI_TRAY 146
// The tray's other looks: the lock released by the server, and locked without its word.
#define IDI_RELEASED 147
#define IDI_UNANSWERED 148
#define IDM_COMMAND_MENU 129
#define IDM_STATUS_MENU 130
#define IDD_SETTINGS 149
#define IDD_MESSAGE 150

#define IDC_HOST_ADDRESS 1016
#define IDC_HOST_LABEL 1036
#define IDC_FRAME 1015
#define IDC_MESSAGE_TEXT 1051

#define IDM_SETTINGS 32772
#define IDM_EXIT 32774
#define IDM_REGISTER 32776
#define IDM_SEND_MESSAGE 32793
#define IDM_LOCK_STATUS 32794
// Added below the status item, grayed, when the state is not the server's own word: why.
#define IDM_LOCK_CAUSE 32795

#define WM_TRAY_NOTIFY (WM_USER + 2)
// Posted by the machine-policy watcher: the policy's key changed, read the address again.
#define WM_POLICY_CHANGED (WM_USER + 3)
// Posted by whoever relays a permission answer: the relayed state changed, show it.
#define WM_TRAY_STATE (WM_USER + 4)
