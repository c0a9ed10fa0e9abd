#include "log/agent_log.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "app/settings_path.h"  // PathTextSize
#include "log/event_log.h"

namespace {

// A line waiting for the log's thread, with what else it is for.
struct QueuedLine {
    LogLine Line;
    LogLevel Level;
    EventLogId EventLog;
};

struct AgentLog {
    char Folder[PathTextSize];   // %LOCALAPPDATA%\Tembrix
    char Path[PathTextSize];     // …\Tembrix.log
    char OldPath[PathTextSize];  // …\Tembrix.log.1
    DWORD Unusable;              // not 0: the file's name could not be found (this error)
    HANDLE EventSource;
    HANDLE Wake;    // set when a line is queued and when the log is to stop
    HANDLE Thread;  // the log's thread: the only one that writes the file or the event log
    // Guarded by LogLock: the lines waiting, oldest first, and those that found the queue full.
    QueuedLine Queue[LogQueueLength];
    std::size_t First, Count;
    long long Dropped;
    bool Stopping;
    // The log's thread's own.
    bool Failing;  // the last line was not written, and standard output has said so
    bool Broken;   // the last append stopped inside its line: the next one ends it first
};

// The one log of the process. Holders of LogLock only copy a line in or out, so that taking it
// never waits on the file system; StopLog clears the pointer under it, and later lines are dropped.
AgentLog* TheLog = nullptr;
SRWLOCK LogLock = SRWLOCK_INIT;

bool TakeLogLock() {
    const DWORD start = GetTickCount();
    while (!TryAcquireSRWLockExclusive(&LogLock)) {
        if (GetTickCount() - start >= LogWaitMs) return false;
        Sleep(1);
    }
    return true;
}

long long Ticks(const FILETIME& time) {
    return static_cast<long long>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// Local time and its offset from one reading of the clock, so that the two always agree.
LogTime Now() {
    FILETIME utc, local;
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    SYSTEMTIME t;
    FileTimeToSystemTime(&local, &t);
    constexpr long long TicksPerMinute = 60LL * 10000000;
    const long long offset = Ticks(local) - Ticks(utc);
    const long long minutes = (offset + (offset < 0 ? -TicksPerMinute : TicksPerMinute) / 2) / TicksPerMinute;
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, static_cast<int>(minutes)};
}

// What of an ANSI value is converted: one byte of the ANSI code page never becomes less than half
// a UTF-8 byte, so a value cut here is still longer than any value the line shows, and the line
// marks it cut.
constexpr std::size_t AnsiTakenSize = 2 * LogValueSize + 2;

struct Utf8Value {
    char Text[3 * AnsiTakenSize];
    std::size_t Length;
};

void ConvertToUtf8(std::string_view ansi, Utf8Value& value) {
    std::size_t taken = ansi.size();
    if (taken > AnsiTakenSize) {  // cut between two characters, never inside a double-byte one
        taken = 0;
        while (taken < AnsiTakenSize) {
            const std::size_t step = IsDBCSLeadByte(static_cast<BYTE>(ansi[taken])) ? 2 : 1;
            if (taken + step > AnsiTakenSize) break;
            taken += step;
        }
    }
    value.Length = 0;
    if (taken == 0) return;
    wchar_t wide[AnsiTakenSize];
    const int units = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(taken), wide, AnsiTakenSize);
    const int bytes = units <= 0 ? 0
                                 : WideCharToMultiByte(CP_UTF8, 0, wide, units, value.Text,
                                                       static_cast<int>(sizeof value.Text), nullptr, nullptr);
    if (bytes > 0) {
        value.Length = static_cast<std::size_t>(bytes);
        return;
    }
    // Not text in the code page at all: the bytes as they are, which the line escapes.
    value.Length = taken < sizeof value.Text ? taken : sizeof value.Text;
    std::memcpy(value.Text, ansi.data(), value.Length);
}

HANDLE OpenLogFile(const AgentLog& log) {
    for (int attempt = 0;; ++attempt) {
        // Appends only, and shared every way: Notepad or Get-Content -Wait read it meanwhile, and
        // the user may delete or rename it at any time (the next line begins a new file).
        HANDLE file = CreateFileA(log.Path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || attempt == 1 || GetLastError() != ERROR_PATH_NOT_FOUND) return file;
        CreateDirectoryA(log.Folder, nullptr);  // the folder is made when first needed
    }
}

bool QuerySize(HANDLE file, LARGE_INTEGER& size) { return GetFileSizeEx(file, &size) != FALSE; }

// Appends the line in one write, after turning a full file into the old one. 0, or the error.
DWORD AppendLine(AgentLog& log, const LogLine& line) {
    if (log.Unusable != 0) return log.Unusable;
    HANDLE file = OpenLogFile(log);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    LARGE_INTEGER size;
    if (!QuerySize(file, size)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return error;
    }
    if (size.QuadPart > 0 && size.QuadPart + static_cast<long long>(line.Length) > MaxLogFileSize) {
        CloseHandle(file);
        // A file that cannot be moved aside is not written past its size: never more than
        // two files, and neither larger than the bound.
        if (!MoveFileExA(log.Path, log.OldPath, MOVEFILE_REPLACE_EXISTING)) return GetLastError();
        log.Broken = false;
        file = OpenLogFile(log);
        if (file == INVALID_HANDLE_VALUE) return GetLastError();
        if (!QuerySize(file, size)) size.QuadPart = 0;
    }
    char data[3 + 2 + LogLineSize];
    std::size_t length = 0;
    if (size.QuadPart == 0) {
        std::memcpy(data, "\xEF\xBB\xBF", 3);
        length = 3;
    } else if (log.Broken) {
        std::memcpy(data, "\r\n", 2);
        length = 2;
    }
    std::memcpy(data + length, line.Text, line.Length);
    length += line.Length;
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr);
    const DWORD error = wrote && written == length ? 0 : wrote ? ERROR_DISK_FULL : GetLastError();
    if (written != 0) log.Broken = written != length;
    CloseHandle(file);
    return error;
}

// One line on standard output at the start of each streak of lines that could not be written.
void NoteResult(AgentLog& log, DWORD error) {
    if (error == 0) {
        log.Failing = false;
        return;
    }
    if (log.Failing) return;
    log.Failing = true;
    std::printf("fail to write %s, %d\n", log.Path, static_cast<int>(error));
    std::fflush(stdout);
}

bool Compose(char (&target)[PathTextSize], const char* first, const char* second, const char* third) {
    const int length = std::snprintf(target, sizeof target, "%s%s%s", first, second, third);
    return length > 0 && static_cast<std::size_t>(length) < sizeof target;
}

// Writes one line to the file and, if it is for the event log too, there.
void Publish(AgentLog& log, const LogLine& line, LogLevel level, EventLogId eventLog) {
    NoteResult(log, AppendLine(log, line));
    ReportLogLine(log.EventSource, level, eventLog, line);
}

DWORD WINAPI WriteQueuedLines(void* argument) {
    AgentLog& log = *static_cast<AgentLog*>(argument);
    QueuedLine next;
    for (;;) {
        AcquireSRWLockExclusive(&LogLock);  // held by others only for a copy
        const bool have = log.Count > 0;
        if (have) {
            next = log.Queue[log.First];
            log.First = (log.First + 1) % LogQueueLength;
            --log.Count;
        }
        const long long dropped = log.Dropped;
        log.Dropped = 0;
        const bool stopping = log.Stopping;
        ReleaseSRWLockExclusive(&LogLock);
        if (dropped != 0) {
            LogLine line;
            BeginLogLine(line, Now(), LogLevel::Warn, "log");
            AppendLogField(line, {"dropped", LogNumber(dropped).Text});
            EndLogLine(line);
            Publish(log, line, LogLevel::Warn, EventLogId::None);
        }
        if (have) {
            Publish(log, next.Line, next.Level, next.EventLog);
            continue;
        }
        if (stopping) return 0;
        WaitForSingleObject(log.Wake, INFINITE);
    }
}

void FreeLog(AgentLog* log) {
    if (log->Thread != nullptr) CloseHandle(log->Thread);
    if (log->Wake != nullptr) CloseHandle(log->Wake);
    CloseEventSource(log->EventSource);
    delete log;
}

}  // namespace

void StartLog() {
    AgentLog* log = new (std::nothrow) AgentLog();
    if (log == nullptr) return;
    char localAppData[PathTextSize] = "";
    const HRESULT found = SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                           SHGFP_TYPE_CURRENT, localAppData);
    if (FAILED(found) || !Compose(log->Folder, localAppData, "\\", LogFolderName) ||
        !Compose(log->Path, log->Folder, "\\", LogFileName) || !Compose(log->OldPath, log->Path, OldLogSuffix, "")) {
        // Said once, with the name the file would have had, by the first line.
        log->Unusable = FAILED(found) ? static_cast<DWORD>(found) : ERROR_FILENAME_EXCED_RANGE;
        Compose(log->Path, "%LOCALAPPDATA%\\", LogFolderName, "\\Tembrix.log");
    }
    log->EventSource = OpenEventSource();
    log->Wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    log->Thread = log->Wake == nullptr ? nullptr : CreateThread(nullptr, 0, WriteQueuedLines, log, 0, nullptr);
    if (log->Thread == nullptr) {
        FreeLog(log);
        return;
    }
    AcquireSRWLockExclusive(&LogLock);
    const bool first = TheLog == nullptr;
    if (first) TheLog = log;
    ReleaseSRWLockExclusive(&LogLock);
    if (first) return;
    // Started twice: the first log stays, and this one's thread ends at once.
    log->Stopping = true;
    SetEvent(log->Wake);
    if (WaitForSingleObject(log->Thread, LogStopWaitMs) == WAIT_OBJECT_0) FreeLog(log);
}

void StopLog() {
    if (!TakeLogLock()) return;
    AgentLog* log = TheLog;
    TheLog = nullptr;
    if (log != nullptr) log->Stopping = true;
    ReleaseSRWLockExclusive(&LogLock);
    if (log == nullptr) return;
    SetEvent(log->Wake);
    // A thread still writing after the wait is stuck in the file system or the event log: it
    // keeps its record, and the process exit ends both.
    if (WaitForSingleObject(log->Thread, LogStopWaitMs) == WAIT_OBJECT_0) FreeLog(log);
}

void WriteLog(LogLevel level, const char* event, std::initializer_list<LogField> fields, EventLogId alsoToEventLog) {
    QueuedLine queued;
    queued.Level = level;
    queued.EventLog = alsoToEventLog;
    BeginLogLine(queued.Line, Now(), level, event);
    Utf8Value value;
    for (const LogField& field : fields) {
        ConvertToUtf8(field.Value, value);
        AppendLogField(queued.Line, {field.Key, std::string_view(value.Text, value.Length), field.Limit});
    }
    EndLogLine(queued.Line);
    if (!TakeLogLock()) return;
    AgentLog* log = TheLog;
    if (log != nullptr) {
        if (log->Count < LogQueueLength) {
            log->Queue[(log->First + log->Count) % LogQueueLength] = queued;
            ++log->Count;
        } else {
            ++log->Dropped;
        }
        SetEvent(log->Wake);
    }
    ReleaseSRWLockExclusive(&LogLock);
}
