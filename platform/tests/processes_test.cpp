// Starting programs (the command line's words, the wait, the exit code) and the autostart entries (two
// scopes, written whole, a folder that cannot be made).
#include "comrt/processes.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "TestEnvironment.h"
#include "comrt/autostart.h"
#include "comrt/text.h"

namespace {

std::u16string U(const std::string& s) {
    return comrt::ToUtf16(s);
}

TEST(Processes, TheCommandLinesWordsReachTheProgramAndItsExitCodeComesBack) {
    testing_support::CTemporaryDirectory Folder;
    const std::string sOut = (Folder.Path() / "out").string();
    const std::string sScript = (Folder.Path() / "arguments.sh").string();
    std::ofstream(sScript) << "printf '%s\\n' \"$@\" > " << sOut << "\nexit 3\n";
    struct Case {
        std::string sCommandLine;
        DWORD nExitCode;
        std::string sArguments;  // what the program received, one per line
    };
    const Case kCases[] = {
        {"/bin/sh " + sScript + " \"two words\" plain", 3, "two words\nplain\n"},
        {"\"/bin/sh\" -c \"kill -9 $$\"", 128 + 9, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.sCommandLine);
        std::filesystem::remove(sOut);
        PROCESS_INFORMATION Information{};
        ASSERT_TRUE(CreateProcessW(nullptr, U(c.sCommandLine).c_str(), &Information));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Information.hProcess, 10000));
        DWORD nExitCode = 0;
        ASSERT_TRUE(GetExitCodeProcess(Information.hProcess, &nExitCode));
        EXPECT_EQ(c.nExitCode, nExitCode);
        if (!c.sArguments.empty()) {
            EXPECT_EQ(c.sArguments, testing_support::ReadFile(sOut));
        }
        EXPECT_TRUE(CloseHandle(Information.hThread));
        EXPECT_TRUE(CloseHandle(Information.hProcess));
    }
    PROCESS_INFORMATION Information{};
    EXPECT_FALSE(CreateProcessW(nullptr, u"\"/nonexistent/program\" /regserver", &Information));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(CreateProcessW(nullptr, u"  ", &Information));
}

TEST(Autostart, EntriesOfBothScopesAreWrittenReadAndRemoved) {
    testing_support::CTemporaryDirectory Folder;
    setenv("XDG_CONFIG_HOME", (Folder.Path() / "user").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", ((Folder.Path() / "system").string() + ":/etc/xdg").c_str(), 1);
    EXPECT_EQ((Folder.Path() / "system" / "autostart").string(), GetAutostartFolder(AutostartScope::Everyone));
    for (AutostartScope Scope : {AutostartScope::User, AutostartScope::Everyone}) {
        std::u16string sCommand;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadAutostartEntry(Scope, u"{E1}", sCommand));
        ASSERT_EQ(ERROR_SUCCESS, WriteAutostartEntry(Scope, u"{E1}", u"Name\nwith a break", u"\"/a b/program\""));
        ASSERT_EQ(ERROR_SUCCESS, ReadAutostartEntry(Scope, u"{E1}", sCommand));
        EXPECT_EQ(u"\"/a b/program\"", sCommand);
        EXPECT_EQ(ERROR_SUCCESS, DeleteAutostartEntry(Scope, u"{E1}"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteAutostartEntry(Scope, u"{E1}"));
    }
    // The system folder's place is taken by a file: the write fails and leaves nothing behind.
    std::filesystem::remove_all(Folder.Path() / "system");
    std::ofstream(Folder.Path() / "system") << "a file\n";
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, WriteAutostartEntry(AutostartScope::Everyone, u"{E1}", u"N", u"p"));
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_CONFIG_DIRS");
}

}  // namespace
