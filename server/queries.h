// The management server's vocabulary: each question is one POST whose answer must be exactly one
// word; every failure on the way reads as "no".
#pragma once
#include "server/form_text.h"

bool CheckConnection();
bool CheckRegistration(const char* addressText);
bool LoadPermission();
bool SendUserMessage(const char* text);
void GetNodeName(const char* addressText, char (&nodeName)[NodeNameSize]);
void OpenRegistrationForm();
