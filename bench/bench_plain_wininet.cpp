#include <windows.h>
#include <wininet.h>

#include <cstring>

#include "bench/bench_plain_clients.h"

bool PollWithWinInet(const char* host, bool secure) {
    static HINTERNET session = InternetOpenA("CalderwynHTTPRequest", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    static HINTERNET connection =
        InternetConnectA(session, host, secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT, "", "",
                         INTERNET_SERVICE_HTTP, 0, 0);
    static char body[] = "m=00-1A-2B-3C-4D-5E";
    HINTERNET request = HttpOpenRequestA(connection, "POST", "/Tembrix/permission_load.php", nullptr, nullptr,
                                         nullptr, 0x8468C200 | (secure ? INTERNET_FLAG_SECURE : 0), 0);
    char answer[8] = "";
    DWORD read = 0;
    const bool ok = HttpSendRequestA(request, nullptr, 0, body, sizeof body - 1) &&
                    InternetReadFile(request, answer, sizeof answer, &read);
    InternetCloseHandle(request);
    return ok && read == 4 && std::memcmp(answer, "TRUE", 4) == 0;
}
