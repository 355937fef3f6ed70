// The file system check activity: the comparison of listings, the size text, and whole runs on real files in
// a folder of the test's own.
#include "FileSystemCheckActivity.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ActivityTestSupport.h"
#include "comrt/text.h"

namespace {

using CFileDataMap = CFileSystemCheckActivity::CFileDataMap;

CFileDataMap Listing(std::initializer_list<std::pair<const char16_t*, std::uint64_t>> Files) {
    CFileDataMap Result;
    for (const auto& [pszName, nSize] : Files)
        Result.emplace(pszName, CFileSystemCheckActivity::CFileData{pszName, nSize});
    return Result;
}

void WriteFile(const std::filesystem::path& Path, std::size_t nSize) {
    std::ofstream File(Path, std::ios::binary | std::ios::trunc);
    File << std::string(nSize, 'x');
}

// An activity watching a folder of its own for "*.txt"-like names, with the given minimal interval.
class FileSystemCheckActivityRun : public ::testing::Test {
protected:
    void SetUp() override {
        m_Folder = m_Root.Path() / "watched";
        std::filesystem::create_directory(m_Folder);
        Configure(m_Folder, 0);
    }
    void Configure(const std::filesystem::path& Folder, LONG nMinimalPollInterval) {
        CFileSystemCheckActivity* pActivity = m_Harness.Activity();
        ASSERT_EQ(S_OK, pActivity->put_DirectoryPath(CBstr(comrt::ToUtf16(Folder.string()))));
        ASSERT_EQ(S_OK, pActivity->put_FileNameExpression(CBstr(u"\\.txt$")));
        ASSERT_EQ(S_OK, pActivity->put_MinimalPollInterval(nMinimalPollInterval));
    }
    // Starts the watch and waits for its first scan.
    void StartWatching() {
        const ULONG nScans = Activity()->GetScanCount();
        ASSERT_EQ(S_OK, Activity()->Start());
        ASSERT_TRUE(Eventually([&] { return Activity()->GetScanCount() > nScans; }));
    }
    CFileSystemCheckActivity* Activity() const { return m_Harness.Activity(); }
    CEventSink& Sink() const { return m_Harness.Sink(); }

    testing_support::CTemporaryDirectory m_Root;
    std::filesystem::path m_Folder;
    CActivityHarness<CFileSystemCheckActivity> m_Harness;
};

}  // namespace

TEST(FileSystemCheckActivity, ListingsCompareBySizeStep) {
    struct Case {
        std::uint64_t nOld, nNew, nGranularity;
        bool bUpdated;
    } const Cases[] = {
        {1000, 2000, 65536, false},   // inside one step
        {65000, 66000, 65536, true},  // across a step
        {66000, 65000, 65536, true},  // shrinking across it
        {5, 6, 0, true},              // granularity 0: every size change
        {5, 5, 0, false},
        {5, 6, 1, true},
    };
    for (const Case& c : Cases) {
        const auto Changes = CFileSystemCheckActivity::Compare(Listing({{u"a.txt", c.nOld}}),
                                                               Listing({{u"a.txt", c.nNew}}), c.nGranularity);
        EXPECT_EQ(c.bUpdated, Changes.UpdatedFileDataMap.size() == 1) << c.nOld << " -> " << c.nNew;
        EXPECT_TRUE(Changes.DeletedFileNameList.empty());
    }
    // A rename is the old name deleted and the new one updated; names compare with case.
    const auto Changes = CFileSystemCheckActivity::Compare(Listing({{u"a.txt", 1}, {u"b.txt", 1}}),
                                                           Listing({{u"A.txt", 1}, {u"b.txt", 1}}), 65536);
    EXPECT_EQ(std::vector<std::u16string>{u"a.txt"}, Changes.DeletedFileNameList);
    ASSERT_EQ(1u, Changes.UpdatedFileDataMap.size());
    EXPECT_EQ(u"A.txt", Changes.UpdatedFileDataMap.begin()->second.sFileName);
}

TEST(FileSystemCheckActivity, SizeTextIsBytesUpToAGibibyteThenKibibytes) {
    EXPECT_EQ(u"0", CFileSystemCheckActivity::FormatFileSize(0));
    EXPECT_EQ(u"1,073,741,823", CFileSystemCheckActivity::FormatFileSize(0x3FFFFFFF));
    EXPECT_EQ(u"1,048,576 K", CFileSystemCheckActivity::FormatFileSize(0x40000000));
    EXPECT_EQ(u"2,097,152 K", CFileSystemCheckActivity::FormatFileSize(std::uint64_t{2} << 30));
}

TEST(FileSystemCheckActivity, PropertiesRefuseBadValuesAndStartNeedsBoth) {
    CActivityHarness<CFileSystemCheckActivity> Harness;
    CFileSystemCheckActivity* pActivity = Harness.Activity();
    CBstr sTitle;
    ASSERT_EQ(S_OK, pActivity->get_Title(&sTitle));
    EXPECT_EQ(u"File System Check Activity", sTitle.Text());
    EXPECT_EQ(S_FALSE, pActivity->Start());
    EXPECT_EQ(E_INVALIDARG, pActivity->put_FileSizeGranularity(-1));
    EXPECT_EQ(E_INVALIDARG, pActivity->put_MinimalPollInterval(-1));
    EXPECT_EQ(S_OK, pActivity->put_FileSizeGranularity(0));
    ASSERT_EQ(S_OK, pActivity->put_FileNameExpression(CBstr(u"^log")));
    EXPECT_EQ(E_INVALIDARG, pActivity->put_FileNameExpression(CBstr(u"(unbalanced")));
    CBstr sExpression;
    ASSERT_EQ(S_OK, pActivity->get_FileNameExpression(&sExpression));
    EXPECT_EQ(u"^log", sExpression.Text());
    EXPECT_EQ(S_FALSE, pActivity->Start());
    ASSERT_EQ(S_OK, pActivity->put_DirectoryPath(CBstr(u"/var/log")));
    CBstr sFullTitle;
    ASSERT_EQ(S_OK, pActivity->get_Title(&sFullTitle));
    EXPECT_EQ(u"File System Check Activity for ^log in /var/log", sFullTitle.Text());
}

// The first scan reports what is there; then each change is one event, with its size; files that do not
// match and subfolders are never reported.
TEST_F(FileSystemCheckActivityRun, ReportsNewChangedAndDeletedFiles) {
    WriteFile(m_Folder / "old.txt", 10);
    WriteFile(m_Folder / "other.dat", 10);
    std::filesystem::create_directory(m_Folder / "sub.txt");
    StartWatching();
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 1; }));
    EXPECT_NE(std::u16string::npos,
              Sink().Events()[0].sBody.find(u"\r\nUpdated File:\r\n\tName: old.txt\r\n\tSize: 10\r\n"));

    // A rewrite may be seen half done (truncated, then written): the last event tells the final size.
    const auto HasEvent = [&](const std::u16string& sPart) {
        for (const auto& Event : Sink().Events())
            if (Event.sBody.find(sPart) != std::u16string::npos) return true;
        return false;
    };
    ASSERT_EQ(S_OK, Activity()->put_FileSizeGranularity(0));
    WriteFile(m_Folder / "old.txt", 20);
    ASSERT_TRUE(Eventually([&] { return HasEvent(u"Name: old.txt\r\n\tSize: 20\r\n"); }));
    std::filesystem::remove(m_Folder / "old.txt");
    ASSERT_TRUE(Eventually([&] { return HasEvent(u"\r\nDeleted File:\r\n\tName: old.txt\r\n"); }));
    const auto Events = Sink().Events();
    const std::u16string sFolder = comrt::ToUtf16(m_Folder.string());
    EXPECT_EQ(0u, Events.back().sSubject.find(u"File System Check on "));
    EXPECT_NE(std::u16string::npos, Events.back().sSubject.find(u" in " + sFolder));
    EXPECT_NE(std::u16string::npos, Events.back().sBody.find(u"\tDirectory Path: " + sFolder + u"\r\n"));
    for (const auto& Event : Events) {
        EXPECT_EQ(std::u16string::npos, Event.sBody.find(u"other.dat"));
        EXPECT_EQ(std::u16string::npos, Event.sBody.find(u"sub.txt"));
    }
}

// A burst of changes inside the minimal interval is one scan: ten files at once are one event naming all
// ten, and a file created and deleted inside the wait is never reported.
TEST_F(FileSystemCheckActivityRun, BurstInsideTheMinimalIntervalIsOneEvent) {
    Configure(m_Folder, 400);
    StartWatching();
    for (int i = 0; i < 10; ++i) WriteFile(m_Folder / ("f" + std::to_string(i) + ".txt"), 1);
    WriteFile(m_Folder / "brief.txt", 1);
    std::filesystem::remove(m_Folder / "brief.txt");
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 1; }));
    const ULONG nScans = Activity()->GetScanCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(nScans, Activity()->GetScanCount());
    const auto Events = Sink().Events();
    ASSERT_EQ(1u, Events.size());
    for (int i = 0; i < 10; ++i)
        EXPECT_NE(std::u16string::npos,
                  Events[0].sBody.find(u"Name: f" + comrt::ToUtf16(std::to_string(i)) + u".txt\r\n"));
    EXPECT_EQ(std::u16string::npos, Events[0].sBody.find(u"brief.txt"));
}

TEST_F(FileSystemCheckActivityRun, GrowthIsReportedOnlyAcrossAGranularityStep) {
    WriteFile(m_Folder / "grow.txt", 1000);
    StartWatching();
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 1; }));
    const ULONG nScans = Activity()->GetScanCount();
    WriteFile(m_Folder / "grow.txt", 2000);
    ASSERT_TRUE(Eventually([&] { return Activity()->GetScanCount() > nScans; }));
    WriteFile(m_Folder / "grow.txt", 66000);
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 2; }));
    EXPECT_NE(std::u16string::npos, Sink().Events()[1].sBody.find(u"Size: 66,000\r\n"));
}

TEST_F(FileSystemCheckActivityRun, SparseFileOfTwoGibibytesReadsInKibibytes) {
    StartWatching();
    const int nFile = open((m_Folder / "big.txt").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(nFile, 0);
    ASSERT_EQ(0, ftruncate(nFile, off_t{2} << 30));
    close(nFile);
    ASSERT_TRUE(Eventually([&] { return Sink().Count() >= 1; }));
    EXPECT_NE(std::u16string::npos, Sink().Events().back().sBody.find(u"Name: big.txt\r\n\tSize: 2,097,152 K\r\n"));
}

// The folder removed while watched: its files are reported deleted once; once it is back (and when it was not
// there at the start), the watch goes on by itself.
TEST_F(FileSystemCheckActivityRun, FolderRemovedAndRestoredIsWatchedAgain) {
    WriteFile(m_Folder / "kept.txt", 1);
    StartWatching();
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 1; }));
    std::filesystem::remove_all(m_Folder);
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 2; }));
    EXPECT_NE(std::u16string::npos, Sink().Events()[1].sBody.find(u"Deleted File:\r\n\tName: kept.txt\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(2u, Sink().Count());
    std::filesystem::create_directory(m_Folder);
    WriteFile(m_Folder / "new.txt", 1);
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 3; }));
    EXPECT_NE(std::u16string::npos, Sink().Events()[2].sBody.find(u"Name: new.txt\r\n"));
    EXPECT_EQ(1u, CountOccurrences(ReadLog(), "cannot be watched"));
}

TEST_F(FileSystemCheckActivityRun, MovesToANewFolderWhileRunning) {
    StartWatching();
    const std::filesystem::path Other = m_Root.Path() / "other";
    std::filesystem::create_directory(Other);
    WriteFile(Other / "there.txt", 1);
    ASSERT_EQ(S_OK, Activity()->put_DirectoryPath(CBstr(comrt::ToUtf16(Other.string()))));
    ASSERT_TRUE(Eventually([&] { return Sink().Count() == 1; }));
    EXPECT_NE(std::u16string::npos, Sink().Events()[0].sBody.find(u"Name: there.txt\r\n"));
}
