// Helpers shared by the library's activities.
#pragma once

#include <ctime>
#include <string>

// The local time text of event subjects and bodies: the date in the user's short date format, one blank, the
// time in the user's time format (the user's locale from the environment, whatever locale the hosting
// program has set). Each part is cut to 256 characters.
std::u16string GetLocalTimeText();
std::u16string FormatLocalTimeText(const std::tm& Time);
