// Test helpers shared by every test program: a private registry store and log folder per test, and the
// paths of the build's programs and libraries.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "comrt/registry.h"

namespace testing_support {

// The whole text of a file; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& Path) {
    std::ifstream File(Path);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

// A fresh folder under the temporary directory, removed with everything in it when the object goes.
class CTemporaryDirectory {
public:
    CTemporaryDirectory() {
        std::string sTemplate = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
        if (mkdtemp(sTemplate.data()) != nullptr) m_Path = sTemplate;
    }
    ~CTemporaryDirectory() {
        std::error_code ec;
        if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ec);
    }
    CTemporaryDirectory(const CTemporaryDirectory&) = delete;
    CTemporaryDirectory& operator=(const CTemporaryDirectory&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
};

// Environment variables set (or removed, for no value) until Restore or the object's end, then as they were.
class CScopedEnvironment {
public:
    CScopedEnvironment() = default;
    CScopedEnvironment(const CScopedEnvironment&) = delete;
    CScopedEnvironment& operator=(const CScopedEnvironment&) = delete;
    ~CScopedEnvironment() { Restore(); }

    void Set(const std::string& sName, const std::optional<std::string>& Value) {
        const char* pszPrevious = getenv(sName.c_str());
        m_Previous.emplace_back(sName, pszPrevious ? std::optional<std::string>(pszPrevious) : std::nullopt);
        if (Value)
            setenv(sName.c_str(), Value->c_str(), 1);
        else
            unsetenv(sName.c_str());
    }
    // Latest first, so that a variable set twice ends as it was before the first.
    void Restore() {
        for (auto Entry = m_Previous.rbegin(); Entry != m_Previous.rend(); ++Entry) {
            if (Entry->second)
                setenv(Entry->first.c_str(), Entry->second->c_str(), 1);
            else
                unsetenv(Entry->first.c_str());
        }
        m_Previous.clear();
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_Previous;
};

// Points the registry store (and the trace's log folder) of this process and of the processes it starts
// at a private folder for the object's lifetime. The bus files that the server's registration switches
// write go below it as well, and no group is created, so that registering the server in a test leaves the
// machine's bus configuration alone. The running application's shared record gets a name of its own as
// well, so that a server started here runs beside the user's own server and beside other tests' servers.
class CTemporaryRegistry {
public:
    CTemporaryRegistry() {
        RegResetStore();
        Set("CORVANE_REGISTRY_DIR", m_Directory.Path().string());
        Set("CORVANE_HARKWELL_DBUS_SERVICES_DIR", (m_Directory.Path() / "dbus-services").string());
        Set("CORVANE_HARKWELL_DBUS_SYSTEM_DIR", (m_Directory.Path() / "dbus-system.d").string());
        Set("CORVANE_HARKWELL_GROUPADD", "true");
        Set("CORVANE_HARKWELL_RECORD",
            "Corvane.HarkwellServer.Application.test-" + m_Directory.Path().filename().string());
    }
    ~CTemporaryRegistry() {
        RegResetStore();
        m_Environment.Restore();
    }
    const std::filesystem::path& Path() const { return m_Directory.Path(); }

private:
    void Set(const char* pszName, const std::string& sValue) { m_Environment.Set(pszName, sValue); }

    CTemporaryDirectory m_Directory;
    CScopedEnvironment m_Environment;
};

// The build tree's folders of programs and of libraries.
inline std::filesystem::path BinaryDirectory() {
    const char* pszDirectory = getenv("CORVANE_TEST_BINARY_DIR");
    return pszDirectory ? std::filesystem::path(pszDirectory) : std::filesystem::current_path();
}
inline std::filesystem::path ProgramPath(const std::string& sName) {
    return BinaryDirectory() / "bin" / sName;
}
inline std::filesystem::path LibraryPath(const std::string& sName) {
    return BinaryDirectory() / "lib" / sName;
}

// Runs a program with arguments, its output captured; the exit code, or -1 when it could not run.
struct ProcessResult {
    int nExitCode = -1;
    std::string sOutput;
};
inline ProcessResult RunProgram(const std::vector<std::string>& arguments) {
    ProcessResult result;
    std::string sCommand;
    for (const std::string& sArgument : arguments) {
        sCommand += '\'';
        for (char c : sArgument) sCommand += (c == '\'') ? std::string("'\\''") : std::string(1, c);
        sCommand += "' ";
    }
    sCommand += "2>&1";
    FILE* pPipe = popen(sCommand.c_str(), "r");
    if (pPipe == nullptr) return result;
    char buffer[4096];
    std::size_t nRead;
    while ((nRead = fread(buffer, 1, sizeof buffer, pPipe)) > 0) result.sOutput.append(buffer, nRead);
    const int nStatus = pclose(pPipe);
    result.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return result;
}

}  // namespace testing_support
