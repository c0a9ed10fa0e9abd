// Loaded by Wine into the agent when the UI driver hooks one of its threads: it answers questions
// that only code inside the agent can answer. A popup menu's HMENU is meaningless in another
// process, and so is a message box's icon handle, so the driver sends the window a registered
// message and this hook, running on the window's own thread, writes the answer into a named file
// mapping that the driver created.
#include "tests/drivers/uihook.h"

#include <cstring>
#include <cwchar>

namespace {

void Copy(wchar_t (&to)[HookTextSize], const wchar_t* from) {
    std::wcsncpy(to, from, HookTextSize - 1);
    to[HookTextSize - 1] = 0;
}

void DumpMenu(HWND popup, HookDump* dump) {
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    const int count = menu != nullptr ? GetMenuItemCount(menu) : -1;
    dump->Count = 0;
    for (int i = 0; i < count && i < HookMaxItems; ++i) {
        HookMenuItem& item = dump->Items[i];
        std::memset(&item, 0, sizeof item);
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
        info.dwTypeData = item.Text;
        info.cch = HookTextSize - 1;
        GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
        item.Id = info.wID;
        item.Type = info.fType;
        item.State = info.fState;
        GetMenuItemRect(popup, menu, static_cast<UINT>(i), &item.Rect);
        dump->Count = i + 1;
    }
    dump->Menu = static_cast<unsigned>(reinterpret_cast<UINT_PTR>(menu));
}

// Which of the system's stock icons a static control shows, by comparing handles inside the
// process that loaded them (stock icons are shared, so a match means that very icon).
void DumpIcon(HWND control, HookDump* dump) {
    HICON icon = reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
    struct Stock {
        const wchar_t* Id;  // a resource number in pointer form
        const wchar_t* Name;
    };
    const Stock stock[] = {{MAKEINTRESOURCEW(32515), L"warning"},
                           {MAKEINTRESOURCEW(32513), L"error"},
                           {MAKEINTRESOURCEW(32516), L"information"},
                           {MAKEINTRESOURCEW(32514), L"question"},
                           {MAKEINTRESOURCEW(32512), L"application"}};
    Copy(dump->Text, icon == nullptr ? L"none" : L"other");
    for (const Stock& s : stock) {
        if (icon != nullptr && LoadIconW(nullptr, s.Id) == icon) Copy(dump->Text, s.Name);
    }
}

const wchar_t* IconName(HICON icon) {
    // Icons loaded from a module's resources are shared: the same resource gives the same handle.
    if (icon == nullptr) return L"none";
    return icon == LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(146)) ? L"tray" : L"other";
}

// The dialog's size in pixels with its dialog units (which only the dialog's own font can give),
// and its caption icons: "small,big".
void DumpDialogUnits(HWND dialog, HookDump* dump) {
    RECT client;
    GetClientRect(dialog, &client);
    RECT unit = {0, 0, 4, 8};
    MapDialogRect(dialog, &unit);
    dump->Rect = client;
    dump->Unit = unit;
    std::swprintf(dump->Text, HookTextSize, L"%ls,%ls",
                  IconName(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0))),
                  IconName(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0))));
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK TembrixHookProc(int code, WPARAM wParam, LPARAM lParam) {
    static const UINT query = RegisterWindowMessageW(HookQueryMessage);
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call != nullptr && call->message == query) {
        wchar_t name[64];
        HookMappingName(name, static_cast<unsigned long>(call->lParam));
        HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
        auto* dump = mapping != nullptr
                         ? static_cast<HookDump*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(HookDump)))
                         : nullptr;
        if (dump != nullptr) {
            if (call->wParam == HookAskMenu) DumpMenu(call->hwnd, dump);
            if (call->wParam == HookAskIcon) DumpIcon(call->hwnd, dump);
            if (call->wParam == HookAskDialogUnits) DumpDialogUnits(call->hwnd, dump);
            dump->Answered = 1;
            UnmapViewOfFile(dump);
        }
        if (mapping != nullptr) CloseHandle(mapping);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
