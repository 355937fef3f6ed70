// Streams made from arbitrary text. The first byte chooses the text: bit 1 set, the rest are the raw bytes of
// the string (as a string of bytes is stored); clear, the input becomes UTF-16 as FuzzInput.h describes. The
// stream must be made, be positioned at 0, hold exactly what a plain decoder gets from the text the helper
// takes (wide or byte text by the same rule), never be larger than that text can decode to, and its own text
// form must read back to the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Base64Reference.h"
#include "FuzzInput.h"
#include "comrt/oleauto.h"
#include "corvane/ulbase64.h"
#include "corvane/ulmemorystream.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "memory_stream_from_bstr_fuzz", pszWhat);
}

// The text the helper decodes: wide text narrowed (beyond ASCII becomes '?'), or the string's bytes.
std::string TextOf(BSTR b) {
    const UINT cb = SysStringByteLen(b);
    const auto* p = reinterpret_cast<const char*>(b);
    if (cb == 0 || (cb > 1 && p[1] == 0)) {
        std::string s;
        for (UINT i = 0; i < SysStringLen(b); ++i) s += b[i] < 0x80 ? static_cast<char>(b[i]) : '?';
        return s;
    }
    return std::string(p, cb);
}

std::vector<BYTE> Content(CMemoryStream* p) {
    return {p->GetData(), p->GetData() + p->GetSize()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    BSTR bstr = nullptr;
    if (cb != 0 && (pData[0] & 2) != 0) {
        bstr = SysAllocStringByteLen(reinterpret_cast<const char*>(pData + 1), static_cast<UINT>(cb - 1));
    } else {
        const std::u16string text = fuzzing::DecodeText(pData, cb);
        bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    Check(bstr != nullptr, "no string");

    const std::string text = TextOf(bstr);
    const std::vector<std::uint8_t> expected = fuzzing::ReferenceBase64Decode(text.data(), text.size());

    CMemoryStreamObject* pStream = nullptr;
    Check(_MemoryStreamHelper::MemoryStreamFromBstr(bstr, &pStream) == S_OK && pStream != nullptr, "no stream");
    Check(pStream->GetPosition() == 0, "not positioned at 0");
    Check(pStream->GetSize() <= _Base64Helper::GetDecodeOutputSize(text.size()), "larger than the text allows");
    const std::vector<BYTE> content = Content(pStream);
    Check(content.size() == expected.size() && std::equal(content.begin(), content.end(), expected.begin()),
          "differs from the plain decoder");

    BSTR back = nullptr;
    Check(_MemoryStreamHelper::BstrFromMemoryStream(pStream, &back) == S_OK && back != nullptr, "no text");
    CMemoryStreamObject* pAgain = nullptr;
    Check(_MemoryStreamHelper::MemoryStreamFromBstr(back, &pAgain) == S_OK && pAgain != nullptr, "no second stream");
    Check(Content(pAgain) == content, "text form does not read back");

    pAgain->Release();
    pStream->Release();
    SysFreeString(back);
    SysFreeString(bstr);
    return 0;
}
