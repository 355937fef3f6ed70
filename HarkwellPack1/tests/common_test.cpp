#include "Common.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

// The formats under test are the C locale's, whatever locale the machine running the tests names.
const bool g_bCLocale = setenv("LC_ALL", "C", 1) == 0;

TEST(LocalTimeText, DateBlankTimeInTheUsersFormat) {
    std::tm Time{};
    Time.tm_year = 2026 - 1900;
    Time.tm_mon = 11;
    Time.tm_mday = 7;
    Time.tm_hour = 14;
    Time.tm_min = 5;
    Time.tm_sec = 9;
    ASSERT_TRUE(g_bCLocale);
    EXPECT_EQ(FormatLocalTimeText(Time), u"12/07/26 14:05:09");
}

TEST(LocalTimeText, NowHasBothParts) {
    const std::u16string sText = GetLocalTimeText();
    ASSERT_NE(sText.find(u' '), std::u16string::npos);
    EXPECT_GE(sText.size(), 3u);
}

}  // namespace
