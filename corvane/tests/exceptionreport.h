// Test support for the exception filter: reading reports out of log files and a fixture with a private log
// folder, a fixed time, process and thread, and no pending error information.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "comrt/runtime.h"
#include "corvane/ulexception.h"
#include "corvane/ulmodule.h"
#include "tracelog.h"

namespace exceptionreport {

// The second line of a report written under the fixed environment of the tests.
inline std::string TimeAndApplication() {
    return std::string("Process: 0x00000138, Thread: 0x000005dc, Date: 03/07/07, Time: 09:05:03, Application: ") +
           corvane::GetModuleFileName();
}

// The third line of a report of the test program; the file time varies.
inline std::string ModuleLinePattern() {
    return std::string("Module: ") + corvane::GetModuleFileName() +
           ", Product Version: " CORVANE_VERSION_TEXT ", File Version: " CORVANE_VERSION_TEXT
           R"(, File Time: \d{2}\.\d{2}\.\d{4}, \d{2}:\d{2})";
}

// "0x" and at least eight hexadecimal digits, as reports write addresses and parameters.
inline std::string Hex(std::uintptr_t nValue) {
    char szText[32];
    snprintf(szText, sizeof(szText), "0x%08lx", static_cast<unsigned long>(nValue));
    return szText;
}

// The lines of a log file, split at CR LF, each without the line prefix.
inline std::vector<std::string> ReadTextLines(const std::filesystem::path& Path, const std::string& sPrefixPattern) {
    std::ifstream File(Path, std::ios::binary);
    std::ostringstream Text;
    Text << File.rdbuf();
    const std::string sLog = Text.str();
    const std::regex Prefix(sPrefixPattern);
    std::vector<std::string> Lines;
    std::size_t iStart = 0;
    for (std::size_t iEnd; (iEnd = sLog.find("\r\n", iStart)) != std::string::npos; iStart = iEnd + 2)
        Lines.push_back(std::regex_replace(sLog.substr(iStart, iEnd - iStart), Prefix, "",
                                           std::regex_constants::format_first_only));
    return Lines;
}

// The reports titled "*** <sTitle>" among the lines: each from its title to the next title or the end.
inline std::vector<std::vector<std::string>> FindReports(const std::vector<std::string>& Lines,
                                                         const std::string& sTitle) {
    std::vector<std::vector<std::string>> Reports;
    bool bInside = false;
    for (const std::string& sLine : Lines) {
        if (sLine.starts_with("*** ")) {
            bInside = sLine == "*** " + sTitle;
            if (bInside) Reports.emplace_back();
        }
        if (bInside) Reports.back().push_back(sLine);
    }
    return Reports;
}

// The value after "Address: " in a "Code:" line.
inline std::uintptr_t AddressOf(const std::string& sCodeLine) {
    const std::size_t iAddress = sCodeLine.find("Address: ");
    return iAddress == std::string::npos ? 0 : std::stoull(sCodeLine.substr(iAddress + 9), nullptr, 16);
}

// The frame lines of a report: those after "** Call Stack" up to the next "** " line.
inline std::vector<std::string> FramesOf(const std::vector<std::string>& Report) {
    std::vector<std::string> Frames;
    auto it = std::find(Report.begin(), Report.end(), "** Call Stack");
    if (it == Report.end()) return Frames;
    for (++it; it != Report.end() && !it->starts_with("** "); ++it) Frames.push_back(*it);
    return Frames;
}

class ExceptionFilterTest : public tracelog::CTraceTest {
protected:
    void SetUp() override {
        tracelog::CTraceTest::SetUp();
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override {
        CExceptionFilter::Terminate();
        SetErrorInfo(0, nullptr);
        tracelog::CTraceTest::TearDown();
    }

    std::vector<std::string> Lines() const {
        return ReadTextLines(LogPath(), std::string("^") + tracelog::FIXED_PREFIX);
    }
    std::vector<std::vector<std::string>> Reports(const std::string& sTitle) const {
        return FindReports(Lines(), sTitle);
    }
};

}  // namespace exceptionreport
