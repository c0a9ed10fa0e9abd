// The agent's log: one file per user, %LOCALAPPDATA%\Tembrix\Tembrix.log, and for the few events
// that administrators collect centrally, the Application event log as well (source "Tembrix").
// Any thread may write; a line before StartLog or after StopLog is dropped.
#pragma once
#include <initializer_list>

#include "log/log_line.h"

// The lines that also go to the event log, by their message-table IDs (resources/events.mc).
enum class EventLogId : unsigned long { None = 0, Start = 1, Stop = 2, State = 3, Recovered = 4 };

constexpr char LogFolderName[] = "Tembrix";
constexpr char LogFileName[] = "Tembrix.log";
constexpr char OldLogSuffix[] = ".1";
// A file reaching this size becomes Tembrix.log.1 (replacing an older one) and a new one begins.
constexpr unsigned long MaxLogFileSize = 1024 * 1024;
// How long a line waits for another thread's line to be written before it is dropped.
constexpr unsigned long LogWaitMs = 100;

// Finds the file's name and opens the event source. Writes nothing.
void StartLog();
// Closes the event source and forgets the file; later lines are dropped.
void StopLog();

// One line: `event` and the fields in the order given. Values are text in the ANSI code page and
// are written as UTF-8 (see log/log_line.h for what is escaped and cut). Never blocks for longer
// than LogWaitMs plus one append to the file. A line that cannot be written is dropped; the first
// of a streak of such lines prints "fail to write <file>, <error>" on standard output.
void WriteLog(LogLevel level, const char* event, std::initializer_list<LogField> fields,
              EventLogId alsoToEventLog = EventLogId::None);
