// Where the settings file lives: beside the executable, in a directory text folded to lower case.
// Portable: no Windows call, so it is unit-tested natively.
#pragma once
#include <cstddef>

constexpr std::size_t PathTextSize = 260;  // MAX_PATH
constexpr char SettingsFileName[] = "tmbxconfig.ini";

// The settings path block: kept by start-up until the very end of shutdown.
struct SettingsPathBlock {
    char Directory[PathTextSize];
    char FileName[PathTextSize];
    char FullPath[PathTextSize];
};

// Tells whether a byte starts a double-byte character in the ANSI code page in force.
using LeadByteTest = bool (*)(unsigned char);

// Folds ASCII letters to lower case, leaving both bytes of every double-byte character alone:
// in code page 949 a trail byte may be an ASCII capital, and folding it would name another file.
void LowerCaseAnsi(char* text, LeadByteTest isLeadByte);

// Fills the block from the executable's full path. Returns false, leaving the block's texts
// empty, when the directory and the file name do not fit 260 bytes together: a cut path would
// read and write some other file.
bool FillSettingsPath(SettingsPathBlock& block, const char* modulePath, LeadByteTest isLeadByte);
