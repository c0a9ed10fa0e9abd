// What the tray shows and says of the relayed state, as the UI thread gets it: through the one
// word a worker stores.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "tray/tray_state.h"

namespace {

TrayState Relayed(bool granted, Cause cause = Cause::Answer, unsigned long error = 0) {
    return UnpackTrayState(PackTrayState({true, granted, {cause, error, 200}}));
}

const TrayState Unknown = UnpackTrayState(0);
const TrayState Released = Relayed(true);
const TrayState Refused = Relayed(false);
const TrayState Unreachable = Relayed(false, Cause::Refused, 12029);
const TrayState Untrusted = Relayed(false, Cause::Tls, 12045);

std::wstring Tip(const TrayState& state) { return TipOf(state).Text; }

TEST(TrayState, EachLookHasItsIconAndItsTip) {
    EXPECT_FALSE(Unknown.Known);
    EXPECT_EQ(LookOf(Released), TrayLook::Released);
    EXPECT_EQ(LookOf(Refused), TrayLook::Locked);
    EXPECT_EQ(LookOf(Untrusted), TrayLook::Unanswered);
    EXPECT_EQ(Tip(Released), L"Tembrix USB Lock Tool\nUSB Lock 해제됨");
    EXPECT_EQ(Tip(Refused), L"Tembrix USB Lock Tool\nUSB Lock 작동중");
    EXPECT_EQ(Tip(Unreachable), L"Tembrix USB Lock Tool\nUSB Lock 작동중\n서버에 연결할 수 없습니다 (refused)");
    EXPECT_EQ(Tip(Untrusted), L"Tembrix USB Lock Tool\nUSB Lock 작동중\n서버의 인증서를 신뢰할 수 없습니다 (tls-12045)");
    // Every cause, with the longest number a token can carry, fits the shell's tip whole.
    for (int cause = static_cast<int>(Cause::Unresolved); cause <= static_cast<int>(Cause::AddressTooLong); ++cause) {
        const std::wstring tip = Tip(Relayed(false, static_cast<Cause>(cause), 4294967295ul));
        EXPECT_LE(tip.size(), TipSize - 1) << cause;
        EXPECT_EQ(tip.back(), L')') << cause;
    }
}

TEST(TrayState, ANoticeAtEachChangeOfThePipesWordAfterTheFirst) {
    struct Row {
        TrayState Shown, Now;
        const wchar_t* Title;  // null: no notice
        const wchar_t* Text;
    };
    const Row rows[] = {
        {Unknown, Released, nullptr, nullptr},  // the first word, whatever it is
        {Unknown, Refused, nullptr, nullptr},
        {Refused, Released, L"USB Lock 해제됨", L"USB 저장장치를 사용할 수 있습니다."},
        {Unreachable, Released, L"USB Lock 해제됨", L"USB 저장장치를 사용할 수 있습니다."},
        {Released, Refused, L"USB Lock 작동중", L"USB 저장장치를 사용할 수 없습니다."},
        {Released, Untrusted, L"USB Lock 작동중", L"서버의 인증서를 신뢰할 수 없습니다 (tls-12045)"},
        // The pipe's word stays FALSE: the icon and the tip change, nothing is announced.
        {Refused, Unreachable, nullptr, nullptr},
        {Unreachable, Refused, nullptr, nullptr},
        {Unreachable, Untrusted, nullptr, nullptr},
        {Released, Released, nullptr, nullptr},
    };
    for (const Row& row : rows) {
        const Notice notice = NoticeFor(row.Shown, row.Now);
        ASSERT_EQ(notice.Due, row.Title != nullptr) << &row - rows;
        if (!notice.Due) continue;
        EXPECT_STREQ(notice.Title, row.Title) << &row - rows;
        EXPECT_STREQ(notice.Text, row.Text) << &row - rows;
    }
}

}  // namespace
