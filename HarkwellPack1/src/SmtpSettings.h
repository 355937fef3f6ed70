// The settings of an e-mail notification: what the object keeps under its data lock, and what each queued
// delivery copies when its event is handled, so that later changes never alter a queued message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "comrt/types.h"

// The ordered authentication method names, without duplicates (compared ignoring case).
class CAuthMethodList {
public:
    // Empties the list, splits the list text and appends each name not already held.
    void SetAsString(std::u16string_view sText);
    // The names as list text.
    std::u16string GetAsString() const;
    bool IsEmpty() const noexcept { return m_NameList.empty(); }
    const std::vector<std::u16string>& GetNames() const noexcept { return m_NameList; }

private:
    std::vector<std::u16string> m_NameList;
};

// How a delivery protects its connection.
enum SMTPSECURITY : LONG {
    SMTPSECURITY_NONE = 0,               // plain SMTP
    SMTPSECURITY_STARTTLS = 1,           // STARTTLS when the server offers it, else plain
    SMTPSECURITY_STARTTLS_REQUIRED = 2,  // STARTTLS, or no delivery
    SMTPSECURITY_TLS = 3,                // TLS from the connect on (the submission port 465)
};
constexpr LONG SMTPSECURITY_FIRST = SMTPSECURITY_NONE;
constexpr LONG SMTPSECURITY_LAST = SMTPSECURITY_TLS;

struct CSmtpSettings {
    std::u16string m_sServerHost;
    USHORT m_nServerPort = 25;
    std::u16string m_sSender;
    std::u16string m_sToRecipients;   // list text
    std::u16string m_sCcRecipients;   // list text
    std::u16string m_sBccRecipients;  // list text
    std::u16string m_sSubject;        // template
    std::u16string m_sBody;           // template
    CAuthMethodList m_AuthMethodList;
    std::u16string m_sAuthenticationName;
    std::u16string m_sAuthenticationPassword;
    LONG m_nTimeout = 60000;  // milliseconds for every single wait; -1 waits without limit
    // Plain unless set: the record alone gives the dialogue settings have always given.
    LONG m_nSecurity = SMTPSECURITY_NONE;
    // The server's certificate must lead to a trust anchor and name the server host.
    bool m_bVerifyServerCertificate = true;
    // Seconds after a failure that may pass before each further attempt of a delivery: one entry an
    // attempt, so the default tries again after 1, 5 and 15 minutes and then gives the message up.
    std::vector<LONG> m_RetryIntervalList{60, 300, 900};
};

// The retry schedule as list text of seconds ("60,300,900"), and back. ParseRetryIntervals takes at most
// MAX_RETRY_COUNT entries, each a decimal number of 1 to MAX_RETRY_INTERVAL seconds, and returns false for
// any other text, leaving IntervalList as it was; the empty text is the empty schedule (no retries).
constexpr std::size_t MAX_RETRY_COUNT = 16;
constexpr LONG MAX_RETRY_INTERVAL = 7 * 24 * 60 * 60;
bool ParseRetryIntervals(std::u16string_view sText, std::vector<LONG>& IntervalList);
std::u16string FormatRetryIntervals(const std::vector<LONG>& IntervalList);
