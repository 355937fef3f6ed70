// Helpers shared by the parts of libcomrtui.
#pragma once

#include <QString>
#include <string>

#include "comrt/ui.h"

namespace comrtui {

QString ToQString(LPCOLESTR psz);
std::u16string FromQString(const QString& s);
// One line to the module's trace writer (or the standard error).
void WriteTrace(const std::string& sLine) noexcept;

}  // namespace comrtui
