// Test support for the trace: a private log folder per test and a fixed time, process and thread, so that
// tests can compare whole lines of the log file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"

namespace tracelog {

// 7 March 2007, 09:05:03, process 312, thread 1500.
inline void FixedLocalTime(std::tm* pTime) noexcept {
    *pTime = std::tm{};
    pTime->tm_year = 2007 - 1900;
    pTime->tm_mon = 2;
    pTime->tm_mday = 7;
    pTime->tm_hour = 9;
    pTime->tm_min = 5;
    pTime->tm_sec = 3;
}
inline DWORD FixedProcess() noexcept {
    return 312;
}
inline DWORD FixedThread() noexcept {
    return 1500;
}
inline constexpr corvane::TraceEnvironment FIXED_ENVIRONMENT{&FixedLocalTime, &FixedProcess, &FixedThread};
// What every line written under FIXED_ENVIRONMENT begins with.
inline constexpr char FIXED_PREFIX[] = "2007-03-07 09:05:03\t0312\t1500\t";

class CTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string sTemplate = (std::filesystem::temp_directory_path() / "corvane-trace-XXXXXX").string();
        ASSERT_NE(mkdtemp(sTemplate.data()), nullptr);
        m_Folder = sTemplate;
        setenv("CORVANE_LOG_DIR", m_Folder.c_str(), 1);
        corvane::ResetTraceLog();
        corvane::SetTraceEnvironment(&FIXED_ENVIRONMENT);
    }
    void TearDown() override {
        corvane::SetTraceEnvironment(nullptr);
        corvane::ResetTraceLog();
        unsetenv("CORVANE_LOG_DIR");
        std::error_code ec;
        std::filesystem::remove_all(m_Folder, ec);
    }

    std::filesystem::path LogPath() const { return m_Folder / (std::string(corvane::GetModuleFileName()) + ".log"); }

    // The log file's bytes; empty when there is no file.
    std::string ReadLog() const {
        std::ifstream File(LogPath(), std::ios::binary);
        std::ostringstream Text;
        Text << File.rdbuf();
        return Text.str();
    }

    // The log's lines, split at CR LF (without it); a last line without CR LF is kept as it is.
    std::vector<std::string> ReadLines() const {
        const std::string sLog = ReadLog();
        std::vector<std::string> Lines;
        std::size_t iStart = 0;
        for (std::size_t iEnd; (iEnd = sLog.find("\r\n", iStart)) != std::string::npos; iStart = iEnd + 2)
            Lines.push_back(sLog.substr(iStart, iEnd - iStart));
        if (iStart < sLog.size()) Lines.push_back(sLog.substr(iStart));
        return Lines;
    }

    std::filesystem::path m_Folder;
};

}  // namespace tracelog
