#include "harness.h"

#include <gtest/gtest.h>

TEST(MainWindow, OpensTitledCorvane)
{
    HWND hWnd = StartApp();
    ASSERT_NE(hWnd, (HWND)NULL);
    char szTitle[64];
    GetWindowTextA(hWnd, szTitle, sizeof(szTitle));
    EXPECT_STREQ(szTitle, "Corvane");
    StopApp();
}
