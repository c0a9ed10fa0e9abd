// The HTTP client and the current-link slot against a server inside this process, under Wine's
// real WinINet.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "server/server_link.h"
#include "tests/win/local_http_server.h"

namespace {

class ServerLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        handlesAtStart = OpenServerHandleCount();
        server = StartLocalHttpServer();
        ASSERT_NE(server, nullptr) << "no free loopback address for the test server";
    }
    void TearDown() override {
        ReplaceServerLink(nullptr);
        StopLocalHttpServer(server);
        EXPECT_EQ(OpenServerHandleCount(), handlesAtStart) << "a WinINet handle was left open";
    }

    std::string Post(ServerLink* link, const char* path, const char* body = "") {
        std::string answer;
        PostRequest(link, path, answer, body);
        return answer;
    }

    LocalHttpServer* server = nullptr;
    long handlesAtStart = 0;
};

TEST_F(ServerLinkTest, AnswersArriveWholeWhateverTheBasePath) {
    const std::string hosts[] = {server->Address, std::string(server->Address) + "/",
                                 std::string(server->Address) + "/app",
                                 "http://" + std::string(server->Address) + "/app/"};
    for (const std::string& host : hosts) {
        ServerLink* link = OpenServerLink(host.c_str());
        ASSERT_NE(link, nullptr);
        ASSERT_TRUE(link->Ready) << host;
        EXPECT_STREQ(link->Host, server->Address) << host;
        EXPECT_EQ(Post(link, "/Tembrix/whole.php"), WholeAnswer()) << host;
        EXPECT_EQ(Post(link, "Tembrix/echo.php", "m=00-1A-2B-3C-4D-5E&d=a%26b+c"), "m=00-1A-2B-3C-4D-5E&d=a%26b+c")
            << host;
        // The status is not examined: an error page's body is the answer.
        EXPECT_EQ(Post(link, "/Tembrix/missing.php"), "not found") << host;
        CloseServerLink(link);
    }
    EXPECT_EQ(OpenServerHandleCount(), handlesAtStart);
}

TEST_F(ServerLinkTest, ZeroByteCutsItsOwnChunkOnly) {
    ServerLink* link = OpenServerLink(server->Address);
    ASSERT_TRUE(link->Ready);
    // "AB", then "C" 00 "D": what came before stays, the bytes behind the zero are dropped.
    EXPECT_EQ(Post(link, "/Tembrix/zero.php"), "ABC");
    // "A" 00 "B", then "CD" read on its own: a later read is appended again.
    EXPECT_EQ(Post(link, "/Tembrix/zero_split.php"), "ACD");
    CloseServerLink(link);
}

TEST_F(ServerLinkTest, AnswerOverTheCapIsDropped) {
    ServerLink* link = OpenServerLink(server->Address);
    ASSERT_TRUE(link->Ready);
    EXPECT_EQ(Post(link, "/Tembrix/cap.php"), std::string(64 * 1024, 'x'));
    EXPECT_EQ(Post(link, "/Tembrix/over.php"), "");
    // The link is still usable after an oversized answer.
    EXPECT_EQ(Post(link, "/Tembrix/whole.php"), WholeAnswer());
    CloseServerLink(link);
}

TEST_F(ServerLinkTest, RefusedConnectionGivesAnEmptyAnswerWithoutWaiting) {
    RefusingAddress refusing;
    ASSERT_TRUE(HoldRefusingAddress(refusing));
    ServerLink* link = OpenServerLink(refusing.Address);
    ASSERT_NE(link, nullptr);
    // WinINet connects only when a request is sent, so the link is Ready all the same.
    EXPECT_TRUE(link->Ready);
    const DWORD start = GetTickCount();
    EXPECT_EQ(Post(link, "/Tembrix/permission_load.php", "m=00-1A-2B-3C-4D-5E"), "");
    const DWORD elapsed = GetTickCount() - start;
    std::printf("refused request failed after %lu ms\n", static_cast<unsigned long>(elapsed));
    // Far below the request time-out: a refusal must not be mistaken for a silent server.
    EXPECT_LT(elapsed, ConnectDeadlineMs / 2);
    CloseServerLink(link);
    DropRefusingAddress(refusing);
}

void PostHeld(std::string* answer) {
    ServerLink* link = AcquireServerLink();
    if (link != nullptr) PostRequest(link, "/Tembrix/held.php", *answer, "m=held");
    ReleaseServerLink(link);
}

TEST_F(ServerLinkTest, ReplacedLinkStaysOpenUntilItsLastRequestEnds) {
    ReplaceServerLink(OpenServerLink(server->Address));
    std::string heldAnswer;
    std::thread held(PostHeld, &heldAnswer);
    ASSERT_EQ(WaitForSingleObject(server->HeldRequestArrived, 60000), WAIT_OBJECT_0);

    // Internet, Connection and the held request; the replacement must not close them.
    EXPECT_EQ(OpenServerHandleCount(), handlesAtStart + 3);
    ReplaceServerLink(OpenServerLink(server->Address));
    EXPECT_EQ(OpenServerHandleCount(), handlesAtStart + 5);

    // The new link serves while the old one still waits for its answer.
    ServerLink* current = AcquireServerLink();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(Post(current, "/Tembrix/whole.php"), WholeAnswer());
    ReleaseServerLink(current);

    SetEvent(server->ReleaseHeld);
    held.join();
    EXPECT_EQ(heldAnswer, "HELD");
    // The held request's release was the old link's last reference: it is closed now.
    EXPECT_EQ(OpenServerHandleCount(), handlesAtStart + 2);
}

struct StressRun {
    std::atomic<bool> ReplacingDone{false};
    std::atomic<long> Completed{0};
    std::atomic<long> Wrong{0};
    std::atomic<long> WithoutLink{0};
    std::string FirstWrong;
    std::atomic<bool> FirstWrongTaken{false};
};

void PostUntilReplacingEnds(StressRun* run, int thread) {
    char body[64];
    for (long sequence = 0; !run->ReplacingDone; ++sequence) {
        ServerLink* link = AcquireServerLink();
        if (link == nullptr || !link->Ready) {
            ++run->WithoutLink;
            ReleaseServerLink(link);
            continue;
        }
        std::string answer;
        std::string expected;
        if (sequence % 3 == 2) {
            PostRequest(link, "/Tembrix/whole.php", answer, "");
            expected = WholeAnswer();
        } else {
            std::snprintf(body, sizeof body, "m=thread-%d&d=request-%ld", thread, sequence);
            PostRequest(link, "/Tembrix/echo.php", answer, body);
            expected = body;
        }
        ReleaseServerLink(link);
        if (answer != expected) {
            ++run->Wrong;
            if (!run->FirstWrongTaken.exchange(true)) run->FirstWrong = answer.substr(0, 200);
        }
        ++run->Completed;
    }
}

TEST_F(ServerLinkTest, StressReplacingTheLinkWhileTwoThreadsPost) {
    constexpr int Replacements = 300;
    const std::string hosts[] = {server->Address, std::string(server->Address) + "/app",
                                 "http://" + std::string(server->Address) + "/"};
    ReplaceServerLink(OpenServerLink(hosts[0].c_str()));

    StressRun run;
    const DWORD start = GetTickCount();
    std::thread first(PostUntilReplacingEnds, &run, 1);
    std::thread second(PostUntilReplacingEnds, &run, 2);
    bool stalled = false;
    for (int i = 1; i <= Replacements && !stalled; ++i) {
        // Each link serves at least one request before it is replaced, so replacements keep
        // meeting requests in flight.
        const long seen = run.Completed;
        const DWORD waitStart = GetTickCount();
        while (run.Completed == seen) {
            if (GetTickCount() - waitStart > 60000) {
                stalled = true;
                break;
            }
            SwitchToThread();
        }
        ReplaceServerLink(OpenServerLink(hosts[i % 3].c_str()));
    }
    run.ReplacingDone = true;
    first.join();
    second.join();
    const DWORD elapsed = GetTickCount() - start;

    std::printf("stress: %d replacements, %ld requests, %ld connections, %lu ms\n", Replacements,
                run.Completed.load(), server->Accepted.load(), static_cast<unsigned long>(elapsed));
    EXPECT_FALSE(stalled) << "posting stopped making progress";
    EXPECT_EQ(run.Wrong, 0) << "first wrong answer: " << run.FirstWrong;
    EXPECT_EQ(run.WithoutLink, 0);
    EXPECT_GE(run.Completed, Replacements);

    ReplaceServerLink(nullptr);
    EXPECT_EQ(OpenServerHandleCount(), handlesAtStart);
}

}  // namespace
