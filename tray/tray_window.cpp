#include "tray/tray_window.h"

#include <shellapi.h>

#include <atomic>
#include <cstring>

#include "app/host_address.h"
#include "app/settings.h"
#include "lockstate/permission.h"
#include "resources/resource.h"
#include "server/queries.h"
#include "tray/dialogs.h"
#include "tray/tray_icon.h"
#include "tray/tray_state.h"

char WindowTitle[WindowTextSize];
char ClassName[WindowTextSize];
const char* StopCause = nullptr;
void (*EndForSession)() = nullptr;

namespace {

HINSTANCE AppInstance = nullptr;
// Set while the window exists, for workers that post news to it.
std::atomic<HWND> TrayWindow{nullptr};
// Sent by a restarted shell: its notification area is empty again.
UINT TaskbarCreatedMessage = 0;

void NoteStopCause(const char* cause) {
    if (StopCause == nullptr) StopCause = cause;
}

HICON TrayIcon(HINSTANCE instance) { return LoadIconA(instance, MAKEINTRESOURCEA(IDI_TRAY)); }

void OpenDialog(const DialogSlot* slot, int templateId, DLGPROC procedure) {
    if (slot->Open) {
        SetForegroundWindow(slot->Window);
        return;
    }
    DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(templateId), GetDesktopWindow(), procedure, 0);
}

void RunStartupChecks() {
    if (!CheckConnection()) {
        DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_SETTINGS), GetDesktopWindow(), SettingsDialogProc, 0);
    }
    if (!CheckRegistration(TheSettings->TerminalAddress)) OpenRegistrationForm();
}

// Shows the popup of a loaded menu at the cursor, then releases the menu.
void ShowPopup(HWND window, HMENU menu, HMENU popup) {
    POINT point;
    GetCursorPos(&point);
    SetForegroundWindow(window);
    TrackPopupMenu(popup, TPM_RIGHTALIGN | TPM_RIGHTBUTTON, point.x, point.y, 0, window, nullptr);
    SetForegroundWindow(window);
    DestroyMenu(menu);
}

// Below the lock, why it is not the server's own word.
void AddReason(HMENU popup, const Outcome& why) {
    const ReasonLine reason = ReasonOf(why);
    if (reason.Text[0] != 0) AppendMenuW(popup, MF_STRING | MF_GRAYED, IDM_LOCK_CAUSE, reason.Text);
}

void ShowStatusMenu(HWND window) {
    HMENU menu = LoadMenuA(AppInstance, MAKEINTRESOURCEA(IDM_STATUS_MENU));
    HMENU popup = GetSubMenu(menu, 0);
    const PermissionAnswer answer = LoadPermission();
    RelayPermission(answer);
    ShowRelayedState(window);  // the icon says it too, before the menu's loop takes over
    ModifyMenuW(popup, IDM_LOCK_STATUS, MF_BYCOMMAND | MF_STRING, IDM_LOCK_STATUS, StatusText(answer.Granted));
    EnableMenuItem(popup, IDM_LOCK_STATUS, MF_BYCOMMAND | MF_GRAYED);
    AddReason(popup, answer.Why);
    ShowPopup(window, menu, popup);
}

void ShowCommandMenu(HWND window) {
    HMENU menu = LoadMenuA(AppInstance, MAKEINTRESOURCEA(IDM_COMMAND_MENU));
    ShowPopup(window, menu, GetSubMenu(menu, 0));
}

void RunCommand(HWND window, WORD command) {
    switch (command) {
    case IDM_SETTINGS:
        OpenDialog(SettingsDialogSlot, IDD_SETTINGS, SettingsDialogProc);
        break;
    case IDM_EXIT:
        NoteStopCause("command-32774");
        DestroyWindow(window);
        break;
    case IDM_REGISTER:
        OpenRegistrationForm();
        break;
    case IDM_SEND_MESSAGE:
        OpenDialog(MessageDialogSlot, IDD_MESSAGE, MessageDialogProc);
        break;
    }
}

}  // namespace

void RegisterTrayWindowClass(HINSTANCE instance) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_VREDRAW | CS_HREDRAW;
    windowClass.lpfnWndProc = TrayWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = TrayIcon(instance);
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = ClassName;
    windowClass.hIconSm = TrayIcon(instance);
    RegisterClassExA(&windowClass);
}

int CreateTrayWindow(HINSTANCE instance) {
    AppInstance = instance;  // first: the start-up checks inside the creation open dialogs with it
    TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
    HWND window = CreateWindowExA(WS_EX_NOACTIVATE, ClassName, WindowTitle, WS_MINIMIZE, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 300, 180, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 0;
    AddTrayIcon(instance, window);
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return 1;
}

bool PostToTrayWindow(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = TrayWindow.load(std::memory_order_acquire);
    return window != nullptr && PostMessageA(window, message, wParam, lParam) != FALSE;
}

LRESULT CALLBACK TrayWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        // Before the checks: news that comes while they wait on the server is posted, not lost.
        TrayWindow.store(window, std::memory_order_release);
        // A policy set since start-up read it, before the watcher could tell this window.
        ReloadHostAddress();
        RunStartupChecks();
        return 0;
    case WM_POLICY_CHANGED:
        ReloadHostAddress();
        return 0;
    case WM_SETTINGCHANGE:
        // Group Policy's word that it has applied policies, which reaches even an agent whose
        // watcher could not start.
        if (lParam != 0 && std::strcmp(reinterpret_cast<const char*>(lParam), "Policy") == 0) ReloadHostAddress();
        break;
    case WM_CLOSE:
        NoteStopCause("WM_CLOSE");
        break;
    case WM_ENDSESSION:
        if (wParam && EndForSession != nullptr) {
            NoteStopCause("end-of-session");
            RemoveTrayIcon(window, false);
            EndForSession();
        }
        return 0;
    case WM_DESTROY:
        TrayWindow.store(nullptr, std::memory_order_release);
        RemoveTrayIcon(window, true);
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND: {
        const WORD command = LOWORD(wParam);
        if (static_cast<unsigned>(command - IDM_SETTINGS) <= IDM_SEND_MESSAGE - IDM_SETTINGS) {
            RunCommand(window, command);
        }
        return 0;
    }
    case WM_TRAY_NOTIFY:
        if (lParam == WM_LBUTTONDOWN) ShowStatusMenu(window);
        if (lParam == WM_RBUTTONDOWN) ShowCommandMenu(window);
        return 0;
    case WM_TRAY_STATE:
        ShowRelayedState(window);
        return 0;
    case WM_DPICHANGED:
        // The window is never shown: only its icon follows the new DPI, not its size.
        FitTrayIconToDpi(window, LOWORD(wParam));
        return 0;
    }
    // A restarted shell forgot the icon; the current state's is added again.
    if (message == TaskbarCreatedMessage && message != 0 && AddTrayIconAgain(window)) return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}
