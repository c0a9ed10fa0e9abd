// What the UI driver and its hook DLL share: the question message and the answer's layout.
#pragma once
#include <windows.h>

#include <cwchar>

constexpr wchar_t HookQueryMessage[] = L"TembrixUiDriverQuery";
constexpr int HookMaxItems = 32;
constexpr int HookTextSize = 128;

// wParam of the question; lParam is the asking driver's process id, which names the mapping.
enum HookQuestion : WPARAM { HookAskMenu = 1, HookAskIcon = 2, HookAskDialogUnits = 3, HookAskTrayImage = 4 };

// winex11's record of one notification icon inside explorer, which the icon window's
// GWLP_USERDATA points to. The layout is Wine's own (8.0), so a record is trusted only when its
// own window field names the icon window.
struct WineTrayIcon {
    void* Entry[2];
    HICON Image;  // the shell's copy of the icon last given
    HWND Owner;
    HWND Window;
    BOOL Layered;
    HWND Tooltip;
    UINT State;
    UINT Id;
    UINT Callback;
    int Display;
    wchar_t Tip[128];
    wchar_t InfoText[256];  // the notification's text, cleared once it has been shown
    wchar_t InfoTitle[64];
    UINT InfoFlags;
    UINT InfoTimeout;
    HICON InfoIcon;
    UINT Version;
};

struct HookMenuItem {
    UINT Id;
    UINT Type;
    UINT State;
    RECT Rect;
    wchar_t Text[HookTextSize];
};

struct HookDump {
    LONG Answered;
    int Count;
    unsigned Menu;
    HookMenuItem Items[HookMaxItems];
    wchar_t Text[HookTextSize];
    RECT Rect;
    RECT Unit;
    // A tray icon's image as the shell holds it: its size, and a hash of its colour and mask bits.
    int ImageWidth;
    int ImageHeight;
    unsigned ImageHash;
    int ImageAlpha;  // its colour bitmap has an alpha channel
};

inline void HookMappingName(wchar_t (&name)[64], unsigned long driverPid) {
    std::swprintf(name, 64, L"Local\\TembrixUiDriver%lu", driverPid);
}
