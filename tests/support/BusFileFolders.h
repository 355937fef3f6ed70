// Keeps the registration switches' bus files away from the machine: the activation and policy folders point
// into a temporary folder, and groupadd is a stand-in that records its arguments, for the object's lifetime
// (the previous values come back afterwards). The server program started by a test inherits them.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestEnvironment.h"

namespace testing_support {

class CBusFileFolders {
public:
    CBusFileFolders() {
        m_ActivationFolder = m_Folder.Path() / "services";
        m_PolicyFolder = m_Folder.Path() / "system.d";
        m_GroupaddLog = m_Folder.Path() / "groupadd.log";
        const std::filesystem::path Groupadd = m_Folder.Path() / "groupadd";
        std::ofstream(Groupadd) << "#!/bin/sh\necho \"$*\" >> '" << m_GroupaddLog.string() << "'\n";
        std::filesystem::permissions(Groupadd, std::filesystem::perms::owner_all);
        Set("CORVANE_HARKWELL_DBUS_SERVICES_DIR", m_ActivationFolder.string());
        Set("CORVANE_HARKWELL_DBUS_SYSTEM_DIR", m_PolicyFolder.string());
        Set("CORVANE_HARKWELL_GROUPADD", Groupadd.string());
    }
    CBusFileFolders(const CBusFileFolders&) = delete;
    CBusFileFolders& operator=(const CBusFileFolders&) = delete;

    const std::filesystem::path& ActivationFolder() const { return m_ActivationFolder; }
    const std::filesystem::path& PolicyFolder() const { return m_PolicyFolder; }
    std::filesystem::path ActivationFile() const { return m_ActivationFolder / "Corvane.HarkwellServer.service"; }
    std::filesystem::path PolicyFile() const { return m_PolicyFolder / "Corvane.HarkwellServer.conf"; }
    // One line per run of the groupadd stand-in: its arguments.
    const std::filesystem::path& GroupaddLog() const { return m_GroupaddLog; }

private:
    void Set(const std::string& sName, const std::string& sValue) { m_Environment.Set(sName, sValue); }

    CTemporaryDirectory m_Folder;
    std::filesystem::path m_ActivationFolder, m_PolicyFolder, m_GroupaddLog;
    CScopedEnvironment m_Environment;
};

}  // namespace testing_support
