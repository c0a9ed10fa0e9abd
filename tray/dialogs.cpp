#include "tray/dialogs.h"

#include <cstring>

#include "app/host_address.h"
#include "app/settings.h"
#include "log/agent_log.h"
#include "resources/resource.h"
#include "server/form_text.h"
#include "server/queries.h"
#include "server/server_link.h"

DialogSlot* SettingsDialogSlot = nullptr;
DialogSlot* MessageDialogSlot = nullptr;

namespace {

void OpenSlot(DialogSlot* slot, HWND dialog) {
    slot->Window = dialog;
    slot->Open = 1;
    // The caption's small icon is the tray icon; no large icon is set.
    SendMessageA(dialog, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_TRAY))));
}

// Marks the slot closed if it still names this dialog: it may already name a newer one, opened
// after this one ended.
void ForgetDialog(DialogSlot* slot, HWND dialog) {
    if (slot->Window != dialog) return;
    slot->Window = nullptr;
    slot->Open = 0;
}

// A dialog ended inside another dialog's modal loop stays (hidden) until that loop returns: its
// slot says "closed" as soon as it ends, so that choosing it again opens a new one.
void EndDialogAndSlot(DialogSlot* slot, HWND dialog, int result) {
    EndDialog(dialog, result);
    ForgetDialog(slot, dialog);
}

constexpr wchar_t SendFailedCaption[] = L"메시지 전송 실패";

void Warn(const wchar_t* caption, const wchar_t* text) {
    MessageBoxW(nullptr, text, caption, MB_OK | MB_ICONWARNING);
}

// Decided at each opening, since an administrator may change the file's permissions or the
// machine's policy while the agent runs, and again when the policy changes under an open dialog.
// The dialog itself remembers it (its user data), so that a confirmation reaching it by any way
// (Enter, a click, a posted command) is turned away.
void ShowHostAddress(HWND dialog) {
    if (TheSettings->Source == AddressSource::File && TheSettings->Fault == AddressFault::TooLong) {
        // What is stored, whole: confirming it unchanged is refused as too long, never cut.
        char stored[4 * HostAddressSize];
        ReadStoredHostAddress(TheSettings, stored, sizeof stored);
        SetDlgItemTextA(dialog, IDC_HOST_ADDRESS, stored);
    } else {
        SetDlgItemTextA(dialog, IDC_HOST_ADDRESS, TheSettings->HostAddress);
    }
    const bool managed = TheSettings->Source == AddressSource::Policy || IsHostAddressManaged(TheSettings);
    SetWindowLongPtrA(dialog, DWLP_USER, managed ? 1 : 0);
    SendDlgItemMessageA(dialog, IDC_HOST_ADDRESS, EM_SETREADONLY, managed ? TRUE : FALSE, 0);
    // Said in the frame's title, so that the dialog keeps its controls.
    SetDlgItemTextW(dialog, IDC_FRAME, managed ? L"관리자가 지정한 서버 주소입니다. 변경할 수 없습니다." : L"서버");
}

bool ShowsManagedAddress(HWND dialog) { return GetWindowLongPtrA(dialog, DWLP_USER) != 0; }

// The address is written first and used only once it is in the file: otherwise this run would
// use it and the next start would silently go back to the old one.
void ConfirmHostAddress(HWND dialog) {
    char entry[HostAddressSize];
    const int length = GetWindowTextLengthA(GetDlgItem(dialog, IDC_HOST_ADDRESS));
    GetDlgItemTextA(dialog, IDC_HOST_ADDRESS, entry, sizeof entry);
    if (ShowsManagedAddress(dialog) || TheSettings->Source == AddressSource::Policy) {
        WriteLog(LogLevel::Warn, "settings",
                 {{"result", "managed"}, {"source", TheSettings->Source == AddressSource::Policy ? "policy" : "file"},
                  {"address", TheSettings->HostAddress}, {"entry", entry}});
        EndDialogAndSlot(SettingsDialogSlot, dialog, IDCANCEL);  // 확인 only acknowledges
        return;
    }
    if (length > static_cast<int>(MaxHostAddressLength)) {
        // Kept open with the whole entry: a cut address would ask some other server.
        WriteLog(LogLevel::Warn, "settings", {{"result", "too-long"}, {"length", LogNumber(length).Text}});
        Warn(L"환경 설정 실패", L"서버 주소가 너무 깁니다. 255자 이하로 입력해 주세요.");
        return;
    }
    const char* address = std::strncmp(entry, PlainPrefix, PlainPrefixLength) == 0 ? entry + PlainPrefixLength : entry;
    if (!SaveHostAddress(TheSettings, address)) {
        WriteLog(LogLevel::Warn, "settings",
                 {{"result", "save-failed"}, {"old", TheSettings->HostAddress}, {"new", address},
                  {"error", LogNumber(GetLastError()).Text}, {"file", TheSettings->IniPath}});
        // The dialog stays open with the entry, so that the user can retry or cancel.
        Warn(L"환경 설정 실패", L"서버 주소를 저장하지 못했습니다. 이전 서버 주소를 계속 사용합니다.");
        return;
    }
    WriteLog(LogLevel::Info, "settings",
             {{"result", "saved"}, {"old", TheSettings->HostAddress}, {"new", address}});
    std::memmove(TheSettings->HostAddress, address, std::strlen(address) + 1);
    TheSettings->Fault = AddressFault::None;
    ReplaceServerLink(OpenHostLink(TheSettings));
    EndDialogAndSlot(SettingsDialogSlot, dialog, IDOK);
}

void SendMessageText(HWND dialog) {
    char text[MessageTextSize];
    GetDlgItemTextA(dialog, IDC_MESSAGE_TEXT, text, sizeof text);
    // Its length only: what a user writes to the administrator is between the two of them.
    const LogNumberText length = LogNumber(static_cast<long long>(std::strlen(text)));
    if (text[0] == 0) {
        WriteLog(LogLevel::Info, "message", {{"sent", "no"}, {"length", length.Text}, {"reason", "empty"}});
        Warn(SendFailedCaption, L"메시지를 입력해 주세요.");
    } else if (SendUserMessage(text)) {
        WriteLog(LogLevel::Info, "message", {{"sent", "yes"}, {"length", length.Text}});
        EndDialogAndSlot(MessageDialogSlot, dialog, IDOK);
    } else {
        WriteLog(LogLevel::Warn, "message",
                 {{"sent", "no"}, {"length", length.Text}, {"reason", "not-confirmed"}});
        Warn(SendFailedCaption, L"메시지 전송에 실패했습니다. 서버 주소가 제대로 입력되었는지 확인해 주세요.");
    }
}

}  // namespace

void RefreshSettingsDialog() {
    if (SettingsDialogSlot != nullptr && SettingsDialogSlot->Open) ShowHostAddress(SettingsDialogSlot->Window);
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OpenSlot(SettingsDialogSlot, dialog);
        ShowHostAddress(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) ConfirmHostAddress(dialog);
        if (LOWORD(wParam) == IDCANCEL) EndDialogAndSlot(SettingsDialogSlot, dialog, IDCANCEL);
        return FALSE;
    case WM_DESTROY:
        ForgetDialog(SettingsDialogSlot, dialog);
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OpenSlot(MessageDialogSlot, dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) SendMessageText(dialog);
        if (LOWORD(wParam) == IDCANCEL) EndDialogAndSlot(MessageDialogSlot, dialog, IDCANCEL);
        return FALSE;
    case WM_DESTROY:
        ForgetDialog(MessageDialogSlot, dialog);
        return FALSE;
    }
    return FALSE;
}
