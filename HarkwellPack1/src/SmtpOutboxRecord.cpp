// The stored form of a pending e-mail.
#include "SmtpOutboxRecord.h"

#include <cstring>
#include <vector>

namespace {

constexpr char kMagic[4] = {'H', 'W', 'O', 'B'};

class CWriter {
public:
    void Bytes(const void* p, std::size_t n) { m_s.append(static_cast<const char*>(p), n); }
    template <class T>
    void Number(T n) {
        for (std::size_t i = 0; i < sizeof n; ++i)
            m_s += static_cast<char>(static_cast<std::uint64_t>(n) >> (8 * i) & 0xFF);
    }
    void Text(std::u16string_view s) {
        Number(static_cast<std::uint32_t>(s.size()));
        for (const char16_t c : s) Number(static_cast<std::uint16_t>(c));
    }
    std::string Take() { return std::move(m_s); }

private:
    std::string m_s;
};

// Every read checks the bytes left first; a failed read leaves the reader failed for good.
class CReader {
public:
    explicit CReader(std::string_view s) : m_s(s) {}
    bool IsGood() const noexcept { return m_bGood; }
    bool IsAtEnd() const noexcept { return m_bGood && m_nPosition == m_s.size(); }
    bool Take(std::size_t n, std::string_view& sBytes) noexcept {
        if (!m_bGood || m_s.size() - m_nPosition < n) return m_bGood = false;
        sBytes = m_s.substr(m_nPosition, n);
        m_nPosition += n;
        return true;
    }
    template <class T>
    T Number() noexcept {
        std::string_view sBytes;
        if (!Take(sizeof(T), sBytes)) return T();
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            n |= static_cast<std::uint64_t>(static_cast<unsigned char>(sBytes[i])) << (8 * i);
        return static_cast<T>(n);
    }
    std::u16string Text() {
        const auto nUnits = Number<std::uint32_t>();
        std::string_view sBytes;
        if (nUnits > COutboxRecord::MAX_TEXT_UNITS || !Take(2 * static_cast<std::size_t>(nUnits), sBytes)) {
            m_bGood = false;
            return {};
        }
        std::u16string s(nUnits, u'\0');
        for (std::size_t i = 0; i < nUnits; ++i)
            s[i] = static_cast<char16_t>(static_cast<unsigned char>(sBytes[2 * i]) |
                                         static_cast<unsigned char>(sBytes[2 * i + 1]) << 8);
        return s;
    }
    void Check(bool bCondition) noexcept {
        if (!bCondition) m_bGood = false;
    }

private:
    std::string_view m_s;
    std::size_t m_nPosition = 0;
    bool m_bGood = true;
};

}  // namespace

std::string WriteOutboxRecord(const COutboxRecord& Record) {
    const CSmtpSettings& Settings = Record.m_Settings;
    CWriter Writer;
    Writer.Bytes(kMagic, sizeof kMagic);
    Writer.Number(COutboxRecord::VERSION);
    Writer.Number(std::uint16_t{0});
    Writer.Number(Record.m_nAttemptCount);
    Writer.Number(Record.m_nTime);
    Writer.Number(Record.m_nNextAttemptTime);
    Writer.Text(Settings.m_sServerHost);
    Writer.Number(static_cast<std::uint16_t>(Settings.m_nServerPort));
    for (const std::u16string* ps :
         {&Settings.m_sSender, &Settings.m_sToRecipients, &Settings.m_sCcRecipients, &Settings.m_sBccRecipients})
        Writer.Text(*ps);
    Writer.Text(Settings.m_AuthMethodList.GetAsString());
    Writer.Text(Settings.m_sAuthenticationName);
    Writer.Text(Record.m_sScrambledPassword);
    Writer.Number(static_cast<std::int32_t>(Settings.m_nTimeout));
    Writer.Number(static_cast<std::int32_t>(Settings.m_nSecurity));
    Writer.Number(static_cast<std::uint8_t>(Settings.m_bVerifyServerCertificate ? 1 : 0));
    Writer.Number(static_cast<std::uint32_t>(Settings.m_RetryIntervalList.size()));
    for (const LONG nSeconds : Settings.m_RetryIntervalList) Writer.Number(static_cast<std::int32_t>(nSeconds));
    Writer.Number(static_cast<std::uint32_t>(Record.m_sMessageData.size()));
    Writer.Bytes(Record.m_sMessageData.data(), Record.m_sMessageData.size());
    return Writer.Take();
}

bool ReadOutboxRecord(std::string_view sBytes, COutboxRecord& Record) {
    CReader Reader(sBytes);
    std::string_view sMagic;
    if (!Reader.Take(sizeof kMagic, sMagic) || std::memcmp(sMagic.data(), kMagic, sizeof kMagic) != 0) return false;
    if (Reader.Number<std::uint16_t>() != COutboxRecord::VERSION || Reader.Number<std::uint16_t>() != 0) return false;
    CSmtpSettings& Settings = Record.m_Settings;
    Record.m_nAttemptCount = Reader.Number<std::uint32_t>();
    Reader.Check(Record.m_nAttemptCount <= COutboxRecord::MAX_ATTEMPT_COUNT);
    Record.m_nTime = Reader.Number<std::int64_t>();
    Record.m_nNextAttemptTime = Reader.Number<std::int64_t>();
    Settings.m_sServerHost = Reader.Text();
    const auto nPort = Reader.Number<std::uint16_t>();
    Reader.Check(nPort != 0);
    Settings.m_nServerPort = nPort;
    for (std::u16string* ps :
         {&Settings.m_sSender, &Settings.m_sToRecipients, &Settings.m_sCcRecipients, &Settings.m_sBccRecipients})
        *ps = Reader.Text();
    Settings.m_AuthMethodList.SetAsString(Reader.Text());
    Settings.m_sAuthenticationName = Reader.Text();
    Record.m_sScrambledPassword = Reader.Text();
    Settings.m_nTimeout = Reader.Number<std::int32_t>();
    Reader.Check(Settings.m_nTimeout > 0 || Settings.m_nTimeout == -1);
    Settings.m_nSecurity = Reader.Number<std::int32_t>();
    Reader.Check(Settings.m_nSecurity >= SMTPSECURITY_FIRST && Settings.m_nSecurity <= SMTPSECURITY_LAST);
    const auto nVerify = Reader.Number<std::uint8_t>();
    Reader.Check(nVerify <= 1);
    Settings.m_bVerifyServerCertificate = nVerify == 1;
    const auto nRetryCount = Reader.Number<std::uint32_t>();
    Reader.Check(nRetryCount <= MAX_RETRY_COUNT);
    Settings.m_RetryIntervalList.clear();
    for (std::uint32_t i = 0; Reader.IsGood() && i < nRetryCount; ++i) {
        const auto nSeconds = Reader.Number<std::int32_t>();
        Reader.Check(nSeconds >= 1 && nSeconds <= MAX_RETRY_INTERVAL);
        Settings.m_RetryIntervalList.push_back(nSeconds);
    }
    const auto nMessageSize = Reader.Number<std::uint32_t>();
    std::string_view sMessage;
    if (nMessageSize > COutboxRecord::MAX_MESSAGE_SIZE || !Reader.Take(nMessageSize, sMessage)) return false;
    Record.m_sMessageData.assign(sMessage);
    return Reader.IsAtEnd();
}
