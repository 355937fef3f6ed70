// The category scan over HKEY_CLASSES_ROOT\CLSID: which keys count, in which order, resumption, and what
// happens without any class registrations.
#include <gtest/gtest.h>

#include <vector>

#include "TestEnvironment.h"
#include "corvane/ulcategories.h"
#include "corvane/ulguard.h"
#include "corvane/ulregister.h"
#include "corvane/ulregistry.h"

namespace {

constexpr CLSID kFirst = MakeGuid("{11111111-0000-0000-0000-000000000001}");
constexpr CLSID kSecond = MakeGuid("{22222222-0000-0000-0000-000000000002}");
constexpr CLSID kThird = MakeGuid("{33333333-0000-0000-0000-000000000003}");
constexpr CLSID kNotification = MakeGuid("{44444444-0000-0000-0000-000000000004}");
// Two categories, as the server's activities and notifications are.
constexpr CATID kActivities = MakeGuid("{0D143C68-02B2-4f47-898B-CF1312E4E501}");
constexpr CATID kNotifications = MakeGuid("{33065B4E-FCD1-4dba-8451-FD4542C19C03}");

void CreateKey(const std::u16string& sPath) {
    CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_CLASSES_ROOT, sPath));
}

std::u16string ImplementedPath(REFCLSID clsid, REFGUID catid) {
    return u"CLSID\\" + corvane::GuidText(clsid) + u"\\Implemented Categories\\" + corvane::GuidText(catid);
}

std::vector<CLSID> All(CCategoryClassEnumerator& enumerator) {
    std::vector<CLSID> classes;
    CLSID clsid;
    while (enumerator.Next(clsid)) classes.push_back(clsid);
    return classes;
}

}  // namespace

TEST(CategoryClassEnumerator, YieldsMatchingClassesInRegistrationOrder) {
    testing_support::CTemporaryRegistry registry;
    // Registration order, not GUID order, decides: the third class is registered first.
    CreateKey(ImplementedPath(kThird, kActivities));
    CreateKey(u"CLSID\\" + corvane::GuidText(kSecond) + u"\\InprocServer32");  // no categories at all
    CreateKey(ImplementedPath(kNotification, kNotifications));
    CreateKey(ImplementedPath(kFirst, kActivities));
    // A key that is not a class identifier but claims the category is skipped, not yielded as garbage.
    CreateKey(u"CLSID\\NotAClass\\Implemented Categories\\" + corvane::GuidText(kActivities));
    // A key whose name does not fit the 64-character name buffer is skipped.
    CreateKey(u"CLSID\\" + std::u16string(80, u'x') + u"\\Implemented Categories\\" + corvane::GuidText(kActivities));
    // Category keys written in lower case (as some registration scripts do) still match.
    std::u16string sLower = corvane::GuidText(kActivities);
    for (char16_t& c : sLower) c = (c >= u'A' && c <= u'F') ? static_cast<char16_t>(c + 32) : c;
    CreateKey(u"CLSID\\" + corvane::GuidText(kSecond) + u"\\Implemented Categories\\" + sLower);

    CCategoryClassEnumerator activities(kActivities);
    EXPECT_EQ((std::vector<CLSID>{kThird, kSecond, kFirst}), All(activities));
    CCategoryClassEnumerator notifications(kNotifications);
    EXPECT_EQ((std::vector<CLSID>{kNotification}), All(notifications));
}

TEST(CategoryClassEnumerator, ResumesWhereItStoppedAndSeesLaterRegistrations) {
    testing_support::CTemporaryRegistry registry;
    CreateKey(ImplementedPath(kFirst, kActivities));
    CreateKey(ImplementedPath(kSecond, kActivities));
    CCategoryClassEnumerator enumerator(kActivities);
    CLSID clsid{};
    ASSERT_TRUE(enumerator.Next(clsid));
    EXPECT_EQ(kFirst, clsid);
    // A class registered while the scan is under way appears later in enumeration order.
    CreateKey(ImplementedPath(kThird, kActivities));
    ASSERT_TRUE(enumerator.Next(clsid));
    EXPECT_EQ(kSecond, clsid);
    ASSERT_TRUE(enumerator.Next(clsid));
    EXPECT_EQ(kThird, clsid);
    EXPECT_FALSE(enumerator.Next(clsid));
    EXPECT_FALSE(enumerator.Next(clsid));
    enumerator.Reset();
    ASSERT_TRUE(enumerator.Next(clsid));
    EXPECT_EQ(kFirst, clsid);
}

TEST(CategoryClassEnumerator, MissingClassesKeyIsRaisedAsItsResult) {
    testing_support::CTemporaryRegistry registry;
    try {
        CCategoryClassEnumerator enumerator(kActivities);
        FAIL() << "no exception";
    } catch (const corvane::CHResultException& e) {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), e.GetResult());
    }
}
