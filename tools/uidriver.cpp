// A small driver that tests (and curious administrators) run beside the agent under the same
// Wine prefix: it finds the agent's windows, dialogs and message boxes, sends them messages, and
// prints what it saw as one JSON line (UTF-8). Every command that waits for something polls for
// it with a time-out instead of sleeping.
//
//   uidriver wait-window <class> [timeout_ms]           {"hwnd":N,"pid":N,"title":"..."}
//   uidriver wait-gone <class> [timeout_ms]             {"gone":true}
//   uidriver post <class> <msg> <wparam> <lparam>       {"posted":true}
//   uidriver send <class> <msg> <wparam> <lparam>       {"result":N}
//   uidriver wait-dialog <caption> [timeout_ms]         {"hwnd":N,"pid":N,"controls":[...]}
//   uidriver wait-dialog-gone <caption> [timeout_ms]    {"gone":true}
//   uidriver dialogs                                    {"dialogs":[{"hwnd":N,"caption":"..."}]}
//   uidriver get-text <caption> <control id>            {"text":"..."}
//   uidriver set-text <caption> <control id> <text>     {"set":true}
//   uidriver click <caption> <control id>               {"clicked":true}   (posted BM_CLICK)
//   uidriver key <caption> <virtual key>                {"sent":true}      (posted to the dialog)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

std::string Json(const wchar_t* text) {
    std::string out = "\"";
    for (const unsigned char c : Utf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

unsigned long Id(HWND window) { return static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)); }
long Number(const wchar_t* text) { return std::wcstol(text, nullptr, 0); }

int Fail(const wchar_t* what) {
    std::printf("{\"error\":%s}\n", Json(what).c_str());
    return 1;
}

template <class Find>
HWND Wait(Find find, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = find();
        if (window != nullptr || GetTickCount() - start >= timeoutMs) return window;
        Sleep(50);
    }
}

struct DialogSearch {
    const wchar_t* Caption;  // null: collect every visible dialog
    HWND Found;
    std::vector<HWND> All;
};

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<DialogSearch*>(context);
    wchar_t className[64];
    if (!IsWindowVisible(window) || !GetClassNameW(window, className, 64) || std::wcscmp(className, L"#32770") != 0) {
        return TRUE;
    }
    if (search->Caption == nullptr) {
        search->All.push_back(window);
        return TRUE;
    }
    wchar_t caption[256];
    GetWindowTextW(window, caption, 256);
    if (std::wcscmp(caption, search->Caption) == 0) {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindDialog(const wchar_t* caption) {
    DialogSearch search{caption, nullptr, {}};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

std::wstring WindowText(HWND window) {
    // WM_GETTEXT is marshalled across processes, unlike GetWindowText for another process's edit.
    wchar_t text[1024] = L"";
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

BOOL CALLBACK VisitControl(HWND control, LPARAM context) {
    auto* out = reinterpret_cast<std::string*>(context);
    wchar_t className[64] = L"";
    GetClassNameW(control, className, 64);
    char head[96];
    std::snprintf(head, sizeof head, "%s{\"id\":%d,\"style\":%lu,\"class\":", out->size() > 1 ? "," : "",
                  GetDlgCtrlID(control), static_cast<unsigned long>(GetWindowLongW(control, GWL_STYLE)));
    *out += head + Json(className) + ",\"text\":" + Json(WindowText(control).c_str()) + "}";
    return TRUE;
}

std::string Controls(HWND dialog) {
    std::string out = "[";
    EnumChildWindows(dialog, VisitControl, reinterpret_cast<LPARAM>(&out));
    return out + "]";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Fail(L"usage: uidriver <command> ...");
    const std::wstring command = argv[1];

    if (command == L"dialogs") {
        DialogSearch search{nullptr, nullptr, {}};
        EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
        std::string out = "{\"dialogs\":[";
        for (std::size_t i = 0; i < search.All.size(); ++i) {
            char head[48];
            std::snprintf(head, sizeof head, "%s{\"hwnd\":%lu,\"caption\":", i ? "," : "", Id(search.All[i]));
            out += head + Json(WindowText(search.All[i]).c_str()) + "}";
        }
        std::printf("%s]}\n", out.c_str());
        return 0;
    }
    if (argc < 3) return Fail(L"missing argument");
    const wchar_t* name = argv[2];

    if (command == L"wait-window") {
        HWND window = Wait([&] { return FindWindowW(name, nullptr); }, argc > 3 ? Number(argv[3]) : 10000);
        if (window == nullptr) return Fail(L"window not found");
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        std::printf("{\"hwnd\":%lu,\"pid\":%lu,\"title\":%s}\n", Id(window), static_cast<unsigned long>(pid),
                    Json(WindowText(window).c_str()).c_str());
        return 0;
    }
    if (command == L"wait-gone" || command == L"wait-dialog-gone") {
        const bool dialog = command == L"wait-dialog-gone";
        const DWORD timeout = argc > 3 ? Number(argv[3]) : 10000;
        const DWORD start = GetTickCount();
        while ((dialog ? FindDialog(name) : FindWindowW(name, nullptr)) != nullptr) {
            if (GetTickCount() - start >= timeout) return Fail(L"window still there");
            Sleep(50);
        }
        std::printf("{\"gone\":true}\n");
        return 0;
    }
    if ((command == L"post" || command == L"send") && argc >= 6) {
        HWND window = Wait([&] { return FindWindowW(name, nullptr); }, 10000);
        if (window == nullptr) return Fail(L"window not found");
        const UINT message = static_cast<UINT>(Number(argv[3]));
        const WPARAM wParam = static_cast<WPARAM>(Number(argv[4]));
        const LPARAM lParam = static_cast<LPARAM>(Number(argv[5]));
        if (command == L"post") {
            std::printf("{\"posted\":%s}\n", PostMessageW(window, message, wParam, lParam) ? "true" : "false");
        } else {
            std::printf("{\"result\":%ld}\n", static_cast<long>(SendMessageW(window, message, wParam, lParam)));
        }
        return 0;
    }
    if (command == L"wait-dialog") {
        HWND dialog = Wait([&] { return FindDialog(name); }, argc > 3 ? Number(argv[3]) : 10000);
        if (dialog == nullptr) return Fail(L"dialog not found");
        DWORD pid = 0;
        GetWindowThreadProcessId(dialog, &pid);
        std::printf("{\"hwnd\":%lu,\"pid\":%lu,\"foreground\":%s,\"controls\":%s}\n", Id(dialog),
                    static_cast<unsigned long>(pid), GetForegroundWindow() == dialog ? "true" : "false",
                    Controls(dialog).c_str());
        return 0;
    }

    HWND dialog = Wait([&] { return FindDialog(name); }, 10000);
    if (dialog == nullptr) return Fail(L"dialog not found");
    if (command == L"key" && argc >= 4) {
        const WPARAM key = static_cast<WPARAM>(Number(argv[3]));
        PostMessageW(dialog, WM_KEYDOWN, key, 0);
        PostMessageW(dialog, WM_KEYUP, key, 0);
        std::printf("{\"sent\":true}\n");
        return 0;
    }
    if (argc < 4) return Fail(L"missing control id");
    HWND control = GetDlgItem(dialog, static_cast<int>(Number(argv[3])));
    if (control == nullptr) return Fail(L"control not found");
    if (command == L"get-text") {
        std::printf("{\"text\":%s}\n", Json(WindowText(control).c_str()).c_str());
        return 0;
    }
    if (command == L"set-text" && argc >= 5) {
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
        std::printf("{\"set\":true}\n");
        return 0;
    }
    if (command == L"click") {
        // Posted: the click may open a modal message box, and a sent message would wait for it.
        PostMessageW(control, BM_CLICK, 0, 0);
        std::printf("{\"clicked\":true}\n");
        return 0;
    }
    return Fail(L"unknown command");
}
