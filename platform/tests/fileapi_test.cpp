// Directory listings, change notifications and number formats on real folders of the test's own.
#include "comrt/fileapi.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "TestEnvironment.h"
#include "comrt/nls.h"
#include "comrt/text.h"

namespace {

std::u16string Wide(const std::filesystem::path& Path) {
    return comrt::ToUtf16(Path.string());
}

// Every entry of a folder: name to (attributes, size).
std::map<std::u16string, std::pair<DWORD, std::uint64_t>> List(const std::filesystem::path& Folder) {
    std::map<std::u16string, std::pair<DWORD, std::uint64_t>> Entries;
    WIN32_FIND_DATAW Data;
    const HANDLE hFind = FindFirstFileW(Wide(Folder / "*.*").c_str(), &Data);
    if (hFind == INVALID_HANDLE_VALUE) return Entries;
    do {
        Entries[Data.cFileName] = {Data.dwFileAttributes,
                                   (static_cast<std::uint64_t>(Data.nFileSizeHigh) << 32) | Data.nFileSizeLow};
    } while (FindNextFileW(hFind, &Data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
    EXPECT_TRUE(FindClose(hFind));
    return Entries;
}

}  // namespace

TEST(FileApi, ListsEntriesWithTheirKindsAndSizes) {
    testing_support::CTemporaryDirectory Folder;
    std::ofstream(Folder.Path() / "file.txt") << "12345";
    std::filesystem::create_directory(Folder.Path() / "sub");
    std::filesystem::create_symlink("sub", Folder.Path() / "link");
    const int nFile = open((Folder.Path() / "sparse").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(0, ftruncate(nFile, off_t{5} << 30));
    close(nFile);
    const auto Entries = List(Folder.Path());
    ASSERT_EQ(6u, Entries.size());
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, Entries.at(u".").first);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, Entries.at(u"..").first);
    EXPECT_EQ((std::pair<DWORD, std::uint64_t>{FILE_ATTRIBUTE_NORMAL, 5}), Entries.at(u"file.txt"));
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, Entries.at(u"sub").first);
    EXPECT_EQ(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, Entries.at(u"link").first);
    EXPECT_EQ(std::uint64_t{5} << 30, Entries.at(u"sparse").second);
}

TEST(FileApi, RefusesWhatItCannotList) {
    testing_support::CTemporaryDirectory Folder;
    WIN32_FIND_DATAW Data;
    struct Case {
        std::filesystem::path Pattern;
        LONG nError;
    } const Cases[] = {
        {Folder.Path() / "missing" / "*.*", ERROR_PATH_NOT_FOUND},
        {Folder.Path() / "*.txt", ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : Cases) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(Wide(c.Pattern).c_str(), &Data));
        EXPECT_EQ(static_cast<DWORD>(c.nError), GetLastError()) << c.Pattern;
    }
    EXPECT_FALSE(FindClose(reinterpret_cast<HANDLE>(0x1234)));
    WCHAR szPath[MAX_PATH];
    EXPECT_TRUE(PathCombineW(szPath, u"/var/log/", u"*.*"));
    EXPECT_EQ(std::u16string(u"/var/log/*.*"), szPath);
    EXPECT_FALSE(PathCombineW(szPath, std::u16string(300, u'a').c_str(), u"*.*"));
}

TEST(FileApi, ChangeNotificationSignalsForItsFolderOnlyAndEndsWithIt) {
    testing_support::CTemporaryDirectory Root;
    const std::filesystem::path Folder = Root.Path() / "watched";
    std::filesystem::create_directories(Folder / "sub");
    const HANDLE hChange = FindFirstChangeNotificationW(Wide(Folder).c_str(), FALSE, 9);
    ASSERT_NE(INVALID_HANDLE_VALUE, hChange);
    const HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE Handles[] = {hEvent, hChange};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, Handles, FALSE, 50));
    std::ofstream(Folder / "sub" / "deep.txt") << "x";  // not watched
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, Handles, FALSE, 50));
    std::ofstream(Folder / "new.txt") << "x";
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, Handles, FALSE, 1000));
    EXPECT_TRUE(FindNextChangeNotification(hChange));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hChange, 50));
    SetEvent(hEvent);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, Handles, FALSE, 1000));
    std::filesystem::remove_all(Folder);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hChange, 1000));
    EXPECT_FALSE(FindNextChangeNotification(hChange));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_TRUE(FindCloseChangeNotification(hChange));
    EXPECT_FALSE(FindCloseChangeNotification(hChange));
    CloseHandle(hEvent);
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstChangeNotificationW(Wide(Folder).c_str(), FALSE, 9));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstChangeNotificationW(Wide(Root.Path()).c_str(), TRUE, 9));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
}

TEST(NumberFormat, FormatsAsTheRecordSays) {
    WCHAR szDecimal[] = u".", szThousand[] = u",";
    struct Case {
        const char16_t* pszValue;
        UINT nDigits, nLeadingZero, nGrouping, nNegativeOrder;
        const char16_t* pszExpected;  // null: refused
    } const Cases[] = {
        {u"2097152", 0, 1, 3, 1, u"2,097,152"},
        {u"999", 0, 1, 3, 1, u"999"},
        {u"-1234.565", 2, 1, 3, 0, u"(1,234.57)"},
        {u"-1234.565", 2, 1, 3, 1, u"-1,234.57"},
        {u"-1234.565", 2, 1, 3, 2, u"- 1,234.57"},
        {u"-1234.565", 2, 1, 3, 3, u"1,234.57-"},
        {u"-1234.565", 2, 1, 3, 4, u"1,234.57 -"},
        {u"0.5", 2, 1, 3, 1, u"0.50"},
        {u"0.5", 2, 0, 3, 1, u".50"},
        {u"9.995", 2, 1, 3, 1, u"10.00"},
        {u"-0.001", 2, 1, 3, 1, u"0.00"},
        {u"12345678", 0, 1, 32, 1, u"1,23,45,678"},
        {u"12345678", 0, 1, 0, 1, u"12345678"},
        {u"1e5", 0, 1, 3, 1, nullptr},
        {u"", 0, 1, 3, 1, nullptr},
        {u"-", 0, 1, 3, 1, nullptr},
        {u"1.2.3", 0, 1, 3, 1, nullptr},
    };
    for (const Case& c : Cases) {
        const NUMBERFMTW Format{c.nDigits, c.nLeadingZero, c.nGrouping, szDecimal, szThousand, c.nNegativeOrder};
        WCHAR szNumber[64];
        const int nLength = GetNumberFormatW(LOCALE_USER_DEFAULT, 0, c.pszValue, &Format, szNumber, 64);
        if (c.pszExpected == nullptr) {
            EXPECT_EQ(0, nLength) << comrt::ToUtf8(c.pszValue);
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
            continue;
        }
        EXPECT_EQ(std::u16string(c.pszExpected), szNumber) << comrt::ToUtf8(c.pszValue);
        EXPECT_EQ(static_cast<int>(std::u16string(c.pszExpected).size() + 1), nLength);
    }
    const NUMBERFMTW Format{0, 1, 3, szDecimal, szThousand, 1};
    WCHAR szSmall[4];
    EXPECT_EQ(10, GetNumberFormatW(LOCALE_USER_DEFAULT, 0, u"2097152", &Format, nullptr, 0));
    EXPECT_EQ(0, GetNumberFormatW(LOCALE_USER_DEFAULT, 0, u"2097152", &Format, szSmall, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    WCHAR szSetting[8];
    EXPECT_EQ(2, GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_INEGNUMBER, szSetting, 8));
    EXPECT_GT(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, szSetting, 8), 1);
    EXPECT_EQ(0, GetLocaleInfoW(LOCALE_USER_DEFAULT, 0x7777, szSetting, 8));
}
