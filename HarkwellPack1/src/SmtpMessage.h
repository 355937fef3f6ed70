// Composition of the e-mail text of one notification event: the subject and body templates expanded with the
// event's texts, the header lines in their fixed order, and the body as one Base64 UTF-8 text part of a
// multipart message. Header lines are ASCII apart from non-ASCII mailboxes, which go out as UTF-8: non-ASCII
// subjects and display names are RFC 2047 encoded words. The body is always UTF-8.
#pragma once

#include <ctime>
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

// The Date header value for nTime (seconds since 1970-01-01 00:00:00 UTC) in the local time zone, in the form
// "Wed, 09 Dec 2026 21:42:30 +0000": English names whatever the locale, the zone as its numeric offset.
std::string FormatMessageDate(std::time_t nTime);

// The To or CC header value for list text: each item of the list one address, separated by ", ". An item
// "Name <mailbox>" keeps its name (quoted when it is not a plain phrase, encoded words when it is not ASCII),
// a bare mailbox stays bare, and the mailbox is the one the envelope takes from the item (the text inside the
// first pair of angle brackets, else the whole item, without the blanks around it); items without a mailbox
// are left out. Lines are folded between addresses where they would pass 76 characters; nColumn is the
// column at which the value starts.
std::string FormatAddressList(std::u16string_view sListText, std::size_t nColumn);

// The message text for an event under the settings, with the given tick count and message number in the
// Message-ID and nTime in the Date header. The templates see the variables "Subject" and "Body"; a template
// that fails to expand gives empty text. A CR or LF inside a header value becomes a blank, so that no value
// can start a header line of its own.
std::string FormatMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody, DWORD nTickCount, LONG nMessageNumber, std::time_t nTime);

// The message text for an event, numbered with the next value of the message counter, stamped with the
// current tick count and dated nTime (by default now; a delivery tried again keeps the time of its first
// composition).
std::string CreateMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody, std::time_t nTime = std::time(nullptr));
