// The log file calls: folders made on the way, appending, and telling a deleted or replaced file.
#include "comrt/logfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TestEnvironment.h"

namespace {

using testing_support::CTemporaryDirectory;

std::string Text(const std::filesystem::path& Path) {
    std::ifstream Stream(Path);
    return std::string(std::istreambuf_iterator<char>(Stream), {});
}

TEST(LogFile, FoldersAreMadeWithTheirParentsAndTheirMode) {
    CTemporaryDirectory Folder;
    std::ofstream(Folder.Path() / "file") << "x";
    const struct {
        std::string sFolder;
        bool bMade;
    } Table[] = {
        {(Folder.Path() / "a/b/c").string(), true},
        {(Folder.Path() / "a/b/c").string(), true},  // already there
        {(Folder.Path() / "d/").string(), true},
        {(Folder.Path() / "file").string(), false},  // a file is in the way
        {(Folder.Path() / "file/e").string(), false},
        {"", false},
        {std::string(comrt::MAX_LOG_PATH, 'a'), false},
    };
    for (const auto& Case : Table)
        EXPECT_EQ(Case.bMade, comrt::MakeFolders(Case.sFolder.c_str(), 0700)) << Case.sFolder;
    struct stat Status {};
    ASSERT_EQ(0, stat((Folder.Path() / "a/b").c_str(), &Status));
    EXPECT_EQ(0700u, Status.st_mode & 0777);
}

TEST(LogFile, AFolderMayBeWrittenWhenItIsOrCanBeMade) {
    CTemporaryDirectory Folder;
    EXPECT_TRUE(comrt::MayWriteFolder(Folder.Path().c_str(), 0755));
    EXPECT_TRUE(comrt::MayWriteFolder((Folder.Path() / "new").c_str(), 0755));
    EXPECT_TRUE(std::filesystem::is_directory(Folder.Path() / "new"));
    EXPECT_FALSE(comrt::MayWriteFolder((Folder.Path() / "missing/new").c_str(), 0755));
    EXPECT_FALSE(comrt::MayWriteFolder("", 0755));
}

TEST(LogFile, LinesAppendAndADeletedOrReplacedFileIsToldApart) {
    CTemporaryDirectory Folder;
    const std::filesystem::path Path = Folder.Path() / "module.log";
    std::ofstream(Path) << "before\n";
    const int nFile = comrt::OpenLogFile(Path.c_str());
    ASSERT_NE(comrt::INVALID_LOG_FILE, nFile);
    comrt::WriteLogFile(nFile, "one\n", 4);
    comrt::WriteLogFile(nFile, "two\n", 4);
    EXPECT_EQ("before\none\ntwo\n", Text(Path));
    EXPECT_TRUE(comrt::IsLogFileAtPath(nFile, Path.c_str()));

    std::filesystem::rename(Path, Folder.Path() / "old.log");
    std::ofstream(Path) << "new\n";
    EXPECT_FALSE(comrt::IsLogFileAtPath(nFile, Path.c_str()));
    std::filesystem::remove(Path);
    EXPECT_FALSE(comrt::IsLogFileAtPath(nFile, Path.c_str()));
    comrt::CloseLogFile(nFile);

    EXPECT_EQ(comrt::INVALID_LOG_FILE, comrt::OpenLogFile((Folder.Path() / "missing/module.log").c_str()));
    EXPECT_EQ(comrt::INVALID_LOG_FILE, comrt::OpenLogFile(""));
}

}  // namespace
