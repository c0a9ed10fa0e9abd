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

void CloseSlot(DialogSlot* slot) {
    slot->Window = nullptr;
    slot->Open = 0;
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
    EndDialog(dialog, IDOK);
}

void SendMessageText(HWND dialog) {
    char text[MessageTextSize];
    GetDlgItemTextA(dialog, IDC_MESSAGE_TEXT, text, sizeof text);
    if (text[0] == 0) {
        Warn(L"메시지를 입력해 주세요.");
    } else if (SendUserMessage(text)) {
        EndDialog(dialog, IDOK);
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
        if (LOWORD(wParam) == IDCANCEL) EndDialog(dialog, IDCANCEL);
        return FALSE;
    case WM_DESTROY:
        CloseSlot(SettingsDialogSlot);
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
        if (LOWORD(wParam) == IDCANCEL) EndDialog(dialog, IDCANCEL);
        return FALSE;
    case WM_DESTROY:
        CloseSlot(MessageDialogSlot);
        return FALSE;
    }
    return FALSE;
}
