#include "app/settings_path.h"

#include <cstring>

void LowerCaseAnsi(char* text, LeadByteTest isLeadByte) {
    for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p) {
        if (isLeadByte(*p)) {
            if (p[1] == 0) break;  // a lone lead byte at the end: nothing behind it to skip
            ++p;
            continue;
        }
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<unsigned char>(*p - 'A' + 'a');
    }
}

bool FillSettingsPath(SettingsPathBlock& block, const char* modulePath, LeadByteTest isLeadByte) {
    block.Directory[0] = block.FileName[0] = block.FullPath[0] = 0;

    const std::size_t moduleLength = strnlen(modulePath, PathTextSize);
    if (moduleLength >= PathTextSize) return false;

    char path[PathTextSize];
    std::memcpy(path, modulePath, moduleLength + 1);
    LowerCaseAnsi(path, isLeadByte);

    // Cut behind the last backslash; a backslash byte inside a double-byte character does not count.
    std::size_t cut = 0;
    for (std::size_t i = 0; i < moduleLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (isLeadByte(c) && i + 1 < moduleLength) {
            ++i;
            continue;
        }
        if (c == '\\') cut = i + 1;
    }
    path[cut] = 0;

    if (cut + sizeof SettingsFileName > PathTextSize) return false;

    std::memcpy(block.Directory, path, cut + 1);
    std::memcpy(block.FileName, SettingsFileName, sizeof SettingsFileName);
    std::memcpy(block.FullPath, path, cut);
    std::memcpy(block.FullPath + cut, SettingsFileName, sizeof SettingsFileName);
    return true;
}
