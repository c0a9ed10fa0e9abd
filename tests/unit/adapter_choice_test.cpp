#include "identity/adapter_choice.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// A made-up PC: its adapters and the addresses its server knows; records every offer.
struct FakePc {
    std::vector<AdapterAddress> Adapters;
    std::set<std::string> Registered;
    std::vector<std::string> Offered;
    int Reads = 0;
    int Growth = 0;  // adapters that appear, one a read, before the list settles
};

int ReadFake(AdapterAddress* out, int capacity, void* context) {
    auto* pc = static_cast<FakePc*>(context);
    ++pc->Reads;
    const int count = static_cast<int>(pc->Adapters.size());
    for (int i = 0; i < count && i < capacity; ++i) out[i] = pc->Adapters[i];
    return count;
}

bool CheckFake(const char* text, void* context) {
    auto* pc = static_cast<FakePc*>(context);
    pc->Offered.push_back(text);
    return pc->Registered.count(text) != 0;
}

AdapterAddress Adapter(char name) {
    switch (name) {
    case 'A': return {{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};
    case 'B': return {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
    default: return {{0, 0, 0, 0, 0, 0}};
    }
}

std::string Text(char name) {
    switch (name) {
    case 'A': return "0A-1B-2C-3D-4E-5F";
    case 'B': return "00-1A-2B-3C-4D-5E";
    default: return AllZeroAddressText;
    }
}

std::vector<std::string> Texts(const std::string& names) {
    std::vector<std::string> out;
    for (char c : names) out.push_back(Text(c));
    return out;
}

struct Row {
    const char* Adapters;
    const char* Accepts;
    const char* Offered;
    char Chosen;
};

TEST(AdapterChoice, EveryRowOfTheChoiceTable) {
    const Row rows[] = {
        {"A", "", "A", 'A'},        {"Z", "", "Z", 'Z'},        {"AB", "", "AB", 'A'},
        {"AB", "B", "AB", 'B'},     {"AB", "AB", "A", 'A'},     {"ZA", "A", "A", 'A'},
        {"ZAB", "AB", "B", 'B'},    {"ZAB", "A", "BA", 'A'},    {"ZAB", "", "BAB", 'A'},
        {"BZA", "", "BAA", 'B'},    {"AZ", "", "AZ", 'A'},      {"AZ", "Z", "AZ", 'Z'},
        {"ZZ", "", "ZZ", 'Z'},
    };
    for (const Row& row : rows) {
        FakePc pc;
        for (const char* c = row.Adapters; *c; ++c) pc.Adapters.push_back(Adapter(*c));
        for (const char* c = row.Accepts; *c; ++c) pc.Registered.insert(Text(*c));
        char chosen[AddressTextSize];
        ChooseTerminalAddress({ReadFake, CheckFake, &pc}, chosen);
        EXPECT_EQ(pc.Offered, Texts(row.Offered)) << row.Adapters << " accepting " << row.Accepts;
        EXPECT_EQ(std::string(chosen), Text(row.Chosen)) << row.Adapters << " accepting " << row.Accepts;
    }
}

TEST(AdapterChoice, NoAdaptersGiveTheAllZeroTextWithoutAskingTheServer) {
    FakePc pc;
    char chosen[AddressTextSize];
    ChooseTerminalAddress({ReadFake, CheckFake, &pc}, chosen);
    EXPECT_STREQ(chosen, AllZeroAddressText);
    EXPECT_TRUE(pc.Offered.empty());
}

TEST(AdapterChoice, ListsLongerThanTheFixedBufferAreReadWhole) {
    FakePc pc;
    for (int i = 0; i < 20; ++i) pc.Adapters.push_back({{0x02, 0, 0, 0, 0, static_cast<unsigned char>(i)}});
    pc.Registered.insert("02-00-00-00-00-13");  // the twentieth
    char chosen[AddressTextSize];
    ChooseTerminalAddress({ReadFake, CheckFake, &pc}, chosen);
    EXPECT_STREQ(chosen, "02-00-00-00-00-13");
    EXPECT_EQ(pc.Offered.size(), 20u);
}

// A list that grows between the read that reports its length and the one that fetches it is
// still read whole; one that never stops growing ends the reading instead of looping.
int ReadGrowing(AdapterAddress* out, int capacity, void* context) {
    auto* pc = static_cast<FakePc*>(context);
    if (pc->Growth > 0) {
        --pc->Growth;
        pc->Adapters.push_back({{0x02, 0, 0, 0, 1, static_cast<unsigned char>(pc->Adapters.size())}});
    }
    return ReadFake(out, capacity, context);
}

TEST(AdapterChoice, GrowingListsAreReadWholeOrGivenUp) {
    FakePc pc;
    pc.Adapters.assign(16, Adapter('Z'));
    pc.Growth = 2;
    char text[AddressTextSize];
    AdapterAddressAt({ReadGrowing, CheckFake, &pc}, 0, text);
    // Position 0 is all-zero: the stand-in is the last adapter of the list that was read whole.
    EXPECT_STREQ(text, "02-00-00-00-01-11");  // the eighteenth: 17 reported, then 18 read whole

    FakePc endless;
    endless.Adapters.assign(20, Adapter('A'));
    endless.Growth = 1000;
    EXPECT_EQ(CountAdapters({ReadGrowing, CheckFake, &endless}), 0);
    EXPECT_LE(endless.Reads, 6);
}

TEST(AdapterChoice, EveryCountAndCandidateReadsTheListAfresh) {
    FakePc pc;
    pc.Adapters = {Adapter('A'), Adapter('B')};
    char chosen[AddressTextSize];
    ChooseTerminalAddress({ReadFake, CheckFake, &pc}, chosen);
    // Two loop tests and two candidates, then the fallback: each one read.
    EXPECT_GE(pc.Reads, 5);
}

TEST(AdapterChoice, FormatIsSeventeenUpperCaseCharacters) {
    char text[AddressTextSize];
    FormatAdapterAddress({0xab, 0xcd, 0xef, 0x01, 0x02, 0xff}, text);
    EXPECT_STREQ(text, "AB-CD-EF-01-02-FF");
}

}  // namespace
