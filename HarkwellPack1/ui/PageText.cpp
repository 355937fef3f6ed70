#include "PageText.h"

#include <vector>

#include "comrt/oleauto.h"
#include "comrt/systemerrors.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ullisttext.h"

namespace pack1ui {

namespace {

bool IsTrimmed(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool EqualsIgnoringCase(std::u16string_view sText, std::u16string_view sLower) {
    if (sText.size() != sLower.size()) return false;
    for (size_t i = 0; i < sText.size(); ++i) {
        const char16_t c = sText[i] >= u'A' && sText[i] <= u'Z' ? static_cast<char16_t>(sText[i] + 32) : sText[i];
        if (c != sLower[i]) return false;
    }
    return true;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

}  // namespace

std::u16string ListTextOfLines(std::u16string_view sText) {
    std::u16string sLines;
    sLines.reserve(sText.size());
    for (size_t i = 0; i < sText.size(); ++i) {
        // CR LF is one line break, and so is a CR alone (as the pattern dialect's \n has it): no item keeps a
        // line break.
        if (sText[i] == u'\r' && i + 1 < sText.size() && sText[i + 1] == u'\n') continue;
        sLines += sText[i] == u'\r' ? u'\n' : sText[i];
    }
    size_t nStart = 0;
    size_t nEnd = sLines.size();
    while (nStart < nEnd && IsTrimmed(sLines[nStart])) ++nStart;
    while (nEnd > nStart && IsTrimmed(sLines[nEnd - 1])) --nEnd;
    std::vector<std::u16string> Items;
    if (nEnd > nStart) {
        const std::u16string_view sBody = std::u16string_view(sLines).substr(nStart, nEnd - nStart);
        size_t nLine = 0;
        for (;;) {
            const size_t nBreak = sBody.find(u'\n', nLine);
            Items.emplace_back(sBody.substr(nLine, nBreak == std::u16string_view::npos ? nBreak : nBreak - nLine));
            if (nBreak == std::u16string_view::npos) break;
            nLine = nBreak + 1;
        }
    }
    return corvane::JoinList(Items);
}

std::u16string LinesOfListText(std::u16string_view sList) {
    std::u16string sLines;
    const std::vector<std::u16string> Items = corvane::SplitList(sList);
    for (size_t i = 0; i < Items.size(); ++i) {
        if (i > 0) sLines += u'\n';
        sLines += Items[i];
    }
    return sLines;
}

LONG ThresholdOfText(std::u16string_view sText) {
    size_t nStart = 0;
    size_t nEnd = sText.size();
    while (nStart < nEnd && IsTrimmed(sText[nStart])) ++nStart;
    while (nEnd > nStart && IsTrimmed(sText[nEnd - 1])) --nEnd;
    if (nStart == nEnd) return 0;
    VARIANT Value;
    VariantInit(&Value);
    Value.vt = VT_BSTR;
    Value.bstrVal = SysAllocStringLen(sText.data() + nStart, static_cast<UINT>(nEnd - nStart));
    if (Value.bstrVal == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    const HRESULT nResult = VariantChangeType(&Value, &Value, 0, VT_I4);
    if (FAILED(nResult)) VariantClear(&Value);
    if (FAILED(nResult)) {
        corvane::ThrowHResult(nResult);
    }
    return Value.lVal < 0 ? 0 : Value.lVal;
}

AuthenticationChoice ChoiceOfMethods(std::u16string_view sMethods) {
    bool bLogin = false;
    bool bDigest = false;
    for (const std::u16string& sMethod : corvane::SplitList(sMethods)) {
        bLogin = bLogin || EqualsIgnoringCase(sMethod, u"login");
        bDigest = bDigest || EqualsIgnoringCase(sMethod, u"cram-md5");
    }
    if (bLogin && bDigest) return AUTHENTICATION_DIGEST_OR_PLAIN;
    if (bLogin) return AUTHENTICATION_PLAIN;
    if (bDigest) return AUTHENTICATION_DIGEST;
    return AUTHENTICATION_NONE;
}

std::u16string MethodsOfChoice(LONG nChoice) {
    switch (nChoice) {
        case AUTHENTICATION_PLAIN:
            return corvane::JoinList({u"login"});
        case AUTHENTICATION_DIGEST:
            return corvane::JoinList({u"cram-md5"});
        case AUTHENTICATION_DIGEST_OR_PLAIN:
            // CRAM-MD5 is tried first.
            return corvane::JoinList({u"cram-md5", u"login"});
        default:
            return {};
    }
}

LONG PortOfText(std::u16string_view sText) {
    size_t i = 0;
    while (i < sText.size() && IsBlank(sText[i])) ++i;
    bool bNegative = false;
    if (i < sText.size() && (sText[i] == u'-' || sText[i] == u'+')) bNegative = sText[i++] == u'-';
    const size_t nDigits = i;
    long long nValue = 0;
    for (; i < sText.size() && sText[i] >= u'0' && sText[i] <= u'9'; ++i) {
        // Past the range of a port any further digit changes nothing: the object refuses it anyway.
        if (nValue <= 0x7FFFFFFF) nValue = nValue * 10 + (sText[i] - u'0');
    }
    if (i == nDigits) corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
    if (nValue > 0x7FFFFFFF) nValue = 0x7FFFFFFF;
    return static_cast<LONG>(bNegative ? -nValue : nValue);
}

std::u16string TextWithCrLf(std::u16string_view sText) {
    std::u16string sResult;
    sResult.reserve(sText.size() + sText.size() / 16);
    for (size_t i = 0; i < sText.size(); ++i) {
        if (sText[i] == u'\r' || sText[i] == u'\n') {
            sResult += u"\r\n";
            if (sText[i] == u'\r' && i + 1 < sText.size() && sText[i + 1] == u'\n') ++i;
        } else {
            sResult += sText[i];
        }
    }
    return sResult;
}

}  // namespace pack1ui
