// What the UI driver and its hook DLL share: the question message and the answer's layout.
#pragma once
#include <windows.h>

#include <cwchar>

constexpr wchar_t HookQueryMessage[] = L"TembrixUiDriverQuery";
constexpr int HookMaxItems = 32;
constexpr int HookTextSize = 128;

// wParam of the question; lParam is the asking driver's process id, which names the mapping.
enum HookQuestion : WPARAM { HookAskMenu = 1, HookAskIcon = 2, HookAskDialogUnits = 3 };

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
};

inline void HookMappingName(wchar_t (&name)[64], unsigned long driverPid) {
    std::swprintf(name, 64, L"Local\\TembrixUiDriver%lu", driverPid);
}
