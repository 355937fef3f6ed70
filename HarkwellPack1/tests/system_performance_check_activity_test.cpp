// The system performance check activity: thresholds, the event text, the record it exposes, and runs on
// the default daemon with short periods and a tick counter moved forward.
#include "SystemPerformanceCheckActivity.h"

#include <gtest/gtest.h>

#include "ActivityTestSupport.h"

namespace {

using CThresholds = CSystemPerformanceCheckActivity::CThresholds;

PERFORMANCE_INFORMATION Sample() {
    PERFORMANCE_INFORMATION Information{};
    Information.cb = sizeof Information;
    Information.PageSize = 4096;
    Information.CommitTotal = 256 * 10;  // 10 MB
    Information.HandleCount = 500;
    Information.ProcessCount = 60;
    Information.ThreadCount = 300;
    return Information;
}

}  // namespace

TEST(SystemPerformanceCheckActivity, ThresholdIsReachedAtOrAboveItsFigure) {
    struct Case {
        CThresholds Thresholds;
        bool bReached;
    } const Cases[] = {
        {{}, false},                   // all off
        {{0, 0, 0, 0, 60, 0}, true},   // equal
        {{0, 0, 0, 0, 59, 0}, true},   // below the figure
        {{0, 0, 0, 0, 61, 0}, false},  // above it
        {{10, 0, 0, 0, 0, 0}, true},   // whole megabytes of the commit charge
        {{11, 0, 0, 0, 0, 0}, false},
        {{0, 0, 0, 501, 61, 301}, false},  // none of several
        {{0, 0, 0, 501, 61, 300}, true},   // any one suffices
    };
    for (const Case& c : Cases)
        EXPECT_EQ(c.bReached, CSystemPerformanceCheckActivity::IsThresholdReached(Sample(), c.Thresholds))
            << c.Thresholds.nMaximalProcessCount;
}

TEST(SystemPerformanceCheckActivity, BodyListsEveryFigure) {
    PERFORMANCE_INFORMATION Information = Sample();
    Information.CommitLimit = 0xFFFFFFFF;  // pages times page size overflows 32 bits
    const std::u16string sBody = CSystemPerformanceCheckActivity::FormatBody(Information, u"12/09/26 10:00:00");
    EXPECT_EQ(0u, sBody.find(u"System Performance Information details:\r\n\tLocal Time: 12/09/26 10:00:00\r\n"
                             u"\tCommitTotal: 10.00 MB\r\n\tCommitLimit: 16,777,216.00 MB\r\n"));
    EXPECT_NE(std::u16string::npos, sBody.find(u"\tPageSize: 4,096\r\n\tHandleCount: 500\r\n\tProcessCount: 60\r\n"
                                               u"\tThreadCount: 300\r\n"));
}

TEST(SystemPerformanceCheckActivity, PropertiesAndTheRecordTheyExpose) {
    CActivityHarness<CSystemPerformanceCheckActivity> Harness;
    CSystemPerformanceCheckActivity* pActivity = Harness.Activity();
    CBstr sTitle;
    ASSERT_EQ(S_OK, pActivity->get_Title(&sTitle));
    EXPECT_EQ(u"System Performance Information Check Activity", sTitle.Text());
    EXPECT_EQ(E_INVALIDARG, pActivity->put_PollInterval(0));
    EXPECT_EQ(E_INVALIDARG, pActivity->put_MaximalThreadCount(-1));
    EXPECT_EQ(E_INVALIDARG, pActivity->put_MinimalEventInterval(-1));
    EXPECT_EQ(S_OK, pActivity->put_MinimalEventInterval(0));
    EXPECT_EQ(S_OK, pActivity->put_MaximalThreadCount(0));
    LONG nPollInterval = 0;
    ASSERT_EQ(S_OK, pActivity->get_PollInterval(&nPollInterval));
    EXPECT_EQ(20000, nPollInterval);

    VARIANT vInformation;
    VariantInit(&vInformation);
    ASSERT_EQ(S_OK, pActivity->get_PerformanceInformation(&vInformation));
    ASSERT_EQ(VT_ARRAY | VT_UI1, vInformation.vt);
    PERFORMANCE_INFORMATION Information{};
    void* pData = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(vInformation.parray, &pData));
    std::memcpy(&Information, pData, sizeof Information);
    SafeArrayUnaccessData(vInformation.parray);
    VariantClear(&vInformation);
    EXPECT_EQ(56u, Information.cb);
    EXPECT_GT(Information.ProcessCount, 0u);
    EXPECT_GE(Information.ThreadCount, Information.ProcessCount);
    EXPECT_GT(Information.PhysicalTotal, Information.PhysicalAvailable);
}

// The first check that finds a threshold reached raises an event; later ones inside the minimal event
// interval do not, and the first one after it does again.
TEST(SystemPerformanceCheckActivity, EventsAreSpacedByTheMinimalEventInterval) {
    CActivityHarness<CSystemPerformanceCheckActivity> Harness;
    CSystemPerformanceCheckActivity* pActivity = Harness.Activity();
    ASSERT_EQ(S_OK, pActivity->put_MaximalProcessCount(1));
    ASSERT_EQ(S_OK, pActivity->put_PollInterval(20));
    ASSERT_EQ(S_OK, pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return pActivity->GetCheckCount() >= 5; }));
    EXPECT_EQ(1u, Harness.Sink().Count());
    const auto Event = Harness.Sink().Events()[0];
    EXPECT_EQ(0u, Event.sSubject.find(u"System Performance Information on "));
    EXPECT_NE(std::u16string::npos, Event.sBody.find(u"\tProcessCount: "));

    comrt::SetTickCountOrigin(GetTickCount() + 900000);
    ASSERT_TRUE(Eventually([&] { return Harness.Sink().Count() == 2; }));
    ASSERT_EQ(S_OK, pActivity->put_MinimalEventInterval(0));
    const ULONG nChecks = pActivity->GetCheckCount();
    ASSERT_TRUE(Eventually([&] { return pActivity->GetCheckCount() >= nChecks + 3; }));
    ASSERT_EQ(S_OK, pActivity->Stop());
    EXPECT_GE(Harness.Sink().Count(), 4u);
    const std::size_t nCount = Harness.Sink().Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(nCount, Harness.Sink().Count());
}

TEST(SystemPerformanceCheckActivity, NoThresholdNoEvent) {
    CActivityHarness<CSystemPerformanceCheckActivity> Harness;
    CSystemPerformanceCheckActivity* pActivity = Harness.Activity();
    ASSERT_EQ(S_OK, pActivity->put_PollInterval(10));
    ASSERT_EQ(S_OK, pActivity->put_MinimalEventInterval(0));
    ASSERT_EQ(S_OK, pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return pActivity->GetCheckCount() >= 5; }));
    EXPECT_EQ(0u, Harness.Sink().Count());
}
