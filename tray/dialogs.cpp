#include "tray/dialogs.h"

#include <cstring>

#include "app/settings.h"
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

void Warn(const wchar_t* text) {
    MessageBoxW(nullptr, text, L"메시지 전송 실패", MB_OK | MB_ICONWARNING);
}

void ConfirmHostAddress(HWND dialog) {
    char entry[HostAddressSize];
    GetDlgItemTextA(dialog, IDC_HOST_ADDRESS, entry, sizeof entry);
    const char* address = std::strncmp(entry, "http://", 7) == 0 ? entry + 7 : entry;
    std::memmove(TheSettings->HostAddress, address, std::strlen(address) + 1);
    SaveSettings(TheSettings);
    ReplaceServerLink(OpenServerLink(TheSettings->HostAddress));
    EndDialogAndSlot(SettingsDialogSlot, dialog, IDOK);
}

void SendMessageText(HWND dialog) {
    char text[MessageTextSize];
    GetDlgItemTextA(dialog, IDC_MESSAGE_TEXT, text, sizeof text);
    if (text[0] == 0) {
        Warn(L"메시지를 입력해 주세요.");
    } else if (SendUserMessage(text)) {
        EndDialogAndSlot(MessageDialogSlot, dialog, IDOK);
    } else {
        Warn(L"메시지 전송에 실패했습니다. 서버 주소가 제대로 입력되었는지 확인해 주세요.");
    }
}

}  // namespace

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OpenSlot(SettingsDialogSlot, dialog);
        SetDlgItemTextA(dialog, IDC_HOST_ADDRESS, TheSettings->HostAddress);
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
