// Registry name buffers, the watcher's pauses and the walker's records.
#include "registry/namebuf.h"

#include <gtest/gtest.h>

#include <string>

TEST(RegistryNames, BufferGrowthAndWatcherPausesAreBounded) {
    EXPECT_EQ(NextNameBufferSize(1), 64u);
    EXPECT_EQ(NextNameBufferSize(256), 512u);
    EXPECT_EQ(NextNameBufferSize(40000), 65536u);
    EXPECT_EQ(NextNameBufferSize(65536), 0u);
    unsigned long dwSize = 1;
    int nSteps = 0;
    while ((dwSize = NextNameBufferSize(dwSize)) != 0)
        nSteps++;
    EXPECT_LT(nSteps, 20);

    EXPECT_EQ(NextBackoff(0), 50u);
    EXPECT_EQ(NextBackoff(50), 100u);
    unsigned long dwPause = 0;
    for (int i = 0; i < 30; i++)
        dwPause = NextBackoff(dwPause);
    EXPECT_EQ(dwPause, 5000u);
}

TEST(RegistryNames, RecordsReadBackAsWrittenAndNeverOverrun) {
    unsigned char buf[32];
    size_t cb = PackRecord(buf, sizeof(buf), 300, RECORD_VALUE, "\xD0\x9A\xE9\x8D\xB5");
    size_t cb2 = PackRecord(buf + cb, sizeof(buf) - cb, 0, RECORD_KEY, "");
    ASSERT_GT(cb, 0u);
    ASSERT_GT(cb2, 0u);
    unsigned nDepth;
    int nKind;
    const char *lpszName;
    ASSERT_EQ(UnpackRecord(buf, cb + cb2, &nDepth, &nKind, &lpszName), cb);
    EXPECT_EQ(nDepth, 300u);
    EXPECT_EQ(nKind, RECORD_VALUE);
    EXPECT_EQ(std::string(lpszName), "\xD0\x9A\xE9\x8D\xB5");
    ASSERT_EQ(UnpackRecord(buf + cb, cb2, &nDepth, &nKind, &lpszName), cb2);
    EXPECT_EQ(nDepth, 0u);
    EXPECT_EQ(nKind, RECORD_KEY);
    EXPECT_EQ(std::string(lpszName), "");

    // A record that does not fit is not written; a cut one is not read.
    EXPECT_EQ(PackRecord(buf, 8, 1, RECORD_KEY, "12345"), 0u);
    EXPECT_EQ(PackRecord(buf, 9, 1, RECORD_KEY, "12345"), 9u);
    EXPECT_EQ(UnpackRecord(buf, 8, &nDepth, &nKind, &lpszName), 0u);
    EXPECT_EQ(PackRecord(buf, sizeof(buf), 70000, RECORD_KEY, "x"), 0u);
}
