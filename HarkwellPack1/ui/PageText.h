// What the plug-in's pages make of the texts the user types, apart from the windows (no toolkit here, so
// that a fuzz target can take it alone).
#pragma once

#include <string>
#include <string_view>

#include "comrt/types.h"

namespace pack1ui {

// The list text of the name expression edit's lines: CR LF made LF (and a CR alone too), tabs, CR, LF and
// blanks trimmed at both ends of the whole text, one item per line (an empty line in the middle an empty item), joined
// as list text.
std::u16string ListTextOfLines(std::u16string_view sText);
// The lines of list text: one item a line, joined by line feeds (the edit's own line breaks).
std::u16string LinesOfListText(std::u16string_view sList);

// A multi-line edit's text with its line breaks as CR LF, as the message body keeps them: the edit shows CR
// LF, LF and CR alone each as a line break and hands back line feeds.
std::u16string TextWithCrLf(std::u16string_view sText);

// A threshold edit's text: trimmed, empty 0, else a 32-bit integer (a text that is not one raises the
// conversion's failure after the line "Exception 0x%08x"), a negative one 0.
LONG ThresholdOfText(std::u16string_view sText);

// A port edit's text: optional blanks, an optional sign and decimal digits, up to the first other character
// (a number past the 32-bit range is its largest value); a text without digits raises ERROR_INVALID_DATA.
LONG PortOfText(std::u16string_view sText);

// The authentication choices of the connection page's list (its item data).
enum AuthenticationChoice : LONG {
    AUTHENTICATION_NONE = 0,
    AUTHENTICATION_PLAIN = 1,
    AUTHENTICATION_DIGEST = 2,
    AUTHENTICATION_DIGEST_OR_PLAIN = 3,
};
// The choice a method list shows: both "login" and "cram-md5" (in any case) digest or plain text, only one
// of them that one, neither no authentication; other names are not shown.
AuthenticationChoice ChoiceOfMethods(std::u16string_view sMethods);
// The method list a choice writes, as list text (empty for no authentication or an unknown choice).
std::u16string MethodsOfChoice(LONG nChoice);

}  // namespace pack1ui
