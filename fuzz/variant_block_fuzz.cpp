// Arbitrary bytes read as a variant block, as a stored scenario or a registry "variant:" value may hold
// them. Besides not crashing or leaking:
//   - a failed read leaves the target empty;
//   - a value that was read writes back, and what it writes reads back to a value that writes the very same
//     bytes again (the stored form is stable after one round);
//   - reading consumes no more than the input, in whatever pieces the stream hands out.
// No class is registered, so stored objects read as no object. The first byte chooses the largest piece a
// single stream read hands out (1 to 256 bytes, or everything).
#include <cstddef>
#include <cstdint>

#include "../corvane/tests/persist_stream.h"
#include "FuzzInput.h"
#include "corvane/ulpersist.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "variant_block_fuzz", pszWhat);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    if (cb == 0) return 0;
    CTestStream Input(std::vector<BYTE>(pData + 1, pData + cb));
    Input.m_nMaxRead = pData[0] == 0 ? 0xFFFFFFFFu : pData[0];
    CComVariantArray Value;
    const HRESULT hr = Value.ReadFromStream(&Input);
    Check(Input.m_nPosition <= cb - 1, "read past the end of the stream");
    if (FAILED(hr)) {
        Check(Value.vt == VT_EMPTY, "a failed read left a value");
        return 0;
    }

    CTestStream First;
    Check(SUCCEEDED(Value.WriteToStream(&First)), "a value that was read does not write");
    First.Rewind();
    CComVariantArray Again;
    Check(SUCCEEDED(Again.ReadFromStream(&First)), "a written value does not read back");
    Check(First.m_nPosition == First.m_Data.size(), "a written value reads back short");
    CTestStream Second;
    Check(SUCCEEDED(Again.WriteToStream(&Second)), "a re-read value does not write");
    Check(First.m_Data == Second.m_Data, "the stored form changed in the second round");
    return 0;
}
