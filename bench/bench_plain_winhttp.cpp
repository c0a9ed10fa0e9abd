#include <windows.h>
#include <winhttp.h>

#include <cstring>

#include "bench/bench_plain_clients.h"

bool PollWithWinHttp(const char* host, bool secure) {
    static HINTERNET session = WinHttpOpen(L"CalderwynHTTPRequest", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    static HINTERNET connection = [&] {
        wchar_t name[64];
        MultiByteToWideChar(CP_ACP, 0, host, -1, name, 64);
        return WinHttpConnect(session, name, secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT, 0);
    }();
    static char body[] = "m=00-1A-2B-3C-4D-5E";
    HINTERNET request = WinHttpOpenRequest(connection, L"POST", L"/Tembrix/permission_load.php", nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           secure ? WINHTTP_FLAG_SECURE : 0);
    char answer[8] = "";
    DWORD read = 0;
    const bool ok = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, sizeof body - 1,
                                       sizeof body - 1, 0) &&
                    WinHttpReceiveResponse(request, nullptr) && WinHttpReadData(request, answer, sizeof answer, &read);
    WinHttpCloseHandle(request);
    return ok && read == 4 && std::memcmp(answer, "TRUE", 4) == 0;
}
