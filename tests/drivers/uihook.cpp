// Loaded by Wine into the agent (or into explorer, for a tray icon's image) when the UI driver
// hooks one of its threads: it answers questions that only code inside that process can answer.
// A popup menu's HMENU is meaningless in another process, and so are a message box's icon handle
// and the shell's copy of a tray icon, so the driver sends the window a registered message and
// this hook, running on the window's own thread, writes the answer into a named file mapping
// that the driver created.
#include "tests/drivers/uihook.h"

#include <cstddef>
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

// The dialog's client area on the screen with its dialog units (which only the dialog's own font
// can give), and its caption icons: "small,big".
void DumpDialogUnits(HWND dialog, HookDump* dump) {
    RECT client;
    GetClientRect(dialog, &client);
    MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&client), 2);  // where it is on the screen
    RECT unit = {0, 0, 4, 8};
    MapDialogRect(dialog, &unit);
    dump->Rect = client;
    dump->Unit = unit;
    std::swprintf(dump->Text, HookTextSize, L"%ls,%ls",
                  IconName(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0))),
                  IconName(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0))));
}

unsigned Fnv(unsigned hash, const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

// The bits of one of an icon's bitmaps as 32-bit pixels, into the hash; *alpha is set when any
// pixel has a nonzero alpha byte.
unsigned HashBitmap(unsigned hash, HDC dc, HBITMAP bitmap, int width, int height, int* alpha) {
    if (bitmap == nullptr) return hash;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    static unsigned char bits[256 * 256 * 4];
    if (width <= 0 || height <= 0 || width * height > 256 * 256) return hash;
    const int rows = GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), bits, &info, DIB_RGB_COLORS);
    const std::size_t size = static_cast<std::size_t>(rows > 0 ? rows : 0) * width * 4;
    for (std::size_t i = 3; i < size; i += 4) *alpha = *alpha || bits[i] != 0;
    return Fnv(hash, bits, size);
}

// Runs inside explorer, on the icon window's thread: the icon that the shell paints there.
void DumpTrayImage(HWND iconWindow, HookDump* dump) {
    const auto* record = reinterpret_cast<const WineTrayIcon*>(GetWindowLongPtrW(iconWindow, GWLP_USERDATA));
    if (record == nullptr || record->Window != iconWindow || record->Image == nullptr) return;
    ICONINFO info = {};
    if (!GetIconInfo(record->Image, &info)) return;
    BITMAP colour = {}, mask = {};
    if (info.hbmColor != nullptr) GetObjectW(info.hbmColor, sizeof colour, &colour);
    GetObjectW(info.hbmMask, sizeof mask, &mask);
    dump->ImageWidth = info.hbmColor != nullptr ? colour.bmWidth : mask.bmWidth;
    dump->ImageHeight = info.hbmColor != nullptr ? colour.bmHeight : mask.bmHeight / 2;
    HDC dc = CreateCompatibleDC(nullptr);
    unsigned hash = 2166136261u;
    int ignored = 0;
    hash = HashBitmap(hash, dc, info.hbmColor, colour.bmWidth, colour.bmHeight, &dump->ImageAlpha);
    hash = HashBitmap(hash, dc, info.hbmMask, mask.bmWidth, mask.bmHeight, &ignored);
    dump->ImageHash = hash;
    DeleteDC(dc);
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
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
            if (call->wParam == HookAskTrayImage) DumpTrayImage(call->hwnd, dump);
            dump->Answered = 1;
            UnmapViewOfFile(dump);
        }
        if (mapping != nullptr) CloseHandle(mapping);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
