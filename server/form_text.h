// The texts the agent puts on the wire and hands to the browser: form bodies, the node-name answer
// and the registration-form address. Portable, unit-tested and fuzzed natively.
#pragma once
#include <cstddef>
#include <string_view>

constexpr std::size_t NodeNameSize = 100;
constexpr std::size_t MessageTextSize = 128;   // the dialog reads at most 127 bytes
constexpr std::size_t FormBodySize = 512;      // "m=" 17 "&d=" and 127 bytes at 3 each, with room
// "http://", the longest host address, the script, a node name of 97 bytes each escaped to 3, the
// terminal address and the NUL.
constexpr std::size_t RegistrationAddressSize = 7 + 255 + 29 + 97 * 3 + 3 + 17 + 1;

// Appends "name=value" (with a leading '&' when the body is not empty) in
// application/x-www-form-urlencoded form: letters, digits and "-._*" stay, a blank becomes '+',
// every other byte becomes %XX, so any form parser gets back exactly the bytes given (the ANSI
// code page's bytes for non-ASCII text). False, leaving the body unchanged, when it does not fit.
bool AppendFormField(char* body, std::size_t bodySize, const char* name, std::string_view value);

// The node name in a get_node_name answer: from the third byte on when the first is 'n'
// (the second is skipped whatever it is), at most 97 bytes. False when the answer does not
// begin with 'n': the caller then uses the computer's name.
bool ParseNodeNameAnswer(std::string_view answer, char (&nodeName)[NodeNameSize]);

// False when the text holds any of < > & ' " ` % ; the registration form rejects those.
bool IsUsableNodeName(std::string_view text);

// "http://" host "/Tembrix/register_form.php?n=" name "&m=" address, where a host address that
// begins "https://" or "http://" keeps its own (the browser would take a second one for the
// host), and with the ASCII bytes of the two values that
// would change the address's structure percent-encoded; non-ASCII bytes pass unchanged (the
// browser's business). False, with an empty text, when it does not fit.
bool BuildRegistrationAddress(char* address, std::size_t addressSize, const char* hostAddress,
                              std::string_view nodeName, std::string_view terminalAddress);
