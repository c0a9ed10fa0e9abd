#include "app/host_address.h"

#include <cstring>

#include "app/machine_policy.h"
#include "log/agent_log.h"
#include "server/server_link.h"
#include "tray/dialogs.h"

namespace {

const char* SourceName(AddressSource source) { return source == AddressSource::Policy ? "policy" : "file"; }

void UseAddress(Settings* settings, const PolicyAddress& policy) {
    if (!policy.Present) {
        LoadSettings(settings);
        return;
    }
    std::memcpy(settings->HostAddress, policy.Text, sizeof settings->HostAddress);
    settings->Source = AddressSource::Policy;
    settings->Fault = policy.Fault;
}

bool IsInUse(const Settings* settings, const PolicyAddress& policy) {
    if (!policy.Present) return settings->Source == AddressSource::File;
    return settings->Source == AddressSource::Policy && settings->Fault == policy.Fault &&
           std::strcmp(settings->HostAddress, policy.Text) == 0;
}

}  // namespace

void LoadHostAddress(Settings* settings) { UseAddress(settings, ReadPolicyAddress()); }

void SayAddressFault(const Settings* settings) {
    if (settings->Fault == AddressFault::None) return;
    if (settings->Source == AddressSource::Policy) {
        WriteLog(LogLevel::Warn, "settings",
                 {{"source", "policy"}, {"result", "invalid"}, {"reason", AddressFaultToken(settings->Fault)},
                  {"value", settings->HostAddress}},
                 EventLogId::Settings);
    } else {
        WriteLog(LogLevel::Warn, "settings",
                 {{"source", "file"}, {"result", "too-long"}, {"limit", LogNumber(MaxHostAddressLength).Text},
                  {"file", settings->IniPath}},
                 EventLogId::Settings);
    }
}

ServerLink* OpenHostLink(const Settings* settings) {
    if (settings->Fault == AddressFault::None) return OpenServerLink(settings->HostAddress);
    return OpenRefusingLink(settings->Source == AddressSource::Policy ? Cause::PolicyInvalid : Cause::AddressTooLong);
}

void ReloadHostAddress() {
    Settings* settings = TheSettings;
    if (settings == nullptr) return;
    const PolicyAddress policy = ReadPolicyAddress();
    // The file's address is read at start and changed by the dialog alone: only the policy moves.
    if (IsInUse(settings, policy)) return;
    char old[HostAddressSize];
    std::memcpy(old, settings->HostAddress, sizeof old);
    UseAddress(settings, policy);
    if (settings->Fault != AddressFault::None) {
        SayAddressFault(settings);
    } else {
        WriteLog(LogLevel::Info, "settings",
                 {{"source", SourceName(settings->Source)}, {"result", policy.Present ? "applied" : "policy-removed"},
                  {"old", old}, {"new", settings->HostAddress}},
                 EventLogId::Settings);
    }
    ReplaceServerLink(OpenHostLink(settings));
    RefreshSettingsDialog();
}
