// Message composition.
#include "SmtpMessage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "comrt/sync.h"
#include "comrt/text.h"
#include "corvane/ulcrypt.h"
#include "corvane/uldebug.h"
#include "corvane/ullisttext.h"

const char g_pszSeparatorA[] = "--separator";

namespace {

std::atomic<LONG> g_nMessageCounter{0};

// Folded header lines stay within this many characters (without their CR LF) where the text allows it.
constexpr std::size_t kLineLimit = 76;
// The longest encoded word, delimiters included.
constexpr std::size_t kEncodedWordLimit = 75;
constexpr std::string_view kEncodedWordStart = "=?UTF-8?B?";
constexpr std::string_view kEncodedWordEnd = "?=";

// sValue with each CR and LF turned into a blank.
std::u16string WithoutLineBreaks(std::u16string_view sValue) {
    std::u16string sLine(sValue);
    for (char16_t& c : sLine) {
        if (c == u'\r' || c == u'\n') c = u' ';
    }
    return sLine;
}

// A header value with each CR and LF turned into a blank.
std::string HeaderValue(std::u16string_view sValue) {
    return comrt::ToUtf8(WithoutLineBreaks(sValue));
}

std::u16string Expand(const CTemplateVariableMap& VariableMap, std::u16string_view sTemplate) {
    std::u16string sResult;
    ExpandTemplate(VariableMap, sTemplate, sResult);
    return sResult;
}

void AppendBase64(std::string& sData, std::string_view sBytes, DWORD dwFlags) {
    const std::size_t nSize = _Base64Helper::GetEncodeOutputSize(sBytes.size(), dwFlags);
    const std::size_t nStart = sData.size();
    sData.resize(nStart + nSize);
    const std::size_t nLength = _Base64Helper::Encode(reinterpret_cast<const BYTE*>(sBytes.data()), sBytes.size(),
                                                      sData.data() + nStart, nSize, dwFlags);
    sData.resize(nStart + nLength);
    UL_ASSERT(sData.find(g_pszSeparatorA, nStart) == std::string::npos);
}

bool IsAscii(std::string_view sText) noexcept {
    for (const char c : sText) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

bool IsBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanksAndTabs(std::string_view sText) noexcept {
    while (!sText.empty() && IsBlank(sText.front())) sText.remove_prefix(1);
    while (!sText.empty() && IsBlank(sText.back())) sText.remove_suffix(1);
    return sText;
}

// The characters of an atom; bytes of UTF-8 sequences count as such in mailboxes.
bool IsAtomCharacter(char c) noexcept {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x80) return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// The length of the quoted string at the start of sText ('"', characters or backslash pairs, '"'), 0 when it
// does not start with a complete one.
std::size_t QuotedStringLength(std::string_view sText) noexcept {
    if (sText.empty() || sText.front() != '"') return 0;
    for (std::size_t n = 1; n < sText.size(); ++n) {
        if (sText[n] == '\\') {
            ++n;
        } else if (sText[n] == '"') {
            return n + 1;
        }
    }
    return 0;
}

// Whether sText (ASCII, trimmed) is a phrase as written: atoms and quoted strings, blanks between them.
bool IsPhrase(std::string_view sText) noexcept {
    if (sText.empty()) return false;
    while (!sText.empty()) {
        if (IsBlank(sText.front())) {
            sText.remove_prefix(1);
        } else if (const std::size_t nQuoted = QuotedStringLength(sText); nQuoted > 0) {
            sText.remove_prefix(nQuoted);
        } else if (IsAtomCharacter(sText.front())) {
            while (!sText.empty() && IsAtomCharacter(sText.front())) sText.remove_prefix(1);
        } else {
            return false;
        }
    }
    return true;
}

// Atoms joined by single dots.
bool IsDotAtom(std::string_view sText) noexcept {
    if (sText.empty() || sText.front() == '.' || sText.back() == '.') return false;
    for (std::size_t n = 0; n < sText.size(); ++n) {
        if (sText[n] == '.' ? sText[n + 1] == '.' : !IsAtomCharacter(sText[n])) return false;
    }
    return true;
}

// sText as one quoted string, its backslashes and quotes escaped.
std::string Quoted(std::string_view sText) {
    std::string sResult = "\"";
    for (const char c : sText) {
        if (c == '\\' || c == '"') sResult += '\\';
        sResult += c;
    }
    return sResult + '"';
}

// The text a phrase stands for: quoted strings without their quotes and escapes, the rest as written,
// without the blanks and tabs around it.
std::string PhraseText(std::string_view sPhrase) {
    std::string sText;
    bool bQuoted = false;
    for (std::size_t n = 0; n < sPhrase.size(); ++n) {
        if (sPhrase[n] == '"') {
            bQuoted = !bQuoted;
        } else if (bQuoted && sPhrase[n] == '\\' && n + 1 < sPhrase.size()) {
            sText += sPhrase[++n];
        } else {
            sText += sPhrase[n];
        }
    }
    return std::string(TrimBlanksAndTabs(sText));
}

// A mailbox for a header: as it is when its local part is a dot-atom or a quoted string, else with the local
// part (the text before the last '@') quoted.
std::string AddrSpec(std::string_view sMailbox) {
    const std::size_t nAt = sMailbox.rfind('@');
    const std::string_view sLocal = sMailbox.substr(0, nAt);
    if (IsDotAtom(sLocal) || (!sLocal.empty() && QuotedStringLength(sLocal) == sLocal.size()))
        return std::string(sMailbox);
    return Quoted(sLocal) + std::string(nAt == std::string_view::npos ? std::string_view() : sMailbox.substr(nAt));
}

// How many bytes of whole UTF-8 characters from the start of sText fit into one encoded word of at most
// nRoom characters.
std::size_t EncodedWordBytes(std::string_view sText, std::size_t nRoom) noexcept {
    const std::size_t nOverhead = kEncodedWordStart.size() + kEncodedWordEnd.size();
    if (nRoom < nOverhead + 4) return 0;
    const std::size_t nLimit = (nRoom - nOverhead) / 4 * 3;
    std::size_t nBytes = 0;
    while (nBytes < sText.size()) {
        const unsigned char b = static_cast<unsigned char>(sText[nBytes]);
        std::size_t nLength = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        std::size_t nNext = nBytes + 1;
        while (nNext < sText.size() && nNext < nBytes + nLength &&
               (static_cast<unsigned char>(sText[nNext]) & 0xC0) == 0x80)
            ++nNext;
        if (nNext > nLimit) break;
        nBytes = nNext;
    }
    return nBytes;
}

// One header line being written at the end of sData, folded before blanks where a piece would carry it past
// the line limit.
class CHeaderLine {
public:
    // nColumn: the characters already on the line before the end of sData.
    CHeaderLine(std::string& sData, std::size_t nColumn)
        : m_sData(sData), m_nLineStart(sData.size()), m_nColumn(nColumn) {}

    std::size_t Column() const noexcept { return m_sData.size() - m_nLineStart + m_nColumn; }

    // Appends sBlank and sPiece; with a fold before sBlank when sBlank is not empty and the two, and the
    // nReserve characters that are to follow without a blank, would carry the line past the limit.
    void Append(std::string_view sBlank, std::string_view sPiece, std::size_t nReserve = 0) {
        if (!sBlank.empty() && Column() > 0 && Column() + sBlank.size() + sPiece.size() + nReserve > kLineLimit) Fold();
        m_sData += sBlank;
        m_sData += sPiece;
    }

    // Appends sBlank and sText (UTF-8) as encoded words of whole characters: as many as fit on the line, the
    // rest on continuation lines, one blank before each further word (blanks between encoded words are not
    // part of the text).
    void AppendEncoded(std::string_view sBlank, std::string_view sText) {
        std::string_view sSeparator = sBlank;
        while (!sText.empty()) {
            const std::size_t nColumn = Column() + sSeparator.size();
            std::size_t nBytes =
                EncodedWordBytes(sText, nColumn < kLineLimit ? std::min(kLineLimit - nColumn, kEncodedWordLimit) : 0);
            if (nBytes == 0) {
                if (!sSeparator.empty() && Column() > 0) {
                    Fold();
                    continue;
                }
                nBytes = EncodedWordBytes(sText, kEncodedWordLimit);
            }
            m_sData += sSeparator;
            m_sData += kEncodedWordStart;
            AppendBase64(m_sData, sText.substr(0, nBytes), _Base64Helper::BASE64_FLAG_NOCRLF);
            m_sData += kEncodedWordEnd;
            sText.remove_prefix(nBytes);
            sSeparator = " ";
        }
    }

private:
    void Fold() {
        m_sData += "\r\n";
        m_nLineStart = m_sData.size();
        m_nColumn = 0;
    }

    std::string& m_sData;
    std::size_t m_nLineStart;
    std::size_t m_nColumn;
};

std::size_t WordLength(std::string_view sText) noexcept {
    std::size_t n = 0;
    while (n < sText.size() && !IsBlank(sText[n])) ++n;
    return n;
}

// The subject line: ASCII text as it is; otherwise each run of adjacent words holding non-ASCII characters
// (with the blanks between them) becomes encoded words, the other words and blanks staying as they are.
void AppendSubject(std::string& sData, std::u16string_view sSubject) {
    const std::string sText = HeaderValue(sSubject);
    sData += "Subject: ";
    if (IsAscii(sText)) {
        sData += sText;
        sData += "\r\n";
        return;
    }
    CHeaderLine Line(sData, 9);
    std::string_view sRest = sText;
    while (!sRest.empty()) {
        std::size_t nBlank = 0;
        while (nBlank < sRest.size() && IsBlank(sRest[nBlank])) ++nBlank;
        const std::string_view sBlank = sRest.substr(0, nBlank);
        sRest.remove_prefix(nBlank);
        if (sRest.empty()) {
            sData += sBlank;  // trailing blanks stay on the line: a fold there would leave a blank line
            break;
        }
        std::size_t nEnd = WordLength(sRest);
        if (IsAscii(sRest.substr(0, nEnd))) {
            Line.Append(sBlank, sRest.substr(0, nEnd));
        } else {
            for (;;) {
                std::size_t nNext = nEnd;
                while (nNext < sRest.size() && IsBlank(sRest[nNext])) ++nNext;
                const std::size_t nWord = WordLength(sRest.substr(nNext));
                if (nWord == 0 || IsAscii(sRest.substr(nNext, nWord))) break;
                nEnd = nNext + nWord;
            }
            Line.AppendEncoded(sBlank, sRest.substr(0, nEnd));
        }
        sRest.remove_prefix(nEnd);
    }
    sData += "\r\n";
}

// The display name and mailbox of an address (line breaks already blanks): the mailbox inside the first pair
// of angle brackets that holds something and no other bracket, and the text before it; else no name and the
// whole text. The mailbox loses the blanks (not tabs) around it, as in the envelope.
void SplitAddress(std::string_view sAddress, std::string_view& sPhrase, std::string_view& sMailbox,
                  bool& bAngle) noexcept {
    sPhrase = {};
    sMailbox = sAddress;
    bAngle = false;
    for (std::size_t nOpen = sAddress.find('<'); nOpen != std::string_view::npos;
         nOpen = sAddress.find('<', nOpen + 1)) {
        const std::size_t nClose = sAddress.find_first_of("<>", nOpen + 1);
        if (nClose == std::string_view::npos) break;
        if (sAddress[nClose] == '>' && nClose > nOpen + 1) {
            sPhrase = sAddress.substr(0, nOpen);
            sMailbox = sAddress.substr(nOpen + 1, nClose - nOpen - 1);
            bAngle = true;
            break;
        }
    }
    while (!sMailbox.empty() && sMailbox.front() == ' ') sMailbox.remove_prefix(1);
    while (!sMailbox.empty() && sMailbox.back() == ' ') sMailbox.remove_suffix(1);
}

// Appends sBlank and one address written from sAddress, or nothing when it has no mailbox; returns whether
// it wrote one. A name that is ASCII and a phrase stays as written, other ASCII names are quoted, and names
// with non-ASCII characters become encoded words.
bool AppendAddress(CHeaderLine& Line, std::string_view sBlank, std::u16string_view sAddress) {
    const std::string sText = HeaderValue(sAddress);
    std::string_view sPhrase;
    std::string_view sMailbox;
    bool bAngle = false;
    SplitAddress(sText, sPhrase, sMailbox, bAngle);
    if (sMailbox.empty()) return false;
    const std::string sAddrSpec = AddrSpec(sMailbox);
    // One character stays free on the line for the comma that may follow.
    if (!bAngle) {
        Line.Append(sBlank, sAddrSpec, 1);
        return true;
    }
    sPhrase = TrimBlanksAndTabs(sPhrase);
    if (!sPhrase.empty()) {
        if (IsAscii(sPhrase) && IsPhrase(sPhrase)) {
            Line.Append(sBlank, sPhrase);
        } else {
            const std::string sName = PhraseText(sPhrase);
            if (IsAscii(sName)) {
                Line.Append(sBlank, Quoted(sName));
            } else if (EncodedWordBytes(sName, kEncodedWordLimit) == sName.size()) {
                // A name that one encoded word holds stays one word: some readers keep the blank between
                // encoded words in a name.
                std::string sWord(kEncodedWordStart);
                AppendBase64(sWord, sName, _Base64Helper::BASE64_FLAG_NOCRLF);
                sWord += kEncodedWordEnd;
                Line.Append(sBlank, sWord);
            } else {
                Line.AppendEncoded(sBlank, sName);
            }
        }
        sBlank = " ";
    }
    Line.Append(sBlank, "<" + sAddrSpec + ">", 1);
    return true;
}

}  // namespace

bool CLessIgnoringCase::operator()(std::u16string_view a, std::u16string_view b) const noexcept {
    return comrt::CompareNoCase(a, b) < 0;
}

bool ExpandTemplate(const CTemplateVariableMap& VariableMap, std::u16string_view sTemplate, std::u16string& sOutput) {
    std::u16string sResult;
    std::size_t nPosition = 0;
    for (;;) {
        std::size_t nDollar = sTemplate.find(u"$(", nPosition);
        if (nDollar == std::u16string_view::npos) {
            sResult.append(sTemplate.substr(nPosition));
            break;
        }
        const std::size_t nClose = sTemplate.find(u')', nDollar + 2);
        if (nClose == std::u16string_view::npos) return false;
        sResult.append(sTemplate.substr(nPosition, nDollar - nPosition));
        const std::u16string_view sName = sTemplate.substr(nDollar + 2, nClose - nDollar - 2);
        const auto Iterator = VariableMap.find(std::u16string(sName));
        if (Iterator != VariableMap.end()) {
            sResult.append(Iterator->second);
        } else {
            sResult.append(sTemplate.substr(nDollar, nClose + 1 - nDollar));
        }
        nPosition = nClose + 1;
    }
    sOutput = std::move(sResult);
    return true;
}

LONG GetNextMessageNumber() noexcept {
    return g_nMessageCounter.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::string FormatMessageDate(std::time_t nTime) {
    static constexpr char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm Time{};
    if (localtime_r(&nTime, &Time) == nullptr) {
        const std::time_t nEpoch = 0;
        gmtime_r(&nEpoch, &Time);
    }
    const long nOffset = Time.tm_gmtoff / 60;
    const long nMinutes = nOffset < 0 ? -nOffset : nOffset;
    char pszDate[64];
    std::snprintf(pszDate, sizeof pszDate, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[Time.tm_wday % 7],
                  Time.tm_mday, kMonths[Time.tm_mon % 12], Time.tm_year + 1900, Time.tm_hour, Time.tm_min, Time.tm_sec,
                  nOffset < 0 ? '-' : '+', nMinutes / 60, nMinutes % 60);
    return pszDate;
}

std::string FormatAddressList(std::u16string_view sListText, std::size_t nColumn) {
    std::string sValue;
    CHeaderLine Line(sValue, nColumn);
    bool bFirst = true;
    for (const std::u16string& sItem : corvane::SplitList(sListText)) {
        const std::size_t nSize = sValue.size();
        if (!bFirst) Line.Append({}, ",");
        if (AppendAddress(Line, bFirst ? std::string_view() : std::string_view(" "), sItem)) {
            bFirst = false;
        } else {
            sValue.resize(nSize);
        }
    }
    return sValue;
}

std::string FormatMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody, DWORD nTickCount, LONG nMessageNumber,
                              std::time_t nTime) {
    const CTemplateVariableMap VariableMap{
        {u"Subject", std::u16string(sEventSubject)},
        {u"Body", std::u16string(sEventBody)},
    };
    const std::u16string sSubject = Expand(VariableMap, Settings.m_sSubject);
    const std::u16string sBody = Expand(VariableMap, Settings.m_sBody);

    std::string sData;
    char pszNumbers[48];
    std::snprintf(pszNumbers, sizeof pszNumbers, "%d.%d", static_cast<int>(nTickCount),
                  static_cast<int>(nMessageNumber));
    sData += "Message-ID: <";
    sData += pszNumbers;
    sData += '@';
    sData += HeaderValue(Settings.m_sServerHost);
    sData += ':';
    sData += std::to_string(Settings.m_nServerPort);
    sData += ">\r\n";
    sData += "Date: " + FormatMessageDate(nTime) + "\r\n";
    sData += "From: ";
    {
        // A sender without a mailbox (empty text too) goes out as it is.
        const std::size_t nSize = sData.size();
        CHeaderLine Line(sData, 6);
        if (!AppendAddress(Line, {}, Settings.m_sSender)) {
            sData.resize(nSize);
            sData += HeaderValue(Settings.m_sSender);
        }
    }
    sData += "\r\n";
    const std::string sTo = FormatAddressList(Settings.m_sToRecipients, 4);
    if (!sTo.empty()) sData += "To: " + sTo + "\r\n";
    const std::string sCc = FormatAddressList(Settings.m_sCcRecipients, 4);
    if (!sCc.empty()) sData += "CC: " + sCc + "\r\n";
    if (!sSubject.empty()) AppendSubject(sData, sSubject);
    sData += "MIME-Version: 1.0\r\n";
    sData += "Content-Type: multipart/mixed; boundary=\"";
    sData += g_pszSeparatorA;
    sData += "\"\r\n\r\n--";
    sData += g_pszSeparatorA;
    sData +=
        "\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: inline\r\n"
        "\r\n";
    AppendBase64(sData, comrt::ToUtf8(sBody), _Base64Helper::BASE64_FLAG_NONE);
    sData += "\r\n--";
    sData += g_pszSeparatorA;
    sData += "--\r\n";
    return sData;
}

std::string CreateMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody, std::time_t nTime) {
    const LONG nMessageNumber = GetNextMessageNumber();
    return FormatMessageData(Settings, sEventSubject, sEventBody, GetTickCount(), nMessageNumber, nTime);
}
