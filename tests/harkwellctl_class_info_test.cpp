// harkwellctl learns a plug-in object's properties from the object itself (its class information over the
// bus), not from the plug-in's library: with the library registered under a path only the server resolves
// (a relative one, from the server's working folder), the commands still find, read, check and write the
// plug-in's properties.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CtlServerTest.h"
#include "Pack1Ids.h"
#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/ulregistry.h"

using testing_support::CTemporaryDirectory;
using testing_support::LibraryPath;

namespace {

constexpr char kPingProgId[] = "CPingActivity.CPingActivity.1";
constexpr char kSmtpProgId[] = "CSmtpNotification.CSmtpNotification.1";
constexpr const char16_t* kRelativeLibrary = u"plugins/HarkwellPack1.so";

class HarkwellctlClassInfo : public testing_support::CCtlServerTest {};

bool Contains(const std::string& sText, const std::string& sPart) {
    return sText.find(sPart) != std::string::npos;
}

}  // namespace

TEST_F(HarkwellctlClassInfo, APluginWhoseLibraryOnlyTheServerLoadsIsDrivenThroughItsObjects) {
    CTemporaryDirectory ServerFolder;
    std::filesystem::create_directory(ServerFolder.Path() / "plugins");
    std::filesystem::create_symlink(LibraryPath("HarkwellPack1.so"), ServerFolder.Path() / kRelativeLibrary);
    for (const CLSID& Clsid : {testing_support::kPingActivity, testing_support::kSmtpNotification}) {
        OLECHAR szClsid[40];
        StringFromGUID2(Clsid, szClsid, 40);
        CRegKey Key;
        ASSERT_EQ(ERROR_SUCCESS,
                  Key.Open(HKEY_CLASSES_ROOT, u"CLSID\\" + std::u16string(szClsid) + u"\\InprocServer32"));
        ASSERT_EQ(ERROR_SUCCESS, Key.SetStringValue(u"", kRelativeLibrary));
    }
    // The server starts in its folder and keeps it; harkwellctl runs where the path names nothing.
    const std::filesystem::path Previous = std::filesystem::current_path();
    std::filesystem::current_path(ServerFolder.Path());
    StartServer();
    std::filesystem::current_path(Previous);
    ASSERT_FALSE(std::filesystem::exists(kRelativeLibrary));

    auto Result = Ctl({"create", "--activity", kPingProgId, "--set", "Host=127.0.0.1", "--set", "Interval=1000",
                       "--notification", kSmtpProgId, "--set", "ServerHost=127.0.0.1", "--set", "ServerPort=1", "--set",
                       "ToRecipients=ops@localhost", "--set", "Security=0"});
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_TRUE(Contains(Result.sOutput, "Created scenario 0: Ping Remote Host 127.0.0.1")) << Result.sOutput;

    Result = Ctl({"set", "0", "activity", "Timeout=250", "RetryInterval=2000"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    Result = Ctl({"show", "0"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    for (const char* pszLine :
         {"    Host = 127.0.0.1\n", "    Interval = 1000\n", "    Timeout = 250\n", "    RetryInterval = 2000\n",
          "    ToRecipients = ops@localhost\n", "    ServerPort = 1\n", "    Security = 0\n"})
        EXPECT_TRUE(Contains(Result.sOutput, pszLine)) << pszLine << " in\n" << Result.sOutput;

    // The properties' types come from the object as well: text that is no number is refused here, before
    // anything is assigned, and so is a name the object lacks.
    Result = Ctl({"set", "0", "activity", "Interval=500", "Timeout=soon"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_TRUE(Contains(Result.sOutput, "\"soon\" is no value for Timeout (an integer)")) << Result.sOutput;
    Result = Ctl({"set", "0", "notification:0", "VerifyServerCertificate=maybe"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_TRUE(Contains(Result.sOutput, "(true or false)")) << Result.sOutput;
    Result = Ctl({"set", "0", "activity", "Colour=blue"});
    EXPECT_EQ(1, Result.nExitCode) << Result.sOutput;
    EXPECT_TRUE(Contains(Result.sOutput, "the object has no property \"Colour\"")) << Result.sOutput;
    Result = Ctl({"show", "0"});
    EXPECT_TRUE(Contains(Result.sOutput, "    Interval = 1000\n")) << Result.sOutput;
}
