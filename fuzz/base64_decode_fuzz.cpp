// Base64 decoding of arbitrary text, and encoding of arbitrary bytes. The decoder must agree with a plain
// character-at-a-time decoder, stay inside GetDecodeOutputSize, and fill a shorter output with a prefix of
// the same bytes. The encoder must stay inside GetEncodeOutputSize for every flag, and its text must decode
// back to the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Base64Reference.h"
#include "FuzzInput.h"
#include "corvane/ulbase64.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "base64_decode_fuzz", pszWhat);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    const char* pszText = reinterpret_cast<const char*>(pData);
    const std::vector<std::uint8_t> expected = fuzzing::ReferenceBase64Decode(pszText, cb);

    // Exactly the bound, on the heap, so that AddressSanitizer sees a write past it.
    const std::size_t nBound = _Base64Helper::GetDecodeOutputSize(cb);
    std::vector<BYTE> out(nBound);
    const std::size_t n = _Base64Helper::Decode(pszText, cb, out.data(), out.size());
    Check(n <= nBound, "decoded beyond the bound");
    Check(n == expected.size() && std::equal(expected.begin(), expected.end(), out.begin()),
          "differs from the plain decoder");

    if (n != 0) {
        std::vector<BYTE> shorter(n / 2 + (cb & 1));
        const std::size_t nShort = _Base64Helper::Decode(pszText, cb, shorter.data(), shorter.size());
        Check(nShort == std::min(shorter.size(), n), "a short output is not filled");
        Check(std::equal(shorter.begin(), shorter.begin() + nShort, expected.begin()), "a short output differs");
    }

    for (DWORD dwFlags = 0; dwFlags < 4; ++dwFlags) {
        const std::size_t nEncodeBound = _Base64Helper::GetEncodeOutputSize(cb, dwFlags);
        std::vector<char> text(nEncodeBound);
        const std::size_t nText = _Base64Helper::Encode(pData, cb, text.data(), text.size(), dwFlags);
        Check(nText <= nEncodeBound, "encoded beyond the bound");
        Check(cb == 0 || nText >= (4 * cb + 2) / 3, "encoded text too short");
        const std::vector<std::uint8_t> back = fuzzing::ReferenceBase64Decode(text.data(), nText);
        Check(back.size() == cb && std::equal(back.begin(), back.end(), pData), "encoding does not round-trip");
    }
    return 0;
}
