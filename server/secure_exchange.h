// The link to an "https://" address, over WinHTTP: its certificate of the server belongs to the
// connection that carried each answer, so that every answer is judged by its own connection.
#pragma once
#include "server/server_link.h"

// Loads WinHTTP (first time only) and opens the link's session and connection to port 443; false
// when any of that fails, and the link is then not Ready.
bool OpenSecureLink(ServerLink* link);
// Closes what OpenSecureLink opened.
void CloseSecureLink(ServerLink* link);
// WinHTTP handles the program opened and has not closed yet, for leak checks.
long OpenSecureHandleCount();
