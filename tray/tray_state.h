// What the tray shows of the state it relays: which icon, the tip's lines, the reason below the
// lock, and the notification a change earns. Portable: no Windows call, so it is unit-tested
// natively.
#pragma once
#include <cstddef>
#include <cstdint>

#include "server/exchange_cause.h"

// The relayed state as the tray needs it: the pipe's word, and whether the server gave it.
struct TrayState {
    bool Known;    // false until the first answer has been relayed
    bool Granted;  // the pipe says TRUE
    Outcome Why;   // the server's own word (Cause::Answer), or why there was none
};

// One word, so that a worker can store it and the UI thread read it whole, without a lock. The
// response's status is left out: the tray never shows it.
std::uint64_t PackTrayState(const TrayState& state);
TrayState UnpackTrayState(std::uint64_t word);

// The three icons: the server's word locks, the server's word releases, no word came (locked).
enum class TrayLook { Locked, Released, Unanswered };
TrayLook LookOf(const TrayState& state);

// "USB Lock 해제됨" or "USB Lock 작동중": the status menu's item and the tip's second line.
const wchar_t* StatusText(bool granted);

// Why the state is not the server's own word, as a user can read it to the helpdesk, with the
// log's cause in brackets: "서버에 연결할 수 없습니다 (refused)". Empty for the server's word.
constexpr std::size_t ReasonSize = 96;
struct ReasonLine {
    wchar_t Text[ReasonSize];
};
ReasonLine ReasonOf(const Outcome& why);

// The tip: the product, the state, and the reason when there is one, one per line; it fits the
// shell's 128 characters with its NUL.
constexpr std::size_t TipSize = 128;
struct TipText {
    wchar_t Text[TipSize];
};
TipText TipOf(const TrayState& state);

// What a change from the state shown to the state relayed now says in a notification: one at
// each change of the pipe's word after the first word, none while the word stays (a lock that
// changes only its cause changes the icon and the tip, not the word).
constexpr std::size_t NoticeTitleSize = 64;
constexpr std::size_t NoticeTextSize = 256;
struct Notice {
    bool Due;
    wchar_t Title[NoticeTitleSize];
    wchar_t Text[NoticeTextSize];
};
Notice NoticeFor(const TrayState& shown, const TrayState& now);
