#include "tray/tray_icon.h"

#include <shellapi.h>

#include <cstddef>
#include <cwchar>
#include <new>

#include "lockstate/permission.h"
#include "resources/resource.h"
#include "tray/tray_state.h"

namespace {

constexpr int LookCount = 3;

// The icon as the shell was last given it, and the images it is made of.
struct TrayIconRecord {
    HINSTANCE Instance;
    NOTIFYICONDATAW Data;
    HICON Images[LookCount];  // by TrayLook, each loaded at Size
    int Size;
    TrayState Shown;
};

// Set while the window's icon exists; the UI thread's alone.
TrayIconRecord* TheTrayIcon = nullptr;

// The whole record, hBalloonIcon included: the notification's icon is the state's own.
static_assert(sizeof(void*) != 4 || sizeof(NOTIFYICONDATAW) == 956, "the record Windows Vista and later take");

int ResourceOf(TrayLook look) {
    switch (look) {
    case TrayLook::Released: return IDI_RELEASED;
    case TrayLook::Unanswered: return IDI_UNANSWERED;
    case TrayLook::Locked: break;
    }
    return IDI_TRAY;
}

using DpiForWindowCall = UINT(WINAPI*)(HWND);
using MetricsForDpiCall = int(WINAPI*)(int, UINT);

FARPROC User32Call(const char* name) { return GetProcAddress(GetModuleHandleA("user32.dll"), name); }

// The shell's small-icon size at `dpi` (0: the window's). Windows before 10 (1607) have one DPI
// for the whole session until the next logon, the one the system metrics give.
int SmallIconSize(HWND window, UINT dpi) {
    static const auto dpiForWindow = reinterpret_cast<DpiForWindowCall>(
        reinterpret_cast<void*>(User32Call("GetDpiForWindow")));
    static const auto metricsForDpi = reinterpret_cast<MetricsForDpiCall>(
        reinterpret_cast<void*>(User32Call("GetSystemMetricsForDpi")));
    if (metricsForDpi != nullptr && (dpi != 0 || dpiForWindow != nullptr)) {
        const int size = metricsForDpi(SM_CXSMICON, dpi != 0 ? dpi : dpiForWindow(window));
        if (size > 0) return size;
    }
    return GetSystemMetrics(SM_CXSMICON);
}

// Loads the three icons at `size`, each the image drawn for it (or the nearest), and releases
// the ones they replace: the shell keeps its own copy of what it was given.
void LoadImages(TrayIconRecord* icon, int size) {
    for (int look = 0; look < LookCount; ++look) {
        HICON image = static_cast<HICON>(LoadImageA(icon->Instance,
                                                    MAKEINTRESOURCEA(ResourceOf(static_cast<TrayLook>(look))),
                                                    IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        if (image == nullptr) continue;  // keep the old one rather than show none
        if (icon->Images[look] != nullptr) DestroyIcon(icon->Images[look]);
        icon->Images[look] = image;
    }
    icon->Size = size;
}

// The icon and tip of the shown state into the record, for an add or a modify.
void DescribeShown(TrayIconRecord* icon) {
    icon->Data.hIcon = icon->Images[static_cast<int>(LookOf(icon->Shown))];
    const TipText tip = TipOf(icon->Shown);
    std::wmemcpy(icon->Data.szTip, tip.Text, TipSize);
}

void Offer(TrayIconRecord* icon, HWND window) {
    icon->Data.cbSize = sizeof icon->Data;
    icon->Data.hWnd = window;
    icon->Data.uID = 0;
    icon->Data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon->Data.uCallbackMessage = WM_TRAY_NOTIFY;
    DescribeShown(icon);
    Shell_NotifyIconW(NIM_ADD, &icon->Data);
}

// A notification replaces the one still shown, if any, rather than queue behind it: a word that
// flaps leaves one notification up, the latest. An empty text takes the shown one away.
void WithdrawNotice(TrayIconRecord* icon) {
    icon->Data.uFlags = NIF_INFO;
    icon->Data.szInfo[0] = 0;
    icon->Data.szInfoTitle[0] = 0;
    icon->Data.dwInfoFlags = 0;
    Shell_NotifyIconW(NIM_MODIFY, &icon->Data);
}

// The notification into the record, after the shown state's icon: it is the notification's too.
void DescribeNotice(TrayIconRecord* icon, const Notice& notice) {
    icon->Data.uFlags |= NIF_INFO;
    std::wmemcpy(icon->Data.szInfoTitle, notice.Title, NoticeTitleSize);
    std::wmemcpy(icon->Data.szInfo, notice.Text, NoticeTextSize);
    icon->Data.uTimeout = 10000;  // what Windows XP takes; later shells decide for themselves
    icon->Data.dwInfoFlags = NIIF_USER | NIIF_NOSOUND | NIIF_RESPECT_QUIET_TIME;
    icon->Data.hBalloonIcon = icon->Data.hIcon;
}

// The same icon and tip. Known is compared too: the first word after none is news to
// NoticeFor, even when it looks like the state the icon began with.
bool SameShown(const TrayState& a, const TrayState& b) {
    return a.Known == b.Known && LookOf(a) == LookOf(b) && std::wcscmp(TipOf(a).Text, TipOf(b).Text) == 0;
}

}  // namespace

void AddTrayIcon(HINSTANCE instance, HWND window) {
    if (TheTrayIcon == nullptr) TheTrayIcon = new (std::nothrow) TrayIconRecord();
    if (TheTrayIcon == nullptr) return;
    TheTrayIcon->Instance = instance;
    TheTrayIcon->Shown = LatestRelayedState();  // the first word: no notification
    AddTrayIconAgain(window);
}

bool AddTrayIconAgain(HWND window) {
    if (TheTrayIcon == nullptr) return false;
    LoadImages(TheTrayIcon, SmallIconSize(window, 0));
    Offer(TheTrayIcon, window);
    return true;
}

void ShowRelayedState(HWND window) {
    TrayIconRecord* icon = TheTrayIcon;
    if (icon == nullptr) return;
    const TrayState now = LatestRelayedState();
    if (SameShown(icon->Shown, now)) return;
    const Notice notice = NoticeFor(icon->Shown, now);
    icon->Shown = now;
    icon->Data.hWnd = window;
    if (notice.Due) WithdrawNotice(icon);
    icon->Data.uFlags = NIF_ICON | NIF_TIP;
    DescribeShown(icon);
    if (notice.Due) DescribeNotice(icon, notice);
    Shell_NotifyIconW(NIM_MODIFY, &icon->Data);
}

void FitTrayIconToDpi(HWND window, UINT dpi) {
    TrayIconRecord* icon = TheTrayIcon;
    if (icon == nullptr) return;
    const int size = SmallIconSize(window, dpi);
    if (size == icon->Size) return;
    LoadImages(icon, size);
    icon->Data.hWnd = window;
    icon->Data.uFlags = NIF_ICON;
    DescribeShown(icon);
    Shell_NotifyIconW(NIM_MODIFY, &icon->Data);
}

void RemoveTrayIcon(HWND window, bool release) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = 0;
    Shell_NotifyIconW(NIM_DELETE, &data);
    if (!release || TheTrayIcon == nullptr) return;
    for (HICON image : TheTrayIcon->Images) {
        if (image != nullptr) DestroyIcon(image);
    }
    delete TheTrayIcon;
    TheTrayIcon = nullptr;
}
