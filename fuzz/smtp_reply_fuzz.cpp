// Bytes from a mail server read as the replies of one connection's receive buffer, one reply after another.
// Besides not crashing or reading past the buffer:
//   - a malformed line raises one of the three reply-line codes and nothing else;
//   - a complete reply ends with CR LF within the buffer, its code has at most seven digits and its text is
//     shorter than the reply;
//   - the reply reads the same from the buffer cut right after it, and no shorter part of it reads as complete
//     (so a reply split across reads is taken only once all of it has come, and is the same reply);
//   - its text as a trace line is one bounded line without control characters, and an extension is found in
//     it as an EHLO reply only where the text holds the keyword after a line break.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "SmtpClientConnection.h"
#include "corvane/ulguard.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "smtp_reply_fuzz", pszWhat);
}

bool IsReplyLineCode(HRESULT hr) {
    return hr == E_SMTP_REPLY_CODE || hr == E_SMTP_REPLY_SEPARATOR || hr == E_SMTP_REPLY_CONTINUATION;
}

// Parses sBuffer; 1 complete, 0 more data needed, -1 raised (a reply-line code, checked here).
int ParseChecked(std::string_view sBuffer, CSmtpReply& Reply) {
    try {
        return ParseSmtpReply(sBuffer, Reply) ? 1 : 0;
    } catch (const corvane::CHResultException& Exception) {
        Check(IsReplyLineCode(Exception.GetResult()), "a malformed reply raised another code");
        return -1;
    }
}

}  // namespace

// Malformed replies are the common case here, and every one writes its "Exception" line: the trace goes to a
// folder that cannot be made, so the lines are dropped instead of filling a log.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("CORVANE_LOG_DIR", "/dev/null/smtp_reply_fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    std::string_view sBuffer(reinterpret_cast<const char*>(pData), cb);
    for (int nReplies = 0; !sBuffer.empty() && nReplies < 32; ++nReplies) {
        CSmtpReply Reply;
        if (ParseChecked(sBuffer, Reply) != 1) return 0;
        Check(Reply.nLength >= 4 && Reply.nLength <= sBuffer.size(), "the reply's length is outside the buffer");
        Check(sBuffer.substr(Reply.nLength - 2, 2) == "\r\n", "the reply does not end with CR LF");
        Check(Reply.nCode <= 9999999, "the code has more than seven digits");
        Check(Reply.sText.size() < Reply.nLength, "the text is longer than the reply");

        CSmtpReply Cut;
        Check(ParseChecked(sBuffer.substr(0, Reply.nLength), Cut) == 1, "the reply alone does not read");
        Check(Cut.nCode == Reply.nCode && Cut.sText == Reply.sText && Cut.nLength == Reply.nLength,
              "the reply alone reads differently");
        // Every line end inside the reply, and the byte before its last one: still incomplete there.
        for (std::size_t nEnd = 0;
             (nEnd = sBuffer.find("\r\n", nEnd)) != std::string_view::npos && nEnd + 2 < Reply.nLength; nEnd += 2) {
            CSmtpReply Part;
            Check(ParseChecked(sBuffer.substr(0, nEnd + 2), Part) == 0, "part of a reply reads as complete");
        }
        const std::string sTraceText = MakeSmtpTraceText(Reply.sText);
        Check(sTraceText.size() <= 303, "the trace text is longer than its bound");
        for (const char c : sTraceText)
            Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "the trace text holds a control character");
        if (SmtpReplyListsExtension(Reply.sText, "STARTTLS")) {
            std::string sUpper = Reply.sText;
            for (char& c : sUpper)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            Check(sUpper.find("\r\nSTARTTLS") != std::string::npos, "an extension was found that is not listed");
        }

        CSmtpReply Short;
        Check(ParseChecked(sBuffer.substr(0, Reply.nLength - 1), Short) == 0, "a reply without its LF is complete");
        sBuffer.remove_prefix(Reply.nLength);
    }
    return 0;
}
