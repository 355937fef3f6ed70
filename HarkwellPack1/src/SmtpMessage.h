// Composition of the e-mail text of one notification event: the subject and body templates expanded with the
// event's texts, the header lines in their fixed order, and the body as one Base64 UTF-8 text part of a
// multipart message. Header lines are 8-bit text in the process locale's character set (UTF-8); the body is
// always UTF-8.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "SmtpSettings.h"
#include "comrt/types.h"

// The MIME boundary parameter; the delimiter lines are "--" + it, and "--" + it + "--" at the end.
extern const char g_pszSeparatorA[];

struct CLessIgnoringCase {
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept;
};
// Template variables by name, names compared ignoring case.
using CTemplateVariableMap = std::map<std::u16string, std::u16string, CLessIgnoringCase>;

// Replaces each "$(Name)" of sTemplate with the value of the variable Name; a reference to an unknown name
// stays as written, a '$' not followed by '(' is ordinary text, and values are inserted without expanding
// references inside them. On success sOutput receives the result and the call returns true; a "$(" without a
// closing ')' returns false and leaves sOutput as it was.
bool ExpandTemplate(const CTemplateVariableMap& VariableMap, std::u16string_view sTemplate, std::u16string& sOutput);

// The next value of the process-wide message counter (the first message gets 1).
LONG GetNextMessageNumber() noexcept;

// The message text for an event under the settings, with the given tick count and message number in the
// Message-ID. The templates see the variables "Subject" and "Body"; a template that fails to expand gives
// empty text. A CR or LF inside a header value becomes a blank, so that no value can start a header line of
// its own.
std::string FormatMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody, DWORD nTickCount, LONG nMessageNumber);

// The message text for an event, numbered with the next value of the message counter and stamped with the
// current tick count.
std::string CreateMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody);
