// The Application event log's source "Tembrix": an event carries the fields of its log line as
// insertion strings, each as the line writes it (key=value).
#pragma once
#include <windows.h>

#include "log/agent_log.h"

// Strings every message of resources/events.mc names (%1 to %12); fewer fields are padded with
// empty strings, so that no message shows an unfilled insert.
constexpr int EventMessageStrings = 12;

// Null when the event log cannot be reached: events are then only in the file.
HANDLE OpenEventSource();
void ReportLogLine(HANDLE source, LogLevel level, EventLogId id, const LogLine& line);
void CloseEventSource(HANDLE source);
