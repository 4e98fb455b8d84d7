// The registry code with no windows in it: names and records, the compare
// of a key's children, the plan of watches, and the sizes and pauses.
#include "registry/compare.h"
#include "registry/plan.h"
#include "registry/records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Name(const std::u16string &name) {
    std::vector<unsigned char> out(MAX_NAME_BYTES);
    out.resize(EncodeName(out.data(), out.size(), name.data(), name.size()));
    return out;
}

// The names kept and taken, in order: what the steps make of the old list.
std::vector<std::string> Apply(const std::vector<std::string> &olds,
                               const std::vector<std::string> &news, std::string *pSteps) {
    std::vector<const unsigned char *> o, n;
    std::vector<std::vector<unsigned char>> store;
    for (const auto *pList : {&olds, &news})
        for (const std::string &s : *pList)
            store.push_back(Name(std::u16string(s.begin(), s.end())));
    for (size_t i = 0; i < store.size(); i++)
        (i < olds.size() ? o : n).push_back(store[i].data());
    std::vector<unsigned char> steps(olds.size() + news.size());
    long nSteps = MatchNames(o.data(), o.size(), n.data(), n.size(), steps.data());
    std::vector<std::string> out;
    size_t i = 0, j = 0;
    for (long s = 0; s < nSteps; s++) {
        *pSteps += "KDT"[steps[s]];
        if (steps[s] == MATCH_KEEP) {
            EXPECT_EQ(olds[i], news[j]);
        }
        if (steps[s] != MATCH_DROP)
            out.push_back(news[j++]);
        if (steps[s] != MATCH_TAKE)
            i++;
    }
    return out;
}

} // namespace

TEST(RegistryNames, NamesKeepEveryUnitInTheLeastBytes) {
    auto ascii = Name(u"Software"), wide = Name(std::u16string(u"Ключ\u0000鍵", 6));
    auto empty = Name(u"");
    EXPECT_EQ(ascii.size(), 9u); // one byte of header, one a unit
    EXPECT_EQ(ascii[0] & 1, 0) << "narrow";
    EXPECT_EQ(wide.size(), 1u + 2 * 6);
    EXPECT_EQ(wide[0] & 1, 1) << "wide";
    EXPECT_EQ(wide[1 + 8], 0);     // the NUL is a unit like any other
    EXPECT_EQ(wide[1 + 10], 0x75); // 鍵, low byte first
    EXPECT_EQ(empty.size(), 1u);
    EXPECT_EQ(NameSize(wide.data(), wide.size()), wide.size());
    EXPECT_EQ(NameSize(wide.data(), wide.size() - 1), 0u) << "a cut name is not read";
    EXPECT_TRUE(SameName(Name(u"Grüße").data(), Name(u"Grüße").data()));
    // Read back as the registry holds it, or as shown: a NUL as U+2400.
    char16_t szRaw[8], szShown[8];
    EXPECT_EQ(DecodeName(wide.data(), szRaw, 8, false), 6u);
    EXPECT_EQ(std::u16string(szRaw, 6), std::u16string(u"Ключ\u0000鍵", 6));
    EXPECT_EQ(DecodeName(wide.data(), szShown, 8, true), 6u);
    EXPECT_EQ(std::u16string(szShown), u"Ключ\u2400鍵");
    EXPECT_EQ(DecodeName(wide.data(), szShown, 4, true), 3u) << "cut to fit, terminated";
    EXPECT_EQ(std::u16string(szShown), u"Клю");
    EXPECT_FALSE(SameName(Name(u"a").data(), Name(u"A").data()));
    EXPECT_LT(CompareNames(Name(u"a").data(), Name(u"ab").data()), 0);
    std::u16string longest(MAX_NAME_UNITS, u'x');
    EXPECT_EQ(Name(longest).size(), 3 + longest.size());
    EXPECT_TRUE(Name(longest + u"x").empty());
}

TEST(RegistryNames, RecordsReadBackAsWrittenAndNeverOverrun) {
    unsigned char buf[48];
    auto value = Name(u"Значение"), key = Name(u"");
    Record in1 = {RECORD_VALUE, 300, 0, value.data()};
    Record in2 = {RECORD_KEY, 0, 0x0123456789ABCDEFull, key.data()};
    size_t cb = PackRecord(buf, sizeof(buf), in1);
    size_t cb2 = PackRecord(buf + cb, sizeof(buf) - cb, in2);
    ASSERT_GT(cb, 0u);
    ASSERT_EQ(cb2, 3u + 8 + 1);
    Record out;
    ASSERT_EQ(UnpackRecord(buf, cb + cb2, &out), cb);
    EXPECT_EQ(out.nKind, RECORD_VALUE);
    EXPECT_EQ(out.nLevel, 300u);
    EXPECT_EQ(out.qwStamp, 0u);
    EXPECT_TRUE(SameName(out.pName, value.data()));
    ASSERT_EQ(UnpackRecord(buf + cb, cb2, &out), cb2);
    EXPECT_EQ(out.nKind, RECORD_KEY);
    EXPECT_EQ(out.qwStamp, 0x0123456789ABCDEFull);
    // A record that does not fit is not written; a cut one is not read.
    EXPECT_EQ(PackRecord(buf, cb - 1, in1), 0u);
    EXPECT_EQ(UnpackRecord(buf, cb - 1, &out), 0u);
    in1.nLevel = 70000;
    EXPECT_EQ(PackRecord(buf, sizeof(buf), in1), 0u);
}

TEST(RegistryNames, WatcherPausesGrowAndAreBounded) {
    EXPECT_EQ(NextBackoff(0), 50u);
    EXPECT_EQ(NextBackoff(50), 100u);
    unsigned long dwPause = 0;
    for (int i = 0; i < 30; i++)
        dwPause = NextBackoff(dwPause);
    EXPECT_EQ(dwPause, 5000u);
}

TEST(RegistryCompare, OnlyWhatChangedIsDroppedOrTaken) {
    std::string steps;
    EXPECT_EQ(Apply({"A", "B", "C"}, {"A", "B", "C"}, &steps),
              (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(steps, "KKK");
    steps.clear();
    EXPECT_EQ(Apply({"A", "B", "C", "D"}, {"X", "A", "C", "Y", "D", "Z"}, &steps),
              (std::vector<std::string>{"X", "A", "C", "Y", "D", "Z"}));
    EXPECT_EQ(steps, "TKDKTKT");
    // Names that swap places: one of them goes and comes back.
    steps.clear();
    EXPECT_EQ(Apply({"A", "B"}, {"B", "A"}, &steps), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(steps, "DKT");
    steps.clear();
    EXPECT_EQ(Apply({}, {"A"}, &steps), std::vector<std::string>{"A"});
    EXPECT_EQ(Apply({"A", "B"}, {}, &steps), std::vector<std::string>{});
    EXPECT_EQ(steps, "TDD");
}

TEST(RegistryPlan, BigKeysAreCutBiggestFirstAndLinksAreNeverWatchedWhole) {
    // The hive; A with 300 subkeys of one value each; B with 10 values; C
    // with a linked key below it.
    std::vector<PlanKey> keys = {{3, 614, 304, true, 0}, {300, 600, 300, false, 0}};
    for (int i = 0; i < 300; i++)
        keys.push_back({0, 1, 0, false, 0});
    keys.push_back({0, 10, 0, false, 0});
    keys.push_back({1, 1, 1, true, 0});
    keys.push_back({0, 0, 0, false, 0});
    ASSERT_TRUE(PlanWatches(keys.data(), keys.size()));
    EXPECT_EQ(keys[0].nWatch, WATCH_CUT);
    EXPECT_EQ(keys[1].nWatch, WATCH_CUT) << "600 items below it";
    EXPECT_EQ(keys[2].nWatch, WATCH_WHOLE);
    EXPECT_EQ(keys[302].nWatch, WATCH_WHOLE) << "small";
    EXPECT_EQ(keys[303].nWatch, WATCH_CUT) << "a link below it";
    EXPECT_EQ(keys[304].nWatch, WATCH_WHOLE);
    // More links than watches: no parts at all.
    std::vector<PlanKey> wide = {{5000, 10000, 10000, true, 0}};
    for (int i = 0; i < 5000; i++)
        wide.push_back({1, 1, 1, true, 0}), wide.push_back({0, 0, 0, false, 0});
    EXPECT_FALSE(PlanWatches(wide.data(), wide.size()));
    EXPECT_EQ(wide[0].nWatch, WATCH_NONE);
    // Counts that do not add up are refused, not read past.
    std::vector<PlanKey> bad = {{4, 1, 1, false, 0}, {0, 0, 0, false, 0}};
    EXPECT_FALSE(PlanWatches(bad.data(), bad.size()));
}
