// The authentication method list: names kept in order, duplicates dropped ignoring case, list text both ways.
#include "SmtpSettings.h"

#include <gtest/gtest.h>

namespace {

using Names = std::vector<std::u16string>;

TEST(AuthMethodList, DropsDuplicatesIgnoringCase) {
    CAuthMethodList List;
    EXPECT_TRUE(List.IsEmpty());
    List.SetAsString(u"login, LOGIN, cram-md5");
    EXPECT_EQ(List.GetNames(), (Names{u"login", u"cram-md5"}));
    EXPECT_EQ(List.GetAsString(), u"login,cram-md5");
    List.SetAsString(u"CRAM-MD5,login,Cram-Md5");
    EXPECT_EQ(List.GetNames(), (Names{u"CRAM-MD5", u"login"}));
}

TEST(AuthMethodList, SettingReplacesTheList) {
    CAuthMethodList List;
    List.SetAsString(u"login,cram-md5");
    EXPECT_EQ(List.GetAsString(), u"login,cram-md5");
    List.SetAsString(u"cram-md5");
    EXPECT_EQ(List.GetNames(), Names{u"cram-md5"});
    List.SetAsString(u"");
    EXPECT_TRUE(List.IsEmpty());
    EXPECT_EQ(List.GetAsString(), u"");
    // Names are not validated; one with a blank reads back quoted.
    List.SetAsString(u"\"x y\",other");
    EXPECT_EQ(List.GetAsString(), u"\"x y\",other");
}

}  // namespace
