// GUID text parsing on arbitrary input. Whatever parses must be exactly the brace form: formatting the result
// must give the input back (up to the case of the hexadecimal digits), and parse again to the same GUID.
// Anything else must fail with the class-string or interface-string error and leave GUID_NULL behind.
//
// The first input byte chooses how the rest becomes UTF-16: even, one character per byte (so that the fuzzer
// reaches the brace form quickly); odd, little-endian byte pairs (so that every code unit is reachable).
// CLSIDFromString is called only for text that starts with a brace: other text is a ProgID and goes to the
// registry, which is not what this target is about. IIDFromString takes every text through the same parser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "comrt/runtime.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "guid_text_fuzz", pszWhat);
}

std::u16string Decode(const std::uint8_t* pData, std::size_t cb) {
    return fuzzing::DecodeText(pData, cb);
}

char16_t Upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    const std::u16string text = Decode(pData, cb);
    const std::u16string visible = text.substr(0, text.find(u'\0'));  // what a NUL-terminated reader sees

    IID iid = MakeGuid("{11111111-1111-1111-1111-111111111111}");
    const HRESULT hrIid = IIDFromString(text.c_str(), &iid);
    Check(hrIid == S_OK || hrIid == CO_E_IIDSTRING, "unexpected IIDFromString result");
    if (!visible.empty() && visible[0] == u'{') {
        CLSID clsid = MakeGuid("{22222222-2222-2222-2222-222222222222}");
        const HRESULT hrClsid = CLSIDFromString(text.c_str(), &clsid);
        Check((hrClsid == S_OK) == (hrIid == S_OK), "CLSIDFromString and IIDFromString disagree on brace text");
        Check(hrClsid == S_OK || hrClsid == CO_E_CLASSSTRING, "unexpected CLSIDFromString result");
        Check(clsid == iid, "CLSIDFromString and IIDFromString give different values");
    }
    if (FAILED(hrIid)) {
        Check(iid == GUID_NULL, "failed parse left a value behind");
        return 0;
    }

    OLECHAR sz[39];
    Check(StringFromGUID2(iid, sz, 39) == 39, "StringFromGUID2 did not write 39 characters");
    const std::u16string formatted(sz);
    Check(formatted.size() == visible.size(), "formatted text differs in length from the parsed text");
    for (std::size_t i = 0; i < visible.size(); ++i)
        Check(Upper(visible[i]) == formatted[i], "formatted text differs from the parsed text");
    IID again{};
    Check(IIDFromString(sz, &again) == S_OK && again == iid, "formatted text does not parse back");
    return 0;
}
