// Registry name buffers and the watcher's pauses: sizes that grow to a bound.
#include "registry/namebuf.h"

#include <gtest/gtest.h>

TEST(RegistryNames, BufferGrowthAndWatcherPausesAreBounded) {
    EXPECT_EQ(NextNameBufferSize(1), 64u);
    EXPECT_EQ(NextNameBufferSize(256), 512u);
    EXPECT_EQ(NextNameBufferSize(20000), 32768u);
    EXPECT_EQ(NextNameBufferSize(32768), 0u);
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
