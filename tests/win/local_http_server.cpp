#include "tests/win/local_http_server.h"

#include <cstdio>
#include <cstring>
#include <new>

// Scripts, by request path (a base path in front is ignored):
//   /Tembrix/whole.php       200, WholeAnswer() with a Content-Length
//   /Tembrix/echo.php        200, the request body as the answer
//   /Tembrix/zero.php        chunked: "AB", then "C" 00 "D" in a later chunk
//   /Tembrix/zero_split.php  chunked: "A" 00 "B", a pause of a second, then "CD"
//   /Tembrix/cap.php         exactly 64 KiB of 'x'
//   /Tembrix/over.php        64 KiB and one byte of 'x'
//   /Tembrix/held.php        answers "HELD" only once the test sets ReleaseHeld
//   anything else            404 "not found"
namespace {

constexpr DWORD CapBytes = 64 * 1024;

bool EndsWith(const std::string& text, const char* tail) {
    const std::size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

bool SendAll(SOCKET s, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool SendAnswer(SOCKET s, int status, const std::string& body) {
    char head[200];
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 %d %s\r\nContent-Type: text/html\r\nContent-Length: %u\r\n\r\n", status,
                  status == 200 ? "OK" : "Not Found", static_cast<unsigned>(body.size()));
    return SendAll(s, head + body);
}

std::string Chunk(const std::string& data) {
    char size[16];
    std::snprintf(size, sizeof size, "%x\r\n", static_cast<unsigned>(data.size()));
    return size + data + "\r\n";
}

bool SendChunked(SOCKET s, const std::string& first, const std::string& second, DWORD pauseMs) {
    if (!SendAll(s, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n" +
                        Chunk(first))) {
        return false;
    }
    // The pause makes the client read the first chunk on its own before the second arrives.
    if (pauseMs != 0) Sleep(pauseMs);
    return SendAll(s, Chunk(second) + "0\r\n\r\n");
}

bool Respond(LocalHttpServer* server, SOCKET s, const std::string& path, const std::string& body) {
    using namespace std::string_literals;
    if (EndsWith(path, "/Tembrix/whole.php")) return SendAnswer(s, 200, WholeAnswer());
    if (EndsWith(path, "/Tembrix/echo.php")) return SendAnswer(s, 200, body);
    if (EndsWith(path, "/Tembrix/zero.php")) return SendChunked(s, "AB", "C\0D"s, 0);
    if (EndsWith(path, "/Tembrix/zero_split.php")) return SendChunked(s, "A\0B"s, "CD", 1000);
    if (EndsWith(path, "/Tembrix/cap.php")) return SendAnswer(s, 200, std::string(CapBytes, 'x'));
    if (EndsWith(path, "/Tembrix/over.php")) return SendAnswer(s, 200, std::string(CapBytes + 1, 'x'));
    if (EndsWith(path, "/Tembrix/held.php")) {
        SetEvent(server->HeldRequestArrived);
        WaitForSingleObject(server->ReleaseHeld, INFINITE);
        return SendAnswer(s, 200, "HELD");
    }
    return SendAnswer(s, 404, "not found");
}

// Waits for data on a connection; false once the server stops (a shutdown from another thread
// does not wake a blocked recv under Wine, so the wait looks at Stopping every 50 ms).
bool Receive(LocalHttpServer* server, SOCKET s, std::string& buffer) {
    char data[4096];
    while (!server->Stopping) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tick = {0, 50000};
        const int ready = select(0, &readable, nullptr, nullptr, &tick);
        if (ready < 0) return false;
        if (ready == 0) continue;
        const int n = recv(s, data, sizeof data, 0);
        if (n <= 0) return false;
        buffer.append(data, static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

// Reads requests off one connection and answers each, for as long as the client keeps it open.
void Serve(LocalHttpServer* server, SOCKET s) {
    std::string buffer;
    for (;;) {
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!Receive(server, s, buffer)) goto done;
        }
        const std::string head = buffer.substr(0, headEnd);
        buffer.erase(0, headEnd + 4);

        std::size_t length = 0;
        for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
            if (_strnicmp(head.c_str() + at + 2, "Content-Length:", 15) == 0) {
                length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
            }
        }
        while (buffer.size() < length) {
            if (!Receive(server, s, buffer)) goto done;
        }
        const std::string body = buffer.substr(0, length);
        buffer.erase(0, length);

        // "POST /target HTTP/1.1": the path is the target less any query.
        const std::size_t targetStart = head.find(' ') + 1;
        const std::size_t targetEnd = head.find(' ', targetStart);
        std::string path = head.substr(targetStart, targetEnd - targetStart);
        path = path.substr(0, path.find('?'));
        ++server->Requests;
        if (!Respond(server, s, path, body)) break;
    }
done:
    std::lock_guard<std::mutex> hold(server->Lock);
    for (std::size_t i = 0; i < server->Connections.size(); ++i) {
        if (server->Connections[i] == s) {
            server->Connections.erase(server->Connections.begin() + static_cast<long>(i));
            break;
        }
    }
    closesocket(s);
}

void Accept(LocalHttpServer* server) {
    for (;;) {
        SOCKET s = accept(server->Listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        ++server->Accepted;
        std::lock_guard<std::mutex> hold(server->Lock);
        if (server->Stopping) {
            closesocket(s);
            return;
        }
        server->Connections.push_back(s);
        server->Workers.emplace_back(Serve, server, s);
    }
}

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Binds a TCP socket to a loopback address of its own on port 80. Test runs beside each other
// (other worktrees, other test programs) start from different addresses and skip taken ones.
SOCKET BindOwnLoopback(char (&address)[16]) {
    if (!StartWinsock()) return INVALID_SOCKET;
    static unsigned next = (GetCurrentProcessId() * 7919u + GetTickCount()) % (64u * 250u);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const unsigned n = next++ % (64u * 250u);
        std::snprintf(address, sizeof address, "127.%u.%u.%u", 192 + n / 250 % 64, n % 250 + 1, 200u);
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return INVALID_SOCKET;
        sockaddr_in where = {};
        where.sin_family = AF_INET;
        where.sin_port = htons(80);
        where.sin_addr.s_addr = inet_addr(address);
        if (bind(s, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) return s;
        closesocket(s);
    }
    return INVALID_SOCKET;
}

}  // namespace

std::string WholeAnswer() {
    std::string text;
    char line[80];
    for (int i = 0; i < 60; ++i) {
        std::snprintf(line, sizeof line, "line %02d: ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz\n", i);
        text += line;
    }
    return text;
}

LocalHttpServer* StartLocalHttpServer() {
    LocalHttpServer* server = new (std::nothrow) LocalHttpServer();
    if (server == nullptr) return nullptr;
    server->Listener = BindOwnLoopback(server->Address);
    if (server->Listener == INVALID_SOCKET || listen(server->Listener, 64) != 0) {
        if (server->Listener != INVALID_SOCKET) closesocket(server->Listener);
        delete server;
        return nullptr;
    }
    server->HeldRequestArrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    server->ReleaseHeld = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    server->Acceptor = std::thread(Accept, server);
    return server;
}

void StopLocalHttpServer(LocalHttpServer* server) {
    if (server == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(server->Lock);
        server->Stopping = true;
    }
    SetEvent(server->ReleaseHeld);
    // A connection of our own wakes the acceptor, which then sees Stopping and ends.
    SOCKET wake = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(80);
    where.sin_addr.s_addr = inet_addr(server->Address);
    connect(wake, reinterpret_cast<sockaddr*>(&where), sizeof where);
    server->Acceptor.join();
    closesocket(wake);
    closesocket(server->Listener);
    // No worker is added after Stopping was set, so the list is final.
    for (std::thread& worker : server->Workers) worker.join();
    CloseHandle(server->HeldRequestArrived);
    CloseHandle(server->ReleaseHeld);
    delete server;
}

bool HoldRefusingAddress(RefusingAddress& refusing) {
    refusing.Socket = BindOwnLoopback(refusing.Address);
    return refusing.Socket != INVALID_SOCKET;
}

void DropRefusingAddress(RefusingAddress& refusing) {
    if (refusing.Socket != INVALID_SOCKET) closesocket(refusing.Socket);
    refusing.Socket = INVALID_SOCKET;
}
