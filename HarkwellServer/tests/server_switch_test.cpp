// Which switch decides the run: the three passes, the spellings of a switch, and the words no rule knows.
#include <gtest/gtest.h>

#include "ServerModule.h"

namespace {

ServerSwitch Find(std::vector<const char*> Arguments, std::vector<std::string>* pUnknown = nullptr) {
    Arguments.insert(Arguments.begin(), "HarkwellServer");
    return FindServerSwitch(static_cast<int>(Arguments.size()), const_cast<char**>(Arguments.data()), pUnknown);
}

}  // namespace

TEST(ServerSwitch, EachPassBeatsTheLaterOnesWhereverItsSwitchStands) {
    EXPECT_EQ(ServerSwitch::None, Find({}));
    EXPECT_EQ(ServerSwitch::Register, Find({"/Service", "/RegServer", "/Register"}));
    EXPECT_EQ(ServerSwitch::RegServer, Find({"/Service", "/RegServer"}));
    EXPECT_EQ(ServerSwitch::UnregServer, Find({"/Service", "/UnregServer", "/RegServer"}));
    EXPECT_EQ(ServerSwitch::RegServer, Find({"/RegServer", "/UnregServer"}));
    EXPECT_EQ(ServerSwitch::Service, Find({"/Service"}));
    // Within the first pass the first argument wins.
    EXPECT_EQ(ServerSwitch::Configuration, Find({"/Configuration", "/About"}));
    EXPECT_EQ(ServerSwitch::About, Find({"/RegServer", "/About"}));
}

TEST(ServerSwitch, SpellingsAndWhatIsNoSwitch) {
    EXPECT_EQ(ServerSwitch::RegServer, Find({"-regserver"}));
    EXPECT_EQ(ServerSwitch::RegServer, Find({"--REGSERVER"}));
    EXPECT_EQ(ServerSwitch::Service, Find({"/sErViCe=now"}));
    // Whole words only, and arguments without a switch sign are no switches.
    EXPECT_EQ(ServerSwitch::None, Find({"/RegServerX", "RegServer", "/Reg", "-", "/"}));
    EXPECT_EQ(ServerSwitch::Help, Find({"--help"}));
    EXPECT_EQ(ServerSwitch::RegServer, Find({"--help", "/RegServer"}));

    std::vector<std::string> Unknown;
    EXPECT_EQ(ServerSwitch::UnregServer, Find({"/RegSrever", "plain", "/UnregServer", "-x"}, &Unknown));
    EXPECT_EQ((std::vector<std::string>{"/RegSrever", "-x"}), Unknown);
}
