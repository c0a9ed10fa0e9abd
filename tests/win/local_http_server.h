// A small HTTP/1.1 server inside the test process, on a loopback address of its own and port 80
// (the port the agent always uses), so that Windows-layer tests of the HTTP client need no
// outside process. Each request path picks one scripted behaviour (see local_http_server.cpp).
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct LocalHttpServer {
    char Address[16];             // "127.a.b.c", chosen free at start
    SOCKET Listener;
    std::thread Acceptor;
    std::mutex Lock;              // guards Connections and Workers
    std::vector<SOCKET> Connections;
    std::vector<std::thread> Workers;
    std::atomic<bool> Stopping;
    std::atomic<long> Requests;   // requests read whole
    std::atomic<long> Accepted;   // TCP connections accepted
    HANDLE HeldRequestArrived;    // set when a request for the held script has been read
    HANDLE ReleaseHeld;           // the test sets it to let the held answer go
};

// The whole body of /Tembrix/whole.php: long enough to need several reads, and no two positions
// alike within a line, so a lost, doubled or swapped piece shows.
std::string WholeAnswer();

// Starts listening; null when no free loopback address could be bound.
LocalHttpServer* StartLocalHttpServer();
// Ends every connection and thread of the server, then frees it.
void StopLocalHttpServer(LocalHttpServer* server);

// A loopback address bound on port 80 without listening: a connection to it is refused at once,
// and no other program can be listening there while the socket is held.
struct RefusingAddress {
    char Address[16];
    SOCKET Socket;
};
bool HoldRefusingAddress(RefusingAddress& refusing);
void DropRefusingAddress(RefusingAddress& refusing);
