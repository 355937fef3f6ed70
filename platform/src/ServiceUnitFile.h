// The unit file of a service (runtime-internal): its name and place, its text, and its reading and
// writing. The text functions are pure, so that the exact content can be checked without a manager.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "comrt/types.h"

namespace comrt::internal {

// CORVANE_HARKWELL_UNIT_DIR, else /etc/systemd/system.
std::string UnitFolder();
std::string UnitPath(const std::string& sUnit);
bool UnitFileExists(const std::string& sUnit);

// "Corvane Harkwell Server" -> "corvane-harkwell-server.service"; false for an empty name or one with
// characters a unit name cannot hold.
bool UnitNameOf(std::u16string_view sName, std::string* psUnit);

// The dependency list (NUL-separated names ending with an empty one) as unit names separated by blanks;
// false (ERROR_INVALID_NAME) for a name that maps onto no unit name.
bool MapDependencies(LPCWSTR pszDependencies, std::string* psUnits);

// The text as one line of the unit file, in UTF-8, line breaks turned into blanks.
std::string OneLine(std::u16string_view s);
// The text with every "%" doubled, as systemd reads specifiers in most settings.
std::string KeepPercent(std::string_view s);

// The first line of the file, naming the service for whoever finds the file.
std::string CommentLine(const std::string& sDisplayName);
bool IsCommentLine(const std::string& sLine);

// The whole file (sDependencies: unit names separated by blanks, may be empty). Passes the calling
// process's CORVANE_REGISTRY_DIR and CORVANE_LOG_DIR on to the service.
std::string BuildUnitFile(const std::string& sDisplayName, const std::string& sBinaryPath,
                          const std::string& sDependencies);

std::vector<std::string> SplitLines(const std::string& sText);
std::string JoinLines(const std::vector<std::string>& Lines);
// Replaces the setting's line, removes it when the value is empty, or adds it behind the line of the
// setting sAfterKey (behind "[Unit]" when that is missing too).
void SetSetting(std::vector<std::string>& Lines, std::string_view sKey, const std::string& sValue,
                std::string_view sAfterKey);

// False with the last error set: ERROR_SERVICE_DOES_NOT_EXIST for a missing file.
bool ReadUnitFile(const std::string& sUnit, std::string* psText);
// Writes the file whole or not at all. bCreate: fails with ERROR_SERVICE_EXISTS when the unit is there
// already; otherwise the new text replaces the old.
bool WriteUnitFile(const std::string& sUnit, const std::string& sText, bool bCreate);

}  // namespace comrt::internal
