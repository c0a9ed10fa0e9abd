// Entry, start-up and shutdown: every long-lived object is created here in a fixed order and
// released here in the reverse one.
#include <windows.h>

#include <cstring>
#include <new>

#include "app/host_address.h"
#include "app/instances.h"
#include "app/machine_policy.h"
#include "app/settings.h"
#include "identity/terminal_address.h"
#include "log/agent_log.h"
#include "lockstate/lock_pipe.h"
#include "lockstate/permission.h"
#include "lockstate/pipe_role.h"
#include "lockstate/worker.h"
#include "resources/resource.h"
#include "server/queries.h"
#include "server/server_link.h"
#include "tray/dialogs.h"
#include "tray/tray_window.h"
#include "version.h"

namespace {

void Refuse(const wchar_t* text, const wchar_t* caption) { MessageBoxW(nullptr, text, caption, MB_OK); }

// How long each stage of the shutdown took, and which workers were left alone: the stop line.
struct ShutdownReport {
    LARGE_INTEGER Mark;
    long long PublisherMs, PipeMs, PollerMs, LinkMs, SettingsMs;
    bool PublisherLeft, PollerLeft;
};

// The milliseconds since the last stage ended; this one ends now.
long long StageMs(ShutdownReport& report) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const long long ms = (now.QuadPart - report.Mark.QuadPart) * 1000 / frequency.QuadPart;
    report.Mark = now;
    return ms;
}

// Ends a worker and clears its pointer; false, keeping the pointer to the record it leaves
// alone, when the worker did not return in time.
bool StopWorker(Worker*& worker) {
    if (worker == nullptr) return true;
    if (!DestroyWorker(worker)) return false;
    worker = nullptr;
    return true;
}

// Releases whatever exists, in the order that keeps every object alive while anything uses it:
// each worker before what it uses (the publisher before the pipe and the role, the poller before
// the settings it reads), the settings last. The address is written back only after a run that
// reached the message loop: a start-up that failed leaves the file as it found it. That write's
// failure goes unsaid: every address the user confirmed is already in the file, and a file the
// user may not write holds the administrator's.
//
// Every worker is asked to stop at once, and every caller waiting for a server stops waiting,
// so that a poller inside a request returns while the pipe's flush waits on the reader. A worker
// that does not return in time is left alone with what it may be using (a request keeps its own
// link open); the process exit ends it.
//
// The pipe's role goes on only once this agent's pipe instance is closed, so that the next holder
// never meets it; a pipe left to the process exit keeps the role with it, and the exit ends both.
void Shutdown(bool saveSettings, ShutdownReport& report) {
    QueryPerformanceCounter(&report.Mark);
    RequestWorkerStop();
    AbandonRequests();
    report.PublisherLeft = !StopWorker(PublisherWorker);
    report.PublisherMs = StageMs(report);
    bool pipeClosed = false;
    if (!report.PublisherLeft) {
        pipeClosed = TheLockPipe == nullptr || ReleaseLockPipe(TheLockPipe);
        TheLockPipe = nullptr;
    }
    if (pipeClosed && ThePipeRole != nullptr) {
        GiveUpRole(ThePipeRole);
        if (StopWorker(RoleWorker)) {
            ReleasePipeRole(ThePipeRole);
            ThePipeRole = nullptr;
        }
    }
    report.PipeMs = StageMs(report);
    StopWorker(PolicyWorker);  // uses nothing that goes: a watcher left alone ends with the process
    const bool pollerStopped = StopWorker(PollerWorker);
    report.PollerLeft = !pollerStopped;
    report.PollerMs = StageMs(report);
    ReplaceServerLink(nullptr);
    report.LinkMs = StageMs(report);
    delete MessageDialogSlot;
    MessageDialogSlot = nullptr;
    delete SettingsDialogSlot;
    SettingsDialogSlot = nullptr;
    if (TheSettings != nullptr) {
        if (saveSettings) SaveSettings(TheSettings);
        if (pollerStopped) {
            delete TheSettings;
            TheSettings = nullptr;
        }
    }
    delete TheSettingsPath;
    TheSettingsPath = nullptr;
    report.SettingsMs = StageMs(report);
}

// The whole shutdown, then its stop line (in the event log too) and the log's end. Returns the
// exit code.
int EndAgent(const char* cause, bool saveSettings) {
    constexpr int ExitCode = 0;
    ShutdownReport report = {};
    Shutdown(saveSettings, report);
    const char* left = report.PublisherLeft ? (report.PollerLeft ? "publisher,poller" : "publisher")
                                            : (report.PollerLeft ? "poller" : "none");
    const long long total =
        report.PublisherMs + report.PipeMs + report.PollerMs + report.LinkMs + report.SettingsMs;
    WriteLog(LogLevel::Info, "stop",
             {{"by", cause}, {"publisher-ms", LogNumber(report.PublisherMs).Text},
              {"pipe-ms", LogNumber(report.PipeMs).Text}, {"poller-ms", LogNumber(report.PollerMs).Text},
              {"link-ms", LogNumber(report.LinkMs).Text}, {"settings-ms", LogNumber(report.SettingsMs).Text},
              {"total-ms", LogNumber(total).Text}, {"left", left}, {"exit", LogNumber(ExitCode).Text}},
             EventLogId::Stop);
    StopLog();
    return ExitCode;
}

void EndAgentForSession() { ExitProcess(static_cast<UINT>(EndAgent(StopCause, true))); }

void LogStart(const Settings* settings) {
    char exe[PathTextSize + 1] = "";
    GetModuleFileNameA(nullptr, exe, PathTextSize);
    WriteLog(LogLevel::Info, "start",
             {{"version", TEMBRIX_VERSION_TEXT}, {"exe", exe}, {"settings", settings->IniPath},
              {"managed", LogYesNo(IsHostAddressManaged(settings))},
              {"source", settings->Source == AddressSource::Policy ? "policy" : "file"}, {"host", settings->HostAddress},
              {"tls", LogYesNo(std::strncmp(settings->HostAddress, SecurePrefix, SecurePrefixLength) == 0)}},
             EventLogId::Start);
}

// Start-up up to the message loop. False when the program must end at once (after Shutdown).
bool StartUp(HINSTANCE instance) {
    StartLog();
    TheSettingsPath = new (std::nothrow) SettingsPathBlock();
    if (TheSettingsPath == nullptr) return false;
    if (!BuildSettingsPath(TheSettingsPath)) {
        // A cut path would read and write some other file.
        Refuse(L"프로그램이 설치된 경로가 너무 길어 설정 파일을 사용할 수 없습니다. 더 짧은 경로에 설치해 주세요.",
               L"설정 파일 경로 오류");
        return false;
    }

    SettingsDialogSlot = new (std::nothrow) DialogSlot();
    MessageDialogSlot = new (std::nothrow) DialogSlot();
    if (SettingsDialogSlot == nullptr || MessageDialogSlot == nullptr) return false;

    Settings* settings = new (std::nothrow) Settings();
    if (settings == nullptr) return false;
    std::memcpy(settings->IniPath, TheSettingsPath->FullPath, sizeof settings->IniPath);
    LoadHostAddress(settings);
    TheSettings = settings;
    LogStart(TheSettings);
    SayAddressFault(TheSettings);

    ServerLink* link = OpenHostLink(TheSettings);
    if (link == nullptr) return false;
    ReplaceServerLink(link);

    SelectTerminalAddress();
    RelayPermission(LoadPermission());  // the first answer is known before any thread starts

    // The pipe's stage. Only the agent that holds the machine's role makes the pipe; any other
    // one (another session's) runs on without it and takes over when the holder ends. A name
    // held by another program is said once and tried again every cycle.
    ThePipeRole = CreatePipeRole();
    if (ThePipeRole == nullptr) return false;
    RoleWorker = CreateWorker(RoleKeeper, ThePipeRole);
    if (RoleWorker == nullptr) return false;
    StartWorker(RoleWorker);
    TheLockPipe = CreateLockPipe();
    if (TheLockPipe == nullptr) return false;
    if (AwaitFirstRoleAttempt(ThePipeRole)) ServeLockPipe(TheLockPipe);

    PollerWorker = CreateWorker(PermissionPoller, nullptr);
    PublisherWorker = CreateWorker(PipePublisher, nullptr);
    PolicyWorker = CreateWorker(PolicyWatcher, nullptr);
    if (PollerWorker == nullptr || PublisherWorker == nullptr || PolicyWorker == nullptr) return false;
    StartWorker(PollerWorker);
    StartWorker(PublisherWorker);
    StartWorker(PolicyWorker);

    LoadStringA(instance, IDS_WINDOW_TITLE, WindowTitle, WindowTextSize);
    LoadStringA(instance, IDS_CLASS_NAME, ClassName, WindowTextSize);
    EndForSession = EndAgentForSession;
    RegisterTrayWindowClass(instance);
    return CreateTrayWindow(instance) != 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (CountInstances() > 1) {
        Refuse(L"이미 프로그램이 실행중입니다.", L"프로그램 중복 실행 경고");
        return 0;
    }

    if (!StartUp(instance)) return EndAgent("start-up", false);

    MSG msg = {};
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    return EndAgent(StopCause != nullptr ? StopCause : "WM_QUIT", true);
}
