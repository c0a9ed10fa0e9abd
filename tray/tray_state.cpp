#include "tray/tray_state.h"

#include <type_traits>

namespace {

constexpr wchar_t ProductName[] = L"Tembrix USB Lock Tool";

// Appends to a bounded text, cut where it would not fit. Narrow text is a cause's token, ASCII:
// each byte is one character.
template <std::size_t N, typename Char>
void Append(wchar_t (&out)[N], const Char* text) {
    std::size_t at = 0;
    while (at < N - 1 && out[at] != 0) ++at;
    while (at < N - 1 && *text != 0) out[at++] = static_cast<std::make_unsigned_t<Char>>(*text++);
    out[at] = 0;
}

const wchar_t* ReasonText(CauseKind kind) {
    switch (kind) {
    case CauseKind::Unreachable: return L"서버에 연결할 수 없습니다";
    case CauseKind::Silent: return L"서버가 응답하지 않습니다";
    case CauseKind::Untrusted: return L"서버의 인증서를 신뢰할 수 없습니다";
    case CauseKind::Invalid: return L"서버의 응답이 올바르지 않습니다";
    case CauseKind::BadPolicy: return L"관리자 정책의 서버 주소가 올바르지 않습니다";
    case CauseKind::ServersWord: break;
    }
    return nullptr;
}

}  // namespace

std::uint64_t PackTrayState(const TrayState& state) {
    return (state.Known ? 1u : 0u) | (state.Granted ? 2u : 0u) |
           (static_cast<std::uint64_t>(static_cast<unsigned char>(state.Why.Why)) << 8) |
           (static_cast<std::uint64_t>(state.Why.Error & 0xFFFFFFFFu) << 32);
}

TrayState UnpackTrayState(std::uint64_t word) {
    TrayState state = {};
    state.Known = (word & 1u) != 0;
    state.Granted = (word & 2u) != 0;
    state.Why.Why = static_cast<Cause>((word >> 8) & 0xFFu);
    state.Why.Error = static_cast<unsigned long>(word >> 32);
    return state;
}

TrayLook LookOf(const TrayState& state) {
    if (state.Granted) return TrayLook::Released;
    return state.Why.Why == Cause::Answer ? TrayLook::Locked : TrayLook::Unanswered;
}

const wchar_t* StatusText(bool granted) { return granted ? L"USB Lock 해제됨" : L"USB Lock 작동중"; }

ReasonLine ReasonOf(const Outcome& why) {
    ReasonLine line = {};
    const wchar_t* reason = ReasonText(KindOf(why.Why));
    if (reason == nullptr) return line;
    Append(line.Text, reason);
    Append(line.Text, L" (");
    Append(line.Text, TokenOf(why).Text);
    Append(line.Text, L")");
    return line;
}

TipText TipOf(const TrayState& state) {
    TipText tip = {};
    Append(tip.Text, ProductName);
    Append(tip.Text, L"\n");
    Append(tip.Text, StatusText(state.Granted));
    const ReasonLine reason = ReasonOf(state.Why);
    if (reason.Text[0] != 0) {
        Append(tip.Text, L"\n");
        Append(tip.Text, reason.Text);
    }
    return tip;
}

Notice NoticeFor(const TrayState& shown, const TrayState& now) {
    Notice notice = {};
    if (!shown.Known || !now.Known || shown.Granted == now.Granted) return notice;
    notice.Due = true;
    Append(notice.Title, StatusText(now.Granted));
    switch (LookOf(now)) {
    case TrayLook::Released: Append(notice.Text, L"USB 저장장치를 사용할 수 있습니다."); break;
    case TrayLook::Locked: Append(notice.Text, L"USB 저장장치를 사용할 수 없습니다."); break;
    case TrayLook::Unanswered: Append(notice.Text, ReasonOf(now.Why).Text); break;
    }
    return notice;
}
