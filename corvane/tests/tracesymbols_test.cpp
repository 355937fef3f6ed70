// The module's start-up: the banner and the "Debug Symbols" switch read from a private registry store.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"
#include "tracelog.h"

namespace {

constexpr char16_t DEBUG_SYMBOLS_KEY[] = u"SOFTWARE\\Corvane\\Harkwell\\Debug Symbols";

class TraceStartTest : public tracelog::CTraceTest {
protected:
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        RegResetStore();
        setenv("CORVANE_REGISTRY_DIR", m_Folder.c_str(), 1);
        corvane::SetDebugSymbolsEnabled(true);
    }
    void TearDown() override {
        RegResetStore();
        unsetenv("CORVANE_REGISTRY_DIR");
        corvane::SetDebugSymbolsEnabled(true);
        tracelog::CTraceTest::TearDown();
    }

    static void SetSwitch(const std::u16string& sName, DWORD nValue) {
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, DEBUG_SYMBOLS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(
            RegSetValueExW(hKey, sName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nValue), sizeof(nValue)),
            ERROR_SUCCESS);
        RegCloseKey(hKey);
    }

    static std::u16string ModuleValueName() { return comrt::ToUtf16(corvane::GetModuleFileName()); }
};

TEST_F(TraceStartTest, WithoutKeySymbolsStayEnabled) {
    corvane::ReadDebugSymbolSettings();
    EXPECT_TRUE(corvane::AreDebugSymbolsEnabled());
    corvane::SetDebugSymbolsEnabled(false);
    corvane::ReadDebugSymbolSettings();
    EXPECT_FALSE(corvane::AreDebugSymbolsEnabled());
}

TEST_F(TraceStartTest, DefaultValueSwitchesEveryModule) {
    SetSwitch(u"Default", 0);
    corvane::ReadDebugSymbolSettings();
    EXPECT_FALSE(corvane::AreDebugSymbolsEnabled());
    SetSwitch(u"Default", 7);
    corvane::ReadDebugSymbolSettings();
    EXPECT_TRUE(corvane::AreDebugSymbolsEnabled());
}

TEST_F(TraceStartTest, ModuleValueComesBeforeDefault) {
    SetSwitch(u"Default", 1);
    SetSwitch(ModuleValueName(), 0);
    corvane::ReadDebugSymbolSettings();
    EXPECT_FALSE(corvane::AreDebugSymbolsEnabled());

    SetSwitch(u"Default", 0);
    SetSwitch(ModuleValueName(), 1);
    corvane::ReadDebugSymbolSettings();
    EXPECT_TRUE(corvane::AreDebugSymbolsEnabled());
}

TEST_F(TraceStartTest, ValueOfAnotherTypeIsIgnored) {
    SetSwitch(u"Default", 0);
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, DEBUG_SYMBOLS_KEY, 0, KEY_ALL_ACCESS, &hKey), ERROR_SUCCESS);
    const std::u16string sName = ModuleValueName();
    const char16_t szText[] = u"1";
    EXPECT_EQ(RegSetValueExW(hKey, sName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(szText), sizeof(szText)),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
    corvane::ReadDebugSymbolSettings();
    EXPECT_FALSE(corvane::AreDebugSymbolsEnabled());
}

TEST_F(TraceStartTest, StartWritesTheBannerAndReadsTheSwitch) {
    SetSwitch(u"Default", 0);
    corvane::StartModuleTrace();
    EXPECT_FALSE(corvane::AreDebugSymbolsEnabled());
    const std::vector<std::string> Lines = ReadLines();
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_TRUE(
        Lines[0].ends_with(": \"" + std::string(corvane::GetModulePath()) + "\" version is " CORVANE_VERSION_TEXT))
        << Lines[0];
}

}  // namespace
