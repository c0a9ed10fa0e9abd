// The log file as the real file calls write it, from several threads at once and past its bound.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "log/agent_log.h"
#include "tests/log_decode.h"

namespace {

std::string LogFolder() {
    char localAppData[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, localAppData);
    return std::string(localAppData) + "\\" + LogFolderName;
}

std::string ReadWholeFile(const std::string& path) {
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
    CloseHandle(file);
    return text;
}

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::string(found.cFileName) != "." && std::string(found.cFileName) != "..") names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

TEST(AgentLog, LinesOfManyThreadsStayWholeInOrderAndCountedAndAFullFileTurnsOverAtItsBound) {
    const std::string folder = LogFolder();
    const std::string path = folder + "\\" + LogFileName;
    const std::string old = path + OldLogSuffix;
    DeleteFileA(path.c_str());
    DeleteFileA(old.c_str());

    WriteLog(LogLevel::Info, "before", {});  // dropped: the log has not started
    StartLog();
    // Four writers of 280-byte lines: 1.6 MiB in all, so the file turns over once on the way. Each
    // pauses a little after a line, so that the queue seldom fills; a line that finds it full is
    // counted all the same.
    constexpr int Threads = 4, Lines = 1500;
    const std::string pad(200, 'x');
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([t, &pad] {
            for (int i = 0; i < Lines; ++i) {
                WriteLog(LogLevel::Info, "load",
                         {{"thread", LogNumber(t).Text}, {"line", LogNumber(i).Text}, {"pad", pad}});
                Sleep(1);
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    StopLog();
    WriteLog(LogLevel::Info, "after", {});  // dropped: the log has stopped

    std::vector<std::string> names = FilesIn(folder);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Tembrix.log", "Tembrix.log.1"}));
    int last[Threads] = {-1, -1, -1, -1};
    std::size_t lines = 0;
    long long dropped = 0;
    for (const std::string& file : {old, path}) {
        const std::string text = ReadWholeFile(file);
        EXPECT_LE(text.size(), MaxLogFileSize) << file;
        ASSERT_EQ(text.substr(0, 3), "\xEF\xBB\xBF") << file;
        for (std::size_t at = 3; at < text.size();) {
            const std::size_t end = text.find("\r\n", at);
            ASSERT_NE(end, std::string::npos) << file;
            ReadLine read;
            ASSERT_TRUE(ReadLogLine(std::string_view(text).substr(at, end + 2 - at), read)) << text.substr(at, end - at);
            at = end + 2;
            if (read.Event == "log") {
                ASSERT_EQ(read.Fields.size(), 1u);
                ASSERT_EQ(read.Fields[0].Key, "dropped");
                dropped += std::stoll(read.Fields[0].Value);
                continue;
            }
            ASSERT_EQ(read.Event, "load");
            ASSERT_EQ(read.Fields.size(), 3u);
            const int thread = std::stoi(read.Fields[0].Value), line = std::stoi(read.Fields[1].Value);
            EXPECT_GT(line, last[thread]);  // each thread's lines in its order
            last[thread] = line;
            EXPECT_EQ(read.Fields[2].Value, pad);
            ++lines;
        }
    }
    // The old file holds what came before the turn, the new one what came after: every line is in
    // one of them, or counted as dropped.
    EXPECT_EQ(static_cast<long long>(lines) + dropped, Threads * Lines);
    EXPECT_GT(lines * 280, std::size_t{MaxLogFileSize});
}

}  // namespace
