// Reads a stored e-mail message back with a MIME parser that is none of ours, Python's email package: the
// test's lines print the fields it wants with out(name, value), one "name hex" line each, the value's UTF-8
// bytes in hex so that line breaks and non-ASCII text pass unchanged.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "TestEnvironment.h"

namespace testing_support {

// What runs before the test's lines: the message read into m under the default policy, and out().
inline constexpr char kPythonMessagePrelude[] = R"PY(
import email, email.policy, sys
with open(sys.argv[1], 'rb') as f:
    m = email.message_from_bytes(f.read(), policy=email.policy.default)
def out(name, value):
    print(name, (value if isinstance(value, bytes) else str(value).encode('utf-8')).hex())
)PY";

// The bytes of hex text, two digits a byte.
inline std::string FromHex(const std::string& sHex) {
    std::string sBytes;
    for (std::size_t i = 0; i + 1 < sHex.size(); i += 2)
        sBytes += static_cast<char>(std::stoi(sHex.substr(i, 2), nullptr, 16));
    return sBytes;
}

// Runs the prelude and the lines on the message data; the fields they printed, empty when the script did not
// run to its end. sOutput gets all it printed.
inline std::map<std::string, std::string> ParseMessageWithPython(const char* pszLines, const std::string& sData,
                                                                 std::string& sOutput) {
    const CTemporaryDirectory Folder;
    const std::filesystem::path File = Folder.Path() / "message.eml";
    std::ofstream(File, std::ios::binary) << sData;
    const ProcessResult Result =
        RunProgram({"python3", "-c", std::string(kPythonMessagePrelude) + pszLines, File.string()});
    sOutput = Result.sOutput;
    std::map<std::string, std::string> Fields;
    if (Result.nExitCode != 0) return Fields;
    std::istringstream Lines(Result.sOutput);
    for (std::string sLine; std::getline(Lines, sLine);) {
        const std::size_t nBlank = sLine.find(' ');
        if (nBlank != std::string::npos) Fields[sLine.substr(0, nBlank)] = FromHex(sLine.substr(nBlank + 1));
    }
    return Fields;
}

}  // namespace testing_support
