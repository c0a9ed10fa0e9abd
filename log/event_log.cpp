#include "log/event_log.h"

#include "events.h"  // made by windmc from resources/events.mc

static_assert(static_cast<DWORD>(EventLogId::Start) == TEMBRIX_EVENT_START &&
                  static_cast<DWORD>(EventLogId::Stop) == TEMBRIX_EVENT_STOP &&
                  static_cast<DWORD>(EventLogId::State) == TEMBRIX_EVENT_STATE &&
                  static_cast<DWORD>(EventLogId::Recovered) == TEMBRIX_EVENT_RECOVERED &&
                  static_cast<DWORD>(EventLogId::Settings) == TEMBRIX_EVENT_SETTINGS,
              "the IDs the message table gives");
static_assert(EventMessageStrings <= static_cast<int>(LogFieldCount), "every string can be a field");

HANDLE OpenEventSource() { return RegisterEventSourceW(nullptr, L"Tembrix"); }

void ReportLogLine(HANDLE source, LogLevel level, EventLogId id, const LogLine& line) {
    if (source == nullptr || id == EventLogId::None) return;
    // The fields' UTF-8 text as UTF-16: never more units than the line has bytes.
    wchar_t text[LogLineSize + LogFieldCount];
    const wchar_t* strings[LogFieldCount];
    std::size_t used = 0;
    WORD count = 0;
    for (std::size_t i = 0; i < line.FieldCount; ++i) {
        const LogFieldSpan& span = line.Fields[i];
        wchar_t* string = text + used;
        const int units =
            MultiByteToWideChar(CP_UTF8, 0, line.Text + span.Begin, static_cast<int>(span.End - span.Begin), string,
                                static_cast<int>(sizeof text / sizeof text[0] - used - 1));
        string[units > 0 ? units : 0] = 0;
        used += (units > 0 ? units : 0) + 1;
        strings[count++] = string;
    }
    while (count < EventMessageStrings) strings[count++] = L"";
    const WORD type = level == LogLevel::Error  ? EVENTLOG_ERROR_TYPE
                      : level == LogLevel::Warn ? EVENTLOG_WARNING_TYPE
                                                : EVENTLOG_INFORMATION_TYPE;
    ReportEventW(source, type, 0, static_cast<DWORD>(id), nullptr, count, 0, strings, nullptr);
}

void CloseEventSource(HANDLE source) {
    if (source != nullptr) DeregisterEventSource(source);
}
