// Stands in for the web browser in tests: registered as the prefix's handler for http addresses,
// it appends each address it is asked to open, as one line, to urls.txt beside itself.
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = std::strrchr(path, '\\');
    if (length == 0 || slash == nullptr || slash - path + sizeof "\\urls.txt" > sizeof path) return 1;
    std::strcpy(slash, "\\urls.txt");
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, argv[1], static_cast<DWORD>(std::strlen(argv[1])), &written, nullptr);
    WriteFile(file, "\n", 1, &written, nullptr);
    CloseHandle(file);
    return 0;
}
