// Message composition.
#include "SmtpMessage.h"

#include <atomic>
#include <cstdio>

#include "comrt/sync.h"
#include "comrt/text.h"
#include "corvane/ulcrypt.h"
#include "corvane/uldebug.h"

const char g_pszSeparatorA[] = "--separator";

namespace {

std::atomic<LONG> g_nMessageCounter{0};

// A header value with each CR and LF turned into a blank.
std::string HeaderValue(std::u16string_view sValue) {
    std::u16string sLine(sValue);
    for (char16_t& c : sLine) {
        if (c == u'\r' || c == u'\n') c = u' ';
    }
    return comrt::ToUtf8(sLine);
}

std::u16string Expand(const CTemplateVariableMap& VariableMap, std::u16string_view sTemplate) {
    std::u16string sResult;
    ExpandTemplate(VariableMap, sTemplate, sResult);
    return sResult;
}

void AppendBase64(std::string& sData, std::string_view sBytes) {
    const std::size_t nSize = _Base64Helper::GetEncodeOutputSize(sBytes.size(), _Base64Helper::BASE64_FLAG_NONE);
    const std::size_t nStart = sData.size();
    sData.resize(nStart + nSize);
    const std::size_t nLength = _Base64Helper::Encode(reinterpret_cast<const BYTE*>(sBytes.data()), sBytes.size(),
                                                      sData.data() + nStart, nSize, _Base64Helper::BASE64_FLAG_NONE);
    sData.resize(nStart + nLength);
    UL_ASSERT(sData.find(g_pszSeparatorA, nStart) == std::string::npos);
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

std::string FormatMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody, DWORD nTickCount, LONG nMessageNumber) {
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
    sData += "From: " + HeaderValue(Settings.m_sSender) + "\r\n";
    if (!Settings.m_sToRecipients.empty()) sData += "To: " + HeaderValue(Settings.m_sToRecipients) + "\r\n";
    if (!Settings.m_sCcRecipients.empty()) sData += "CC: " + HeaderValue(Settings.m_sCcRecipients) + "\r\n";
    if (!sSubject.empty()) sData += "Subject: " + HeaderValue(sSubject) + "\r\n";
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
    AppendBase64(sData, comrt::ToUtf8(sBody));
    sData += "\r\n--";
    sData += g_pszSeparatorA;
    sData += "--\r\n";
    return sData;
}

std::string CreateMessageData(const CSmtpSettings& Settings, std::u16string_view sEventSubject,
                              std::u16string_view sEventBody) {
    const LONG nMessageNumber = GetNextMessageNumber();
    return FormatMessageData(Settings, sEventSubject, sEventBody, GetTickCount(), nMessageNumber);
}
