// The agent's log: one file per user, %LOCALAPPDATA%\Tembrix\Tembrix.log, and for the few events
// that administrators collect centrally, the Application event log as well (source "Tembrix").
// Any thread may write; a line before StartLog or after StopLog is dropped.
#pragma once
#include <initializer_list>

#include "log/log_line.h"

// The lines that also go to the event log, by their message-table IDs (resources/events.mc).
enum class EventLogId : unsigned long { None = 0, Start = 1, Stop = 2, State = 3, Recovered = 4, Settings = 5 };

constexpr char LogFolderName[] = "Tembrix";
constexpr char LogFileName[] = "Tembrix.log";
constexpr char OldLogSuffix[] = ".1";
// A file reaching this size becomes Tembrix.log.1 (replacing an older one) and a new one begins.
constexpr unsigned long MaxLogFileSize = 1024 * 1024;
// Lines waiting for the log's thread; one that finds the queue full is dropped and counted.
constexpr unsigned LogQueueLength = 32;
// How long a line may wait for another thread to copy its own line in or out (never for a write).
constexpr unsigned long LogWaitMs = 100;
// How long StopLog lets the log's thread write what is queued (the stop line among it).
constexpr unsigned long LogStopWaitMs = 200;

// Finds the file's name, opens the event source and starts the log's thread. Writes nothing.
void StartLog();
// Lets the log's thread write what is queued (for LogStopWaitMs at most), then ends it and closes
// the event source; later lines are dropped. A thread stuck in the file system is left alone,
// with its record, to the process exit.
void StopLog();

// One line: `event` and the fields in the order given. Values are text in the ANSI code page and
// are written as UTF-8 (see log/log_line.h for what is escaped and cut). The line is queued for
// the log's thread, which appends it to the file and, when `alsoToEventLog` names an event,
// reports it: the caller never waits on the file system or the event log. A line that cannot be
// written is dropped; the first of a streak of such lines prints "fail to write <file>, <error>"
// on standard output. Lines that found the queue full are counted in a `log dropped=<n>` line.
void WriteLog(LogLevel level, const char* event, std::initializer_list<LogField> fields,
              EventLogId alsoToEventLog = EventLogId::None);
