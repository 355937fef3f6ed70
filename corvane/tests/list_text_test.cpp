// List text: splitting with quoted items, doubled quotes, unterminated quotes, empty items and blanks, and
// joining back into text that splits into the same items.
#include "corvane/ullisttext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using corvane::JoinList;
using corvane::SplitList;
using Items = std::vector<std::u16string>;

TEST(ListText, SplitsPlainItemsAndBlanks) {
    EXPECT_EQ(SplitList(u""), Items{});
    EXPECT_EQ(SplitList(u" \t "), Items{});
    EXPECT_EQ(SplitList(u"a"), Items{u"a"});
    EXPECT_EQ(SplitList(u"a@x.org, b@y.org,c"), (Items{u"a@x.org", u"b@y.org", u"c"}));
    // Blanks before a comma go; the last item keeps its trailing blanks and tabs.
    EXPECT_EQ(SplitList(u"\t a \t, b \t"), (Items{u"a", u"b \t"}));
    // Empty items stay, but text that is empty after blanks ends the list.
    EXPECT_EQ(SplitList(u",a,,b"), (Items{u"", u"a", u"", u"b"}));
    EXPECT_EQ(SplitList(u"a, ,b"), (Items{u"a", u"", u"b"}));
    EXPECT_EQ(SplitList(u"a,"), Items{u"a"});
    EXPECT_EQ(SplitList(u"a, "), Items{u"a"});
    // A quote inside an unquoted item is ordinary text.
    EXPECT_EQ(SplitList(u"a\"b, c"), (Items{u"a\"b", u"c"}));
}

TEST(ListText, SplitsQuotedItems) {
    EXPECT_EQ(SplitList(u"\"Doe, John <jd@x.org>\", x@y.org"), (Items{u"Doe, John <jd@x.org>", u"x@y.org"}));
    // A pair of quotes stands for one quote; an empty quoted item is an empty item.
    EXPECT_EQ(SplitList(u"\"say \"\"hi\"\"\",\"\""), (Items{u"say \"hi\"", u""}));
    EXPECT_EQ(SplitList(u"\"\"\"\""), Items{u"\""});
    // Whatever follows the closing quote up to the next comma is discarded.
    EXPECT_EQ(SplitList(u"\"a\" junk, b"), (Items{u"a", u"b"}));
    EXPECT_EQ(SplitList(u"\"a\" junk"), Items{u"a"});
    // Blanks inside the quotes are kept.
    EXPECT_EQ(SplitList(u"  \" a \" ,b"), (Items{u" a ", u"b"}));
}

TEST(ListText, UnterminatedQuoteDropsTheRest) {
    EXPECT_EQ(SplitList(u"a, \"b, c"), Items{u"a"});
    EXPECT_EQ(SplitList(u"a, \"b\"\", c"), Items{u"a"});
    EXPECT_EQ(SplitList(u"\""), Items{});
}

TEST(ListText, JoinsWithQuotesWhereNeeded) {
    EXPECT_EQ(JoinList({}), u"");
    EXPECT_EQ(JoinList({u"login", u"cram-md5"}), u"login,cram-md5");
    EXPECT_EQ(JoinList({u"a b", u"c\td", u"e,f", u"say \"hi\"", u"", u"plain"}),
              u"\"a b\",\"c\td\",\"e,f\",\"say \"\"hi\"\"\",,plain");
    EXPECT_EQ(JoinList({u""}), u"");
}

// Joined text splits back into the same items, except for the forms the splitter cannot give back: an empty
// last item and leading blanks of an unquoted item, which joining never writes unquoted.
TEST(ListText, JoinedTextSplitsBack) {
    const Items kLists[] = {
        {u"a"},
        {u"", u"a"},
        {u"John Doe <jd@x.org>", u"x@y.org", u"\"quoted\""},
        {u" lead", u"trail ", u"\t", u",", u"\"\""},
    };
    for (const Items& List : kLists) EXPECT_EQ(SplitList(JoinList(List)), List) << JoinList(List).size();
}

}  // namespace
