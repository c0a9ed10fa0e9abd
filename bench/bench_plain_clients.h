// Plain clients for bench_link: one session and connection each, one POST of the agent's
// permission question per call, the agent's request flags and nothing else (no deadline thread,
// no trust check). True when the answer was "TRUE".
#pragma once

bool PollWithWinInet(const char* host, bool secure);
bool PollWithWinHttp(const char* host, bool secure);  // WinHTTP's header cannot meet WinINet's
