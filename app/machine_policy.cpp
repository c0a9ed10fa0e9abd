#include "app/machine_policy.h"

#include <cstring>
#include <string_view>

#include "lockstate/worker.h"
#include "log/agent_log.h"
#include "resources/resource.h"
#include "tray/tray_window.h"

namespace {

// Policies of every product live below it, so it always exists; the agent's own key may not yet.
constexpr char PoliciesKeyPath[] = "SOFTWARE\\Policies";

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

}  // namespace

PolicyAddress ReadPolicyAddress() {
    PolicyAddress policy = {};
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, PolicyKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (opened == ERROR_FILE_NOT_FOUND) return policy;
    policy.Present = true;
    if (opened != ERROR_SUCCESS) {
        policy.Fault = AddressFault::Unreadable;
        return policy;
    }
    // One byte more than an address and its NUL: a value that fills it is longer than any.
    char value[HostAddressSize + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    const LONG read = RegQueryValueExA(key, PolicyValueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (read == ERROR_FILE_NOT_FOUND) {
        policy.Present = false;  // a key without the value sets nothing
        return policy;
    }
    if ((read == ERROR_SUCCESS || read == ERROR_MORE_DATA) && type != REG_SZ) {
        policy.Fault = AddressFault::Type;
        return policy;
    }
    if (read != ERROR_SUCCESS) {
        policy.Fault = read == ERROR_MORE_DATA ? AddressFault::TooLong : AddressFault::Unreadable;
        return policy;
    }
    // A REG_SZ's data need not end in a NUL, and may hold one inside: the text is the data less
    // the NULs at its end, and a NUL left inside is a control character.
    std::size_t length = size < sizeof value ? size : sizeof value;
    while (length > 0 && value[length - 1] == 0) --length;
    policy.Fault = CheckHostAddress(std::string_view(value, length), IsLeadByte);
    const std::size_t shown = strnlen(value, length < MaxHostAddressLength ? length : MaxHostAddressLength);
    std::memcpy(policy.Text, value, shown);
    policy.Text[shown] = 0;
    return policy;
}

DWORD WINAPI PolicyWatcher(void*) {
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, PoliciesKeyPath, 0, KEY_NOTIFY | KEY_WOW64_64KEY, &key);
    HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (opened != ERROR_SUCCESS || changed == nullptr) {
        // Group Policy's own announcement still reaches the tray window.
        const DWORD error = opened != ERROR_SUCCESS ? static_cast<DWORD>(opened) : GetLastError();
        WriteLog(LogLevel::Warn, "settings",
                 {{"source", "policy"}, {"watch", "no"}, {"error", LogNumber(error).Text}});
        if (key != nullptr) RegCloseKey(key);
        if (changed != nullptr) CloseHandle(changed);
        return 0;
    }
    // Armed before each post, so that a change after the tray's read always wakes this thread.
    constexpr DWORD Filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    while (!IsStopRequested() && RegNotifyChangeKeyValue(key, TRUE, Filter, changed, TRUE) == ERROR_SUCCESS) {
        PostToTrayWindow(WM_POLICY_CHANGED);
        if (!WaitUnlessStopping(changed, INFINITE)) break;
    }
    RegCloseKey(key);
    CloseHandle(changed);
    return 0;
}
