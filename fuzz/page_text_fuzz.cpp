// What the plug-in's pages make of typed text, on arbitrary input: the name expression lines (their list
// text is stable: shown as lines and taken again it gives itself), the body's line breaks as CR LF, a threshold (never
// negative), a port (only a text with a digit gives one) and the authentication methods (one of the four choices, whose
// list chooses it again).
//
// The first input byte chooses how the rest becomes UTF-16 (see FuzzInput.h).
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "PageText.h"
#include "corvane/ulguard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    const std::u16string sText = fuzzing::DecodeText(pData, cb);

    const std::u16string sList = pack1ui::ListTextOfLines(sText);
    fuzzing::Check(pack1ui::ListTextOfLines(pack1ui::LinesOfListText(sList)) == sList, "page_text_fuzz",
                   "the list text of the shown lines is not the list text");

    // Line breaks as CR LF: no CR or LF stands alone, and a second pass changes nothing.
    const std::u16string sCrLf = pack1ui::TextWithCrLf(sText);
    for (std::size_t i = 0; i < sCrLf.size(); ++i) {
        if (sCrLf[i] == u'\r')
            fuzzing::Check(i + 1 < sCrLf.size() && sCrLf[i + 1] == u'\n', "page_text_fuzz", "a CR alone");
        if (sCrLf[i] == u'\n') fuzzing::Check(i > 0 && sCrLf[i - 1] == u'\r', "page_text_fuzz", "an LF alone");
    }
    fuzzing::Check(pack1ui::TextWithCrLf(sCrLf) == sCrLf, "page_text_fuzz", "CR LF text is changed again");

    try {
        fuzzing::Check(pack1ui::ThresholdOfText(sText) >= 0, "page_text_fuzz", "a negative threshold");
    } catch (const corvane::CHResultException&) {
    }

    bool bDigit = false;
    for (const char16_t c : sText) bDigit = bDigit || (c >= u'0' && c <= u'9');
    try {
        pack1ui::PortOfText(sText);
        fuzzing::Check(bDigit, "page_text_fuzz", "a port from a text without digits");
    } catch (const corvane::CHResultException&) {
    }

    const pack1ui::AuthenticationChoice nChoice = pack1ui::ChoiceOfMethods(sText);
    fuzzing::Check(nChoice >= pack1ui::AUTHENTICATION_NONE && nChoice <= pack1ui::AUTHENTICATION_DIGEST_OR_PLAIN,
                   "page_text_fuzz", "a choice outside the list");
    fuzzing::Check(pack1ui::ChoiceOfMethods(pack1ui::MethodsOfChoice(nChoice)) == nChoice, "page_text_fuzz",
                   "a choice's methods choose another");
    return 0;
}
