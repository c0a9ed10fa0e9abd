#include "server/queries.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string_view>

#include "app/settings.h"
#include "log/agent_log.h"
#include "server/server_link.h"

namespace {

// One POST on the current link; the answer stays empty when there is no usable link.
std::string Ask(const char* requestPath, const char* body, Outcome* why = nullptr, bool* secure = nullptr) {
    std::string answer;
    Outcome outcome = {Cause::Error, ERROR_INVALID_HANDLE, 0};  // no link at all
    ServerLink* link = AcquireServerLink();
    if (link != nullptr) {
        outcome = link->Ready ? PostRequest(link, requestPath, answer, body)
                              : Outcome{link->Refusal, link->Refusal == Cause::Error ? link->OpenError : 0, 0};
        if (secure != nullptr) *secure = link->Secure;
    }
    ReleaseServerLink(link);
    if (why != nullptr) *why = outcome;
    return answer;
}

// A body naming this PC (field m) and, for a message, its text (field d).
bool Body(char (&body)[FormBodySize], const char* address, const char* text = nullptr) {
    body[0] = 0;
    return AppendFormField(body, sizeof body, "m", address) &&
           (text == nullptr || AppendFormField(body, sizeof body, "d", text));
}

void UseComputerName(char (&nodeName)[NodeNameSize]) {
    DWORD size = sizeof nodeName;
    GetComputerNameA(nodeName, &size);
}

}  // namespace

bool CheckConnection() { return Ask("Tembrix/connect_check.php", "") == "CONNECTED"; }

bool CheckRegistration(const char* addressText) {
    char body[FormBodySize];
    return Body(body, addressText) && Ask("Tembrix/register_check.php", body) == "REGISTERED";
}

PermissionAnswer LoadPermission() {
    PermissionAnswer answer = {};
    char body[FormBodySize];
    if (!Body(body, TheSettings->TerminalAddress)) {
        answer.Why = {Cause::Error, ERROR_INSUFFICIENT_BUFFER, 0};
        return answer;
    }
    const std::string said = Ask("/Tembrix/permission_load.php", body, &answer.Why, &answer.Secure);
    answer.Granted = said == "TRUE";
    said.copy(answer.Said, sizeof answer.Said - 1);
    return answer;
}

bool SendUserMessage(const char* text) {
    char body[FormBodySize];
    return Body(body, TheSettings->TerminalAddress, text) &&
           Ask("/Tembrix/message_post.php", body) == "TRUE";
}

void GetNodeName(const char* addressText, char (&nodeName)[NodeNameSize]) {
    if (!CheckRegistration(TheSettings->TerminalAddress)) {
        UseComputerName(nodeName);
        return;
    }
    char body[FormBodySize];
    if (!Body(body, addressText) || !ParseNodeNameAnswer(Ask("/Tembrix/get_node_name.php", body), nodeName)) {
        UseComputerName(nodeName);
    }
}

void OpenRegistrationForm() {
    if (TheSettings->Fault != AddressFault::None) {
        // The form would come from no server the agent may ask.
        const Cause why = TheSettings->Source == AddressSource::Policy ? Cause::PolicyInvalid : Cause::AddressTooLong;
        WriteLog(LogLevel::Warn, "register-form", {{"opened", "no"}, {"reason", TokenOf({why, 0, 0}).Text}});
        return;
    }
    char nodeName[NodeNameSize] = "";
    GetNodeName(TheSettings->TerminalAddress, nodeName);
    if (!IsUsableNodeName(nodeName)) nodeName[0] = 0;

    char address[RegistrationAddressSize];
    if (!BuildRegistrationAddress(address, sizeof address, TheSettings->HostAddress, nodeName,
                                  TheSettings->TerminalAddress)) {
        WriteLog(LogLevel::Warn, "register-form",
                 {{"opened", "no"}, {"reason", "too-long"}, {"host", TheSettings->HostAddress}});
        return;
    }
    // ShellExecute's "instance" is a number: above 32 it succeeded, otherwise it is the error.
    const auto result =
        reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", address, nullptr, nullptr, SW_SHOWNORMAL));
    if (result > 32) {
        WriteLog(LogLevel::Info, "register-form", {{"opened", "yes"}, {"address", address}});
    } else {
        WriteLog(LogLevel::Warn, "register-form",
                 {{"opened", "no"}, {"address", address}, {"error", LogNumber(result).Text}});
    }
}
