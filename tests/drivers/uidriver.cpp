// A small driver that the tests run beside the agent under the same Wine prefix: it finds the
// agent's windows, popup menus, dialogs, message boxes and tray icon,
// sends them messages or input, and prints what it saw as one JSON line (UTF-8). Every command
// that waits for something polls for it with a time-out instead of sleeping.
//
// Every command ends within its bound: its timeout_ms, or 10 s when it takes none (hold: the time
// it holds). Past it, what it still waited for is an error, and so is a message that the target
// window's thread did not take in time: that thread may sit in a synchronous request for a whole
// request deadline. Under Wine, a command that needs the desktop when no program is on it starts
// explorer.exe, which inherits this process's standard error and keeps it until the desktop's
// last program ends: read the answer when the driver ends, not when its output streams do.
//
//   uidriver wait-window <class> [timeout_ms]           {"hwnd":N,"pid":N,"title":"..."}
//   uidriver wait-gone <class> [timeout_ms]             {"gone":true}
//   uidriver post <class|hwnd> <msg> <wparam> <lparam>  {"posted":true}
//   uidriver send <class|hwnd> <msg> <wparam> <lparam>  {"result":N}
//   uidriver send-many <class> <msg> <lparam> <wparam>...  {"results":[N,...]}
//   uidriver post-registered <class> <name> <wparam> <lparam>  {"posted":true,"message":N}
//   uidriver broadcast-registered <name>                {"posted":true,"message":N}  (to all top-level windows)
//   uidriver set-cursor <x> <y>                         {"cursor":[x,y]}
//   uidriver tray-notify <mouse msg> [x y]              {"posted":true}  (WM_USER+2 to TEMBRIX,
//                                                       the cursor set first when x y are given)
//   uidriver wait-popup [timeout_ms]                    {"hwnd":N,"rect":[l,t,r,b],"cursor":[x,y],
//                                                        "items":[{"id","text","separator","grayed",...}]}
//   uidriver choose <item id> [timeout_ms]              {"chosen":N}     (keys to the open popup)
//   uidriver dismiss [timeout_ms]                       {"dismissed":true}
//   uidriver wait-popup-gone [timeout_ms]               {"gone":true}
//   uidriver tray-icons                                 {"icons":[{"hwnd","rect","owner","id","callback","tip",
//                                                        "info_title","info_text","info_flags","image"}]}
//   uidriver wait-tray-icon <present|absent> [timeout_ms]  {"icons":[...]}  (icons of TEMBRIX)
//   uidriver tray-forget                                {"deleted":true}  (the shell drops the icon)
//   uidriver icon-click <left|right>                    {"clicked":true}  (real input on the icon)
//   uidriver hover-icon [timeout_ms]                    {"hwnd","rect","text"}  (the shell's tip, the
//                                                       cursor moved onto the icon first)
//   uidriver wait-balloon [timeout_ms]                  {"hwnd","rect","text","title"}  (a notification)
//   uidriver wait-balloon-gone [timeout_ms]             {"gone":true}
//   uidriver watch-tray <timeout_ms>                    {"events":[{"t","tip","image","info_title",...}],
//                                                        "balloons":[{"t","tooltip","title"}]}  (until the
//                                                       agent's window is gone)
//   uidriver wait-dialog <caption> [timeout_ms]         {"hwnd":N,"pid":N,"controls":[...]}
//   uidriver message-box <caption> [timeout_ms]         as wait-dialog, plus "text" and "icon"
//   uidriver dialog-units <caption>                     {"client":[w,h],"origin":[x,y],"unit":[x,y],
//                                                        "icons":"small,big"} (the client area on the screen,
//                                                       4x8 dialog units in pixels; icons: tray|other|none)
//   uidriver wait-dialog-gone <caption> [timeout_ms]    {"gone":true}
//   uidriver dialogs                                    {"dialogs":[{"hwnd":N,"pid":N,"caption":"..."}]}
//   uidriver get-text <caption> <control id>            {"text":"..."}
//   uidriver set-text <caption> <control id> <text>     {"set":true}
//   uidriver type <caption> <control id> <text>         {"typed":N}      (WM_CHAR per character)
//   uidriver click <caption> <control id>               {"clicked":true}   (posted BM_CLICK)
//   uidriver key <caption> <virtual key>                {"sent":true}      (posted to the dialog)
//   uidriver hold <ms>                                  {"holding":pid}, then runs that long
//   uidriver close <caption>                            {"closed":true}    (caption's close box)
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/drivers/uihook.h"

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

std::string Json(const RECT& r) {
    char text[80];
    std::snprintf(text, sizeof text, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
    return text;
}

std::string Json(bool value) { return value ? "true" : "false"; }

unsigned long Id(HWND window) { return static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)); }
long Number(const wchar_t* text) { return std::wcstol(text, nullptr, 0); }
DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

int Fail(const wchar_t* what) {
    std::printf("{\"error\":%s}\n", Json(what).c_str());
    return 1;
}

constexpr DWORD DefaultBoundMs = 10000;
// The command's bound, counted from its start (tick counts).
DWORD CommandStart = 0;
DWORD CommandBound = DefaultBoundMs;

// What is left of the command's bound, 0 once it has passed.
DWORD TimeLeft() {
    const DWORD spent = GetTickCount() - CommandStart;
    return spent >= CommandBound ? 0 : CommandBound - spent;
}

// Sends a message within what is left of the command's bound, and at most `capMs`; false when
// the window's thread did not answer in time. Once the bound has passed nothing is sent: Wine
// takes a time-out of 0 for none at all.
bool SendWithin(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, DWORD capMs,
                DWORD_PTR* result) {
    const DWORD left = TimeLeft();
    if (left == 0) return false;
    return SendMessageTimeoutW(window, message, wParam, lParam, flags, left < capMs ? left : capMs, result) != 0;
}

// Looks at least once, then until the command's bound has passed.
template <class Find>
HWND Wait(Find find) {
    for (;;) {
        HWND window = find();
        if (window != nullptr || TimeLeft() == 0) return window;
        Sleep(50);
    }
}

template <class Done>
bool WaitUntil(Done done) {
    for (;;) {
        if (done()) return true;
        if (TimeLeft() == 0) return false;
        Sleep(50);
    }
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// WM_GETTEXT is marshalled across processes, unlike GetWindowText for another process's edit.
// When the window's thread does not answer in time, *answered is false and the text is the one
// the window system keeps (a caption's or a label's; an edit's may be older than what it shows).
std::wstring WindowText(HWND window, bool* answered = nullptr) {
    wchar_t text[1024] = L"";
    DWORD_PTR ignored = 0;
    const bool ok = SendWithin(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                               &ignored);
    if (!ok) GetWindowTextW(window, text, 1024);  // another process's window: asks no thread
    if (answered != nullptr) *answered = ok;
    return text;
}

// Visible top-level windows of one class, in Z order; with a caption, only those titled exactly so.
struct TopLevelSearch {
    const wchar_t* ClassName;
    const wchar_t* Caption;
    bool VisibleOnly;
    std::vector<HWND> Found;
};

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<TopLevelSearch*>(context);
    if (search->VisibleOnly && !IsWindowVisible(window)) return TRUE;
    if (ClassOf(window) != search->ClassName) return TRUE;
    if (search->Caption != nullptr) {
        wchar_t caption[256] = L"";
        GetWindowTextW(window, caption, 256);
        if (std::wcscmp(caption, search->Caption) != 0) return TRUE;
    }
    search->Found.push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevel(const wchar_t* className, const wchar_t* caption, bool visibleOnly = true) {
    TopLevelSearch search{className, caption, visibleOnly, {}};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

HWND FindDialog(const wchar_t* caption) {
    const std::vector<HWND> found = TopLevel(L"#32770", caption);
    return found.empty() ? nullptr : found.front();
}

// The agent's tray windows (hidden, so not filtered by visibility).
std::vector<HWND> AgentWindows() { return TopLevel(L"TEMBRIX", nullptr, false); }

bool IsAgentProcess(DWORD pid) {
    for (HWND window : AgentWindows()) {
        if (ProcessOf(window) == pid) return true;
    }
    return false;
}

// The open popup menu of an agent (never one of explorer's).
HWND FindPopup() {
    for (HWND popup : TopLevel(L"#32768", nullptr)) {
        if (IsAgentProcess(ProcessOf(popup))) return popup;
    }
    return nullptr;
}

BOOL CALLBACK VisitControl(HWND control, LPARAM context) {
    auto* out = reinterpret_cast<std::string*>(context);
    char head[160];
    RECT rect;
    GetWindowRect(control, &rect);
    std::snprintf(head, sizeof head, "%s{\"id\":%d,\"style\":%lu,\"exstyle\":%lu,\"rect\":%s,\"class\":",
                  out->size() > 1 ? "," : "", GetDlgCtrlID(control),
                  static_cast<unsigned long>(GetWindowLongW(control, GWL_STYLE)),
                  static_cast<unsigned long>(GetWindowLongW(control, GWL_EXSTYLE)), Json(rect).c_str());
    *out += head + Json(ClassOf(control).c_str()) + ",\"text\":" + Json(WindowText(control).c_str()) + "}";
    return TRUE;
}

// Children in Z order, which for a dialog is the template's order and so the tab order.
std::string Controls(HWND dialog) {
    std::string out = "[";
    EnumChildWindows(dialog, VisitControl, reinterpret_cast<LPARAM>(&out));
    return out + "]";
}

std::string DialogJson(HWND dialog) {
    char head[200];
    RECT rect;
    GetWindowRect(dialog, &rect);
    std::snprintf(head, sizeof head, "{\"hwnd\":%lu,\"pid\":%lu,\"style\":%lu,\"exstyle\":%lu,\"rect\":%s,\"foreground\":%s,",
                  Id(dialog), static_cast<unsigned long>(ProcessOf(dialog)),
                  static_cast<unsigned long>(GetWindowLongW(dialog, GWL_STYLE)),
                  static_cast<unsigned long>(GetWindowLongW(dialog, GWL_EXSTYLE)), Json(rect).c_str(),
                  Json(GetForegroundWindow() == dialog).c_str());
    return head + std::string("\"caption\":") + Json(WindowText(dialog).c_str()) + ",\"controls\":" +
           Controls(dialog);
}

// Asks the hook DLL, loaded into the window's process, one question about the window.
bool AskHook(HWND window, HookQuestion question, HookDump* answer) {
    wchar_t name[64];
    HookMappingName(name, GetCurrentProcessId());
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(HookDump), name);
    if (mapping == nullptr) return false;
    auto* dump = static_cast<HookDump*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HookDump)));
    bool answered = false;
    if (dump != nullptr) {
        std::memset(dump, 0, sizeof *dump);
        // Beside the driver: Wine loads it into the target by this path.
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        wchar_t* slash = std::wcsrchr(path, L'\\');
        if (slash != nullptr) std::wcscpy(slash + 1, L"uihook.dll");
        HMODULE library = LoadLibraryW(path);
        auto* procedure = library ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(library, "TembrixHookProc")))
                                   : nullptr;
        HHOOK hook = procedure ? SetWindowsHookExW(WH_CALLWNDPROC, procedure, library,
                                                   GetWindowThreadProcessId(window, nullptr))
                               : nullptr;
        if (hook != nullptr) {
            DWORD_PTR ignored = 0;
            SendWithin(window, RegisterWindowMessageW(HookQueryMessage), question, GetCurrentProcessId(),
                       SMTO_ABORTIFHUNG, 10000, &ignored);
            UnhookWindowsHookEx(hook);
            answered = dump->Answered != 0;
            if (answered) *answer = *dump;
        }
        UnmapViewOfFile(dump);
    }
    CloseHandle(mapping);
    return answered;
}

std::string PopupJson(HWND popup) {
    static HookDump dump;
    if (!AskHook(popup, HookAskMenu, &dump)) return {};
    RECT rect;
    GetWindowRect(popup, &rect);
    POINT cursor;
    GetCursorPos(&cursor);
    char head[200];
    std::snprintf(head, sizeof head, "{\"hwnd\":%lu,\"pid\":%lu,\"rect\":%s,\"cursor\":[%ld,%ld],\"items\":[", Id(popup),
                  static_cast<unsigned long>(ProcessOf(popup)), Json(rect).c_str(), cursor.x, cursor.y);
    std::string out = head;
    for (int i = 0; i < dump.Count; ++i) {
        const HookMenuItem& item = dump.Items[i];
        char fields[200];
        // Wine reports separators with the grayed bits set; "grayed" is only meaningful for the others.
        std::snprintf(fields, sizeof fields,
                      "%s{\"position\":%d,\"id\":%u,\"type\":%u,\"state\":%u,\"separator\":%s,\"grayed\":%s,\"rect\":%s,"
                      "\"text\":",
                      i ? "," : "", i, item.Id, item.Type, item.State, Json((item.Type & MFT_SEPARATOR) != 0).c_str(),
                      Json((item.State & MFS_GRAYED) != 0).c_str(), Json(item.Rect).c_str());
        out += fields + Json(item.Text) + "}";
    }
    return out + "]}";
}

bool PopupGone(HWND popup) { return !IsWindow(popup) || !IsWindowVisible(popup); }

// What winex11's record of one icon says (see WineTrayIcon), read from explorer's memory.
struct IconRecord {
    bool Read;
    HWND Owner;
    UINT Id;
    UINT Callback;
    wchar_t Tip[128];
    wchar_t InfoText[256];
    wchar_t InfoTitle[64];
    UINT InfoFlags;
    bool InfoIcon;
};

IconRecord ReadIconRecord(HWND icon) {
    IconRecord record = {};
    const LONG_PTR address = GetWindowLongPtrW(icon, GWLP_USERDATA);
    HANDLE explorer = OpenProcess(PROCESS_VM_READ, FALSE, ProcessOf(icon));
    if (address == 0 || explorer == nullptr) {
        if (explorer != nullptr) CloseHandle(explorer);
        return record;
    }
    static WineTrayIcon raw;
    std::memset(&raw, 0, sizeof raw);
    SIZE_T read = 0;
    if (ReadProcessMemory(explorer, reinterpret_cast<void*>(address), &raw, sizeof raw, &read) && read == sizeof raw &&
        raw.Window == icon) {
        record.Read = true;
        record.Owner = raw.Owner;
        record.Id = raw.Id;
        record.Callback = raw.Callback;
        std::memcpy(record.Tip, raw.Tip, sizeof record.Tip);
        record.Tip[127] = 0;
        std::memcpy(record.InfoText, raw.InfoText, sizeof record.InfoText);
        record.InfoText[255] = 0;
        std::memcpy(record.InfoTitle, raw.InfoTitle, sizeof record.InfoTitle);
        record.InfoTitle[63] = 0;
        record.InfoFlags = raw.InfoFlags;
        record.InfoIcon = raw.InfoIcon != nullptr;
    }
    CloseHandle(explorer);
    return record;
}

// The shell's copy of the icon's image, asked of the hook inside explorer: "size":[w,h], a hash
// of its bits (equal for equal images) and whether it has an alpha channel.
std::string ImageJson(HWND icon) {
    static HookDump dump;
    if (!AskHook(icon, HookAskTrayImage, &dump) || dump.ImageWidth == 0) return "null";
    char text[100];
    std::snprintf(text, sizeof text, "{\"size\":[%d,%d],\"hash\":%u,\"alpha\":%s}", dump.ImageWidth,
                  dump.ImageHeight, dump.ImageHash, Json(dump.ImageAlpha != 0).c_str());
    return text;
}

BOOL CALLBACK VisitIcon(HWND window, LPARAM context) {
    if (ClassOf(window) == L"__winex11_tray_icon") reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
    return TRUE;
}

// Icon windows are children of the standalone tray (or top-level when a real X tray docks them).
std::vector<HWND> TrayIcons() {
    std::vector<HWND> icons;
    EnumWindows(VisitIcon, reinterpret_cast<LPARAM>(&icons));
    for (HWND tray : TopLevel(L"__winex11_standalone_tray", nullptr, false)) {
        EnumChildWindows(tray, VisitIcon, reinterpret_cast<LPARAM>(&icons));
    }
    return icons;
}

// With onlyAgents, the icons whose record names an agent's window as owner.
std::string IconsJson(bool onlyAgents, int* count) {
    const std::vector<HWND> agents = AgentWindows();
    std::string out = "{\"icons\":[";
    *count = 0;
    for (HWND icon : TrayIcons()) {
        const IconRecord record = ReadIconRecord(icon);
        bool agentOwned = false;
        for (HWND agent : agents) agentOwned = agentOwned || (record.Read && record.Owner == agent);
        if (onlyAgents && !agentOwned) continue;
        RECT rect;
        GetWindowRect(icon, &rect);
        char head[240];
        std::snprintf(head, sizeof head,
                      "%s{\"hwnd\":%lu,\"visible\":%s,\"rect\":%s,\"record_read\":%s,\"owner\":%lu,\"id\":%u,"
                      "\"callback\":%u,\"info_flags\":%u,\"info_icon\":%s,\"tip\":",
                      *count ? "," : "", Id(icon), Json(IsWindowVisible(icon) != 0).c_str(), Json(rect).c_str(),
                      Json(record.Read).c_str(), Id(record.Owner), record.Id, record.Callback, record.InfoFlags,
                      Json(record.InfoIcon).c_str());
        out += head + Json(record.Tip) + ",\"info_title\":" + Json(record.InfoTitle) + ",\"info_text\":" +
               Json(record.InfoText) + ",\"image\":" + (agentOwned ? ImageJson(icon) : "null") + "}";
        ++*count;
    }
    return out + "]}";
}

HWND FindIconOfAgent() {
    const std::vector<HWND> agents = AgentWindows();
    for (HWND icon : TrayIcons()) {
        const IconRecord record = ReadIconRecord(icon);
        for (HWND agent : agents) {
            if (record.Read && record.Owner == agent) return icon;
        }
    }
    return nullptr;
}

// A window named by its class, or by its handle in digits when several windows share the class.
HWND Target(const wchar_t* name) {
    if (*name >= L'0' && *name <= L'9') {
        HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::wcstoul(name, nullptr, 0)));
        return IsWindow(window) ? window : nullptr;
    }
    return FindWindowW(name, nullptr);
}

void MouseInput(DWORD flags, LONG x, LONG y) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
    input.mi.dx = static_cast<LONG>((x * 65535.0) / (GetSystemMetrics(SM_CXSCREEN) - 1));
    input.mi.dy = static_cast<LONG>((y * 65535.0) / (GetSystemMetrics(SM_CYSCREEN) - 1));
    SendInput(1, &input, sizeof input);
}

HWND WaitForAgentWindow() {
    return Wait([] { std::vector<HWND> w = AgentWindows(); return w.empty() ? nullptr : w.front(); });
}

HWND WaitForDialogCaption(const wchar_t* caption) { return Wait([&] { return FindDialog(caption); }); }

HWND WaitForTarget(const wchar_t* name) { return Wait([&] { return Target(name); }); }

// The control argv[3] of the dialog captioned argv[2]: 0 with *control set, or Fail's exit code.
int FindControl(int argc, wchar_t** argv, HWND* control) {
    HWND dialog = WaitForDialogCaption(argv[2]);
    if (dialog == nullptr) return Fail(L"dialog not found");
    if (argc < 4) return Fail(L"missing control id");
    *control = GetDlgItem(dialog, static_cast<int>(Number(argv[3])));
    if (*control == nullptr) return Fail(L"control not found");
    return 0;
}

int PrintPosted(bool posted, UINT message) {
    std::printf("{\"posted\":%s,\"message\":%u}\n", Json(posted).c_str(), message);
    return 0;
}

int PrintWindowGone(bool gone) {
    if (!gone) return Fail(L"window still there");
    std::printf("{\"gone\":true}\n");
    return 0;
}

int ListDialogs(int, wchar_t**) {
    std::string out = "{\"dialogs\":[";
    bool first = true;
    for (HWND dialog : TopLevel(L"#32770", nullptr)) {
        char head[80];
        std::snprintf(head, sizeof head, "%s{\"hwnd\":%lu,\"pid\":%lu,\"caption\":", first ? "" : ",", Id(dialog),
                      static_cast<unsigned long>(ProcessOf(dialog)));
        out += head + Json(WindowText(dialog).c_str()) + "}";
        first = false;
    }
    std::printf("%s]}\n", out.c_str());
    return 0;
}

int WaitForPopup(int, wchar_t**) {
    HWND popup = Wait(FindPopup);
    if (popup == nullptr) return Fail(L"no popup menu");
    const std::string out = PopupJson(popup);
    if (out.empty()) return Fail(L"the hook did not answer");
    std::printf("%s\n", out.c_str());
    return 0;
}

int DismissPopup(int, wchar_t**) {
    HWND popup = Wait(FindPopup);
    if (popup == nullptr) return Fail(L"no popup menu");
    PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(popup, WM_KEYUP, VK_ESCAPE, 0);
    if (!WaitUntil([&] { return PopupGone(popup); })) return Fail(L"popup still open");
    std::printf("{\"dismissed\":true}\n");
    return 0;
}

int WaitForPopupGone(int, wchar_t**) {
    // No popup open right now is already gone: the time-out is only for one still closing.
    HWND popup = FindPopup();
    if (popup != nullptr && !WaitUntil([&] { return PopupGone(popup); })) {
        return Fail(L"popup still open");
    }
    std::printf("{\"gone\":true}\n");
    return 0;
}

int ListTrayIcons(int, wchar_t**) {
    int count = 0;
    std::printf("%s\n", IconsJson(false, &count).c_str());
    return 0;
}

int ForgetTrayIcon(int, wchar_t**) {
    // What a restarted shell does to every icon: it simply no longer has it.
    HWND agent = WaitForAgentWindow();
    if (agent == nullptr) return Fail(L"window not found");
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = agent;
    data.uID = 0;
    std::printf("{\"deleted\":%s}\n", Json(Shell_NotifyIconW(NIM_DELETE, &data) != 0).c_str());
    return 0;
}

int BroadcastRegistered(int, wchar_t** argv) {
    // As a restarted shell announces itself: to every top-level window.
    const UINT message = RegisterWindowMessageW(argv[2]);
    return PrintPosted(PostMessageW(HWND_BROADCAST, message, 0, 0) != 0, message);
}

int HoldProcess(int, wchar_t** argv) {
    // Just a running process, for tests that count processes by their executable's name.
    std::printf("{\"holding\":%lu}\n", static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(Number(argv[2])));
    return 0;
}

int WaitForTrayIcon(int, wchar_t** argv) {
    const bool present = std::wcscmp(argv[2], L"present") == 0;
    const bool ok = WaitUntil([&] { return (FindIconOfAgent() != nullptr) == present; });
    int count = 0;
    const std::string icons = IconsJson(true, &count);
    if (!ok) return Fail(present ? L"no icon of the agent" : L"the agent's icon is still there");
    std::printf("%s\n", icons.c_str());
    return 0;
}

int ClickIcon(int, wchar_t** argv) {
    HWND icon = Wait(FindIconOfAgent);
    if (icon == nullptr) return Fail(L"no icon of the agent");
    RECT rect;
    GetWindowRect(icon, &rect);
    const LONG x = (rect.left + rect.right) / 2, y = (rect.top + rect.bottom) / 2;
    const bool right = std::wcscmp(argv[2], L"right") == 0;
    MouseInput(0, x, y);
    MouseInput(right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN, x, y);
    MouseInput(right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP, x, y);
    std::printf("{\"clicked\":true,\"at\":[%ld,%ld]}\n", x, y);
    return 0;
}

// The shell's visible tooltips in explorer: the notification balloons (TTS_BALLOON), or the tips.
std::vector<HWND> ShellTooltips(DWORD explorer, bool balloons) {
    std::vector<HWND> found;
    for (HWND window : TopLevel(L"tooltips_class32", nullptr)) {
        if (ProcessOf(window) != explorer) continue;
        if (((GetWindowLongW(window, GWL_STYLE) & TTS_BALLOON) != 0) == balloons) found.push_back(window);
    }
    return found;
}

std::string TooltipJson(HWND tooltip) {
    RECT rect;
    GetWindowRect(tooltip, &rect);
    char head[80];
    std::snprintf(head, sizeof head, "{\"hwnd\":%lu,\"rect\":%s,\"text\":", Id(tooltip), Json(rect).c_str());
    return head + Json(WindowText(tooltip).c_str());
}

// Waits for the agent's icon, then for a visible tooltip of the shell's of that kind.
int WaitForShellTooltip(bool balloon, bool hover) {
    HWND icon = Wait(FindIconOfAgent);
    if (icon == nullptr) return Fail(L"no icon of the agent");
    if (hover) {
        RECT rect;
        GetWindowRect(icon, &rect);
        MouseInput(0, (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    }
    const DWORD explorer = ProcessOf(icon);
    HWND tooltip = Wait([&] {
        const std::vector<HWND> found = ShellTooltips(explorer, balloon);
        return found.empty() ? nullptr : found.front();
    });
    if (tooltip == nullptr) return Fail(balloon ? L"no notification shown" : L"no tip shown");
    // A balloon's title is not the tooltip's text; the shell's record of the icon keeps it.
    const IconRecord record = ReadIconRecord(icon);
    std::printf("%s,\"title\":%s}\n", TooltipJson(tooltip).c_str(), Json(balloon ? record.InfoTitle : L"").c_str());
    return 0;
}

int WaitForBalloon(int, wchar_t**) { return WaitForShellTooltip(true, false); }

int WaitForBalloonGone(int, wchar_t**) {
    HWND icon = Wait(FindIconOfAgent);
    if (icon == nullptr) return Fail(L"no icon of the agent");
    const DWORD explorer = ProcessOf(icon);
    return PrintWindowGone(WaitUntil([&] { return ShellTooltips(explorer, true).empty(); }));
}

int HoverIcon(int, wchar_t**) { return WaitForShellTooltip(false, true); }

// Milliseconds since 1970 (UTC): a clock that programs outside the prefix share.
unsigned long long UnixMs() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10000 - 11644473600000ull;
}

// Watches the agent's icon until the agent's window is gone (or the bound passes): each change
// of its tip, its image or the notification it was last given, and each notification balloon
// the shell shows for it, with the time in ms since 1970. The shell makes a new balloon window
// for each notification it shows, so balloons are counted by their windows.
int WatchTray(int, wchar_t**) {
    std::string events, balloons, last;
    std::vector<HWND> seen;
    DWORD explorer = 0;
    bool agentSeen = false;
    int eventCount = 0, balloonCount = 0;
    for (;;) {
        const bool agent = !AgentWindows().empty();
        agentSeen = agentSeen || agent;
        if ((agentSeen && !agent) || TimeLeft() == 0) break;
        const unsigned long long at = UnixMs();
        HWND icon = FindIconOfAgent();
        IconRecord record = {};
        std::string state = "\"icon\":null";
        if (icon != nullptr) {
            explorer = ProcessOf(icon);
            record = ReadIconRecord(icon);
            char flags[40];
            std::snprintf(flags, sizeof flags, ",\"info_flags\":%u", record.InfoFlags);
            state = "\"tip\":" + Json(record.Tip) + ",\"image\":" + ImageJson(icon) + ",\"info_title\":" +
                    Json(record.InfoTitle) + ",\"info_text\":" + Json(record.InfoText) + flags;
        }
        if (state != last) {
            char head[40];
            std::snprintf(head, sizeof head, "%s{\"t\":%llu,", eventCount++ ? "," : "", at);
            events += head + state + "}";
            last = state;
        }
        for (HWND balloon : explorer != 0 ? ShellTooltips(explorer, true) : std::vector<HWND>()) {
            bool known = false;
            for (HWND old : seen) known = known || old == balloon;
            if (known) continue;
            seen.push_back(balloon);
            char head[40];
            std::snprintf(head, sizeof head, "%s{\"t\":%llu,\"tooltip\":", balloonCount++ ? "," : "", at);
            balloons += head + TooltipJson(balloon) + ",\"title\":" + Json(record.InfoTitle) + "}}";
        }
        Sleep(25);
    }
    std::printf("{\"events\":[%s],\"balloons\":[%s]}\n", events.c_str(), balloons.c_str());
    return 0;
}

int ChooseItem(int, wchar_t** argv) {
    const UINT target = static_cast<UINT>(Number(argv[2]));
    HWND popup = Wait(FindPopup);
    if (popup == nullptr) return Fail(L"no popup menu");
    static HookDump dump;
    if (!AskHook(popup, HookAskMenu, &dump)) return Fail(L"the hook did not answer");
    // One step down per item the keyboard stops at (separators are skipped), then Enter.
    int steps = 0;
    bool found = false;
    for (int i = 0; i < dump.Count && !found; ++i) {
        if (dump.Items[i].Type & MFT_SEPARATOR) continue;
        ++steps;
        found = dump.Items[i].Id == target;
    }
    if (!found) return Fail(L"no such item");
    for (int i = 0; i < steps; ++i) {
        PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(popup, WM_KEYUP, VK_DOWN, 0);
    }
    PostMessageW(popup, WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(popup, WM_CHAR, L'\r', 0);
    PostMessageW(popup, WM_KEYUP, VK_RETURN, 0);
    if (!WaitUntil([&] { return PopupGone(popup); })) return Fail(L"popup still open");
    std::printf("{\"chosen\":%u}\n", target);
    return 0;
}

int MoveCursor(int, wchar_t** argv) {
    SetCursorPos(static_cast<int>(Number(argv[2])), static_cast<int>(Number(argv[3])));
    POINT point;
    GetCursorPos(&point);
    std::printf("{\"cursor\":[%ld,%ld]}\n", point.x, point.y);
    return 0;
}

int NotifyTray(int argc, wchar_t** argv) {
    if (argc >= 5) SetCursorPos(static_cast<int>(Number(argv[3])), static_cast<int>(Number(argv[4])));
    HWND agent = WaitForAgentWindow();
    if (agent == nullptr) return Fail(L"window not found");
    // Posted: the agent's answer is a modal menu loop.
    std::printf("{\"posted\":%s}\n", Json(PostMessageW(agent, WM_USER + 2, 0, Number(argv[2])) != 0).c_str());
    return 0;
}

int WaitForWindow(int, wchar_t** argv) {
    const wchar_t* name = argv[2];
    HWND window = Wait([&] { return FindWindowW(name, nullptr); });
    if (window == nullptr) return Fail(L"window not found");
    std::printf("{\"hwnd\":%lu,\"pid\":%lu,\"title\":%s}\n", Id(window), static_cast<unsigned long>(ProcessOf(window)),
                Json(WindowText(window).c_str()).c_str());
    return 0;
}

int WaitForWindowGone(int, wchar_t** argv) {
    const wchar_t* name = argv[2];
    return PrintWindowGone(WaitUntil([&] { return FindWindowW(name, nullptr) == nullptr; }));
}

int WaitForDialogGone(int, wchar_t** argv) {
    const wchar_t* caption = argv[2];
    return PrintWindowGone(WaitUntil([&] { return FindDialog(caption) == nullptr; }));
}

// post and post-registered: TARGET MESSAGE WPARAM LPARAM, the message given by its number or name.
int PostMessageAs(wchar_t** argv, UINT (*messageOf)(const wchar_t*)) {
    HWND window = WaitForTarget(argv[2]);
    if (window == nullptr) return Fail(L"window not found");
    const UINT message = messageOf(argv[3]);
    const WPARAM wParam = static_cast<WPARAM>(Number(argv[4]));
    const LPARAM lParam = static_cast<LPARAM>(Number(argv[5]));
    return PrintPosted(PostMessageW(window, message, wParam, lParam) != 0, message);
}

UINT MessageNumber(const wchar_t* text) { return static_cast<UINT>(Number(text)); }
UINT RegisteredMessage(const wchar_t* name) { return RegisterWindowMessageW(name); }

int PostToWindow(int, wchar_t** argv) { return PostMessageAs(argv, MessageNumber); }
int PostRegistered(int, wchar_t** argv) { return PostMessageAs(argv, RegisteredMessage); }

int SendToWindow(int, wchar_t** argv) {
    HWND window = WaitForTarget(argv[2]);
    if (window == nullptr) return Fail(L"window not found");
    const UINT message = static_cast<UINT>(Number(argv[3]));
    const WPARAM wParam = static_cast<WPARAM>(Number(argv[4]));
    const LPARAM lParam = static_cast<LPARAM>(Number(argv[5]));
    DWORD_PTR result = 0;
    if (!SendWithin(window, message, wParam, lParam, SMTO_NORMAL, DefaultBoundMs, &result)) {
        return Fail(L"no answer from the window");
    }
    std::printf("{\"result\":%ld}\n", static_cast<long>(result));
    return 0;
}

int SendMany(int argc, wchar_t** argv) {
    HWND window = WaitForTarget(argv[2]);
    if (window == nullptr) return Fail(L"window not found");
    const UINT message = static_cast<UINT>(Number(argv[3]));
    const LPARAM lParam = static_cast<LPARAM>(Number(argv[4]));
    std::string out = "{\"results\":[";
    for (int i = 5; i < argc; ++i) {
        DWORD_PTR result = 0;
        const bool ok =
            SendWithin(window, message, static_cast<WPARAM>(Number(argv[i])), lParam, SMTO_ABORTIFHUNG, 5000, &result);
        char item[32];
        std::snprintf(item, sizeof item, "%s%ld", i > 5 ? "," : "", ok ? static_cast<long>(result) : -1L);
        out += item;
    }
    std::printf("%s]}\n", out.c_str());
    return 0;
}

int WaitForDialog(int, wchar_t** argv) {
    HWND dialog = WaitForDialogCaption(argv[2]);
    if (dialog == nullptr) return Fail(L"dialog not found");
    std::printf("%s}\n", DialogJson(dialog).c_str());
    return 0;
}

int WaitForMessageBox(int, wchar_t** argv) {
    HWND dialog = WaitForDialogCaption(argv[2]);
    if (dialog == nullptr) return Fail(L"dialog not found");
    std::string out = DialogJson(dialog);
    // A message box: its text is the static 0xFFFF, its icon the static 0x0440.
    HWND text = GetDlgItem(dialog, 0xFFFF);
    HWND icon = GetDlgItem(dialog, 0x0440);
    static HookDump dump;
    const bool asked = icon != nullptr && AskHook(icon, HookAskIcon, &dump);
    out += ",\"text\":" + Json(text ? WindowText(text).c_str() : L"") +
           ",\"icon\":" + Json(icon == nullptr ? L"none" : asked ? dump.Text : L"unknown");
    std::printf("%s}\n", out.c_str());
    return 0;
}

int MeasureDialogUnits(int, wchar_t** argv) {
    HWND dialog = WaitForDialogCaption(argv[2]);
    if (dialog == nullptr) return Fail(L"dialog not found");
    static HookDump dump;
    if (!AskHook(dialog, HookAskDialogUnits, &dump)) return Fail(L"the hook did not answer");
    std::printf("{\"client\":[%ld,%ld],\"origin\":[%ld,%ld],\"unit\":[%ld,%ld],\"icons\":%s}\n",
                dump.Rect.right - dump.Rect.left, dump.Rect.bottom - dump.Rect.top, dump.Rect.left, dump.Rect.top,
                dump.Unit.right, dump.Unit.bottom, Json(dump.Text).c_str());
    return 0;
}

int CloseDialog(int, wchar_t** argv) {
    HWND dialog = WaitForDialogCaption(argv[2]);
    if (dialog == nullptr) return Fail(L"dialog not found");
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    std::printf("{\"closed\":true}\n");
    return 0;
}

int PressKey(int, wchar_t** argv) {
    HWND dialog = WaitForDialogCaption(argv[2]);
    if (dialog == nullptr) return Fail(L"dialog not found");
    const WPARAM key = static_cast<WPARAM>(Number(argv[3]));
    // To the focused control, as the keyboard would; the dialog's loop turns Enter and Escape
    // into its default button and IDCANCEL.
    HWND target = dialog;
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus != nullptr &&
        (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus))) {
        target = info.hwndFocus;
    }
    PostMessageW(target, WM_KEYDOWN, key, 0);
    PostMessageW(target, WM_KEYUP, key, 0);
    std::printf("{\"sent\":true,\"to\":%lu}\n", Id(target));
    return 0;
}

int GetControlText(int argc, wchar_t** argv) {
    HWND control = nullptr;
    if (const int failed = FindControl(argc, argv, &control)) return failed;
    bool answered = false;
    const std::wstring text = WindowText(control, &answered);
    if (!answered) return Fail(L"no answer from the window");
    std::printf("{\"text\":%s}\n", Json(text.c_str()).c_str());
    return 0;
}

int SetControlText(int argc, wchar_t** argv) {
    HWND control = nullptr;
    if (const int failed = FindControl(argc, argv, &control)) return failed;
    DWORD_PTR ignored = 0;
    if (!SendWithin(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]), SMTO_NORMAL, DefaultBoundMs, &ignored)) {
        return Fail(L"no answer from the window");
    }
    std::printf("{\"set\":true}\n");
    return 0;
}

int TypeText(int argc, wchar_t** argv) {
    HWND control = nullptr;
    if (const int failed = FindControl(argc, argv, &control)) return failed;
    // Character by character, as typed: the edit's own limits and handling apply.
    int typed = 0;
    for (const wchar_t* c = argv[4]; *c; ++c, ++typed) PostMessageW(control, WM_CHAR, *c, 1);
    std::printf("{\"typed\":%d}\n", typed);
    return 0;
}

int ClickControl(int argc, wchar_t** argv) {
    HWND control = nullptr;
    if (const int failed = FindControl(argc, argv, &control)) return failed;
    // Posted: the click may open a modal message box, and a sent message would wait for it.
    PostMessageW(control, BM_CLICK, 0, 0);
    std::printf("{\"clicked\":true}\n");
    return 0;
}

// A command not in the table, or one short of the arguments it needs, fails as it always has:
// its arguments are first taken for a dialog's caption and a control id, so the error may be
// about those (after the dialog's time-out) rather than "unknown command".
int FailUnknownCommand(int argc, wchar_t** argv) {
    if (argc < 3) return Fail(L"missing argument");
    HWND control = nullptr;
    if (const int failed = FindControl(argc, argv, &control)) return failed;
    return Fail(L"unknown command");
}

// Handlers get the whole command line (argv[1] is the command), so argument indexes read the
// same everywhere; Arguments counts those after the command's name that it needs at the least,
// and BoundAt is the index of its time-out in milliseconds (0: it takes none).
struct Command {
    const wchar_t* Name;
    int Arguments;
    int BoundAt;
    int (*Run)(int argc, wchar_t** argv);
};

constexpr Command Commands[] = {
    {L"dialogs", 0, 0, ListDialogs},
    {L"wait-popup", 0, 2, WaitForPopup},
    {L"dismiss", 0, 2, DismissPopup},
    {L"wait-popup-gone", 0, 2, WaitForPopupGone},
    {L"tray-icons", 0, 0, ListTrayIcons},
    {L"tray-forget", 0, 0, ForgetTrayIcon},
    {L"broadcast-registered", 1, 0, BroadcastRegistered},
    {L"hold", 1, 2, HoldProcess},
    {L"wait-tray-icon", 1, 3, WaitForTrayIcon},
    {L"icon-click", 1, 0, ClickIcon},
    {L"wait-balloon", 0, 2, WaitForBalloon},
    {L"wait-balloon-gone", 0, 2, WaitForBalloonGone},
    {L"hover-icon", 0, 2, HoverIcon},
    {L"watch-tray", 1, 2, WatchTray},
    {L"choose", 1, 3, ChooseItem},
    {L"set-cursor", 2, 0, MoveCursor},
    {L"tray-notify", 1, 0, NotifyTray},
    {L"wait-window", 1, 3, WaitForWindow},
    {L"wait-gone", 1, 3, WaitForWindowGone},
    {L"wait-dialog-gone", 1, 3, WaitForDialogGone},
    {L"post", 4, 0, PostToWindow},
    {L"send", 4, 0, SendToWindow},
    {L"post-registered", 4, 0, PostRegistered},
    {L"send-many", 4, 0, SendMany},
    {L"wait-dialog", 1, 3, WaitForDialog},
    {L"message-box", 1, 3, WaitForMessageBox},
    {L"dialog-units", 1, 0, MeasureDialogUnits},
    {L"close", 1, 0, CloseDialog},
    {L"key", 2, 0, PressKey},
    {L"get-text", 2, 0, GetControlText},
    {L"set-text", 3, 0, SetControlText},
    {L"type", 3, 0, TypeText},
    {L"click", 2, 0, ClickControl},
};

// The one answer goes to whoever takes it first: the command, or the watchdog.
LONG AnswerTaken = 0;
bool TakeAnswer() { return InterlockedExchange(&AnswerTaken, 1) == 0; }

// What the command's own bounds cannot reach (the shell's answer to a notification-area call, a
// loader that starts the desktop's program): a command still running shortly after its bound
// gets an error for its answer, and the process ends at once, without waiting for any thread or
// running any library's exit code, either of which may be what holds it.
constexpr DWORD WatchdogGraceMs = 2000;

DWORD WINAPI Watchdog(void*) {
    if (CommandBound >= INFINITE - WatchdogGraceMs) return 0;  // a bound of days: never
    const DWORD limit = CommandBound + WatchdogGraceMs;
    const DWORD spent = GetTickCount() - CommandStart;
    if (spent < limit) Sleep(limit - spent);
    if (!TakeAnswer()) return 0;
    char line[80];
    const int length = std::snprintf(line, sizeof line, "{\"error\":\"no answer within %lu ms\"}\r\n",
                                     static_cast<unsigned long>(CommandBound));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 1);
    return 0;
}

// The command's own answer, unless the watchdog is giving one (then it ends the process).
int Answer(int code) {
    if (!TakeAnswer()) Sleep(INFINITE);
    std::fflush(stdout);
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The answer stays in the buffer until the command is done with it: a watchdog's answer never
    // follows half of it.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    if (argc < 2) return Fail(L"usage: uidriver <command> ...");
    const Command* found = nullptr;
    for (const Command& command : Commands) {
        if (std::wcscmp(argv[1], command.Name) == 0 && argc - 2 >= command.Arguments) found = &command;
    }
    CommandStart = GetTickCount();
    if (found != nullptr && found->BoundAt != 0 && argc > found->BoundAt) {
        CommandBound = static_cast<DWORD>(Number(argv[found->BoundAt]));
    }
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (watchdog != nullptr) CloseHandle(watchdog);
    return Answer(found != nullptr ? found->Run(argc, argv) : FailUnknownCommand(argc, argv));
}
