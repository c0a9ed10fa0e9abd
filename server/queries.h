// The management server's vocabulary: each question is one POST whose answer must be exactly one
// word; every failure on the way reads as "no".
#pragma once
#include "server/exchange_cause.h"
#include "server/form_text.h"

// The permission question's answer, and why it is what it is.
struct PermissionAnswer {
    bool Granted;     // the server said exactly "TRUE"
    Outcome Why;      // Cause::Answer: the server's own word, in Said
    bool Secure;      // over TLS: whose names the error codes have
    char Said[33];    // the word's first 32 characters
};

bool CheckConnection();
bool CheckRegistration(const char* addressText);
PermissionAnswer LoadPermission();
bool SendUserMessage(const char* text);
void GetNodeName(const char* addressText, char (&nodeName)[NodeNameSize]);
void OpenRegistrationForm();
