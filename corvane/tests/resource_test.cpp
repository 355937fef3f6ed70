#include "corvane/ulresource.h"

#include <gtest/gtest.h>

namespace {

const corvane::StringResource kStrings[] = {
    {701, u"Ping Remote Host\nPing Remote Host %s\n"},
    {702, u"Ping: %s is offline on %s"},
    {703, u"100%% of %ls"},
};
const corvane::CStringTableRegistration g_Strings(kStrings);

TEST(StringResource, LinesOfAMultiLineResource) {
    EXPECT_EQ(corvane::LoadStringResourceLine(701, 0), u"Ping Remote Host");
    EXPECT_EQ(corvane::LoadStringResourceLine(701, 1), u"Ping Remote Host %s");
    EXPECT_EQ(corvane::LoadStringResourceLine(701, 2), u"");
    EXPECT_EQ(corvane::LoadStringResourceLine(701, 3), u"");
    EXPECT_EQ(corvane::LoadStringResource(9999), u"");
}

TEST(StringResource, FormatFillsArgumentsInOrderAndNeverReadsPastThem) {
    EXPECT_EQ(corvane::FormatResourceString(702, {u"host", u"7.12.2026 10:00"}),
              u"Ping: host is offline on 7.12.2026 10:00");
    EXPECT_EQ(corvane::FormatResourceString(702, {u"host"}), u"Ping: host is offline on ");
    EXPECT_EQ(corvane::FormatResourceString(703, {u"%s", u"extra"}), u"100% of %s");
    EXPECT_EQ(corvane::FormatString(u"trailing %", {}), u"trailing %");
    EXPECT_EQ(corvane::FormatString(u"%d stays", {u"x"}), u"%d stays");
}

TEST(StringResource, AnUnregisteredTableIsGone) {
    const corvane::StringResource kLocal[] = {{42, u"local"}};
    {
        const corvane::CStringTableRegistration Registration(kLocal);
        EXPECT_EQ(corvane::LoadStringResource(42), u"local");
    }
    EXPECT_EQ(corvane::LoadStringResource(42), u"");
}

}  // namespace
