// Message composition on arbitrary sender, recipient lists, subject and server host: whatever the texts hold,
// the header keeps its fields in their order, each starting a line of its own (every other line of the
// header continues the field before it), every line ends with CR LF, and the body follows one empty line.
//
// The first input byte chooses how the rest becomes UTF-16 (see FuzzInput.h); U+0001 separates the sender,
// the To list, the CC list, the subject and the server host, in this order.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "SmtpMessage.h"

namespace {

const char kTarget[] = "smtp_message_fuzz";

std::vector<std::u16string> Parts(const std::u16string& sText, std::size_t nCount) {
    std::vector<std::u16string> PartList(1);
    for (const char16_t c : sText) {
        if (c == u'\x01' && PartList.size() < nCount) {
            PartList.emplace_back();
        } else {
            PartList.back() += c;
        }
    }
    PartList.resize(nCount);
    return PartList;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    const std::vector<std::u16string> PartList = Parts(fuzzing::DecodeText(pData, cb), 5);
    CSmtpSettings Settings;
    Settings.m_sSender = PartList[0];
    Settings.m_sToRecipients = PartList[1];
    Settings.m_sCcRecipients = PartList[2];
    Settings.m_sSubject = u"$(Subject)";
    Settings.m_sBody = u"b";
    Settings.m_sServerHost = PartList[4];
    const std::string sData = FormatMessageData(Settings, PartList[3], u"", 1, 1, std::time_t{1796852550});

    for (std::size_t n = 0; n < sData.size(); ++n) {
        if (sData[n] == '\r') fuzzing::Check(n + 1 < sData.size() && sData[n + 1] == '\n', kTarget, "CR without LF");
        if (sData[n] == '\n') fuzzing::Check(n > 0 && sData[n - 1] == '\r', kTarget, "LF without CR");
    }
    const std::size_t nHeaderEnd = sData.find("\r\n\r\n");
    fuzzing::Check(nHeaderEnd != std::string::npos, kTarget, "no end of the header");
    const char* const pszNames[] = {"Message-ID", "Date",    "From",         "To",
                                    "CC",         "Subject", "MIME-Version", "Content-Type"};
    std::size_t nNext = 0;
    for (std::size_t nStart = 0; nStart < nHeaderEnd + 2;) {
        const std::size_t nEnd = sData.find("\r\n", nStart);
        const std::string sLine = sData.substr(nStart, nEnd - nStart);
        fuzzing::Check(!sLine.empty(), kTarget, "empty line inside the header");
        if (sLine[0] != ' ' && sLine[0] != '\t') {
            const std::string sName = sLine.substr(0, sLine.find(':'));
            while (nNext < std::size(pszNames) && sName != pszNames[nNext]) ++nNext;
            fuzzing::Check(nNext < std::size(pszNames), kTarget,
                           "a field that is not one of the header's, or out of order");
            ++nNext;
        } else {
            fuzzing::Check(nStart > 0, kTarget, "the header starts with a continuation line");
        }
        nStart = nEnd + 2;
    }
    fuzzing::Check(nNext == std::size(pszNames), kTarget, "the header does not end with Content-Type");
    fuzzing::Check(sData.compare(nHeaderEnd + 4, 15, "----separator\r\n") == 0, kTarget, "no part after the header");
    return 0;
}
