// Arbitrary bytes as the record behind a scenario's State text, as a damaged or hostile registry value would
// hold it. Besides not crashing or leaking: a State that was applied reads back, and applying what it reads
// gives the same text again; the stored-form check that loading runs first passes every State that applies
// (so no good scenario is skipped as damaged), and it reads the bytes as a whole stored value without harm.
// The test activity and notification classes are registered, so stored objects are created and loaded
// through them.
#include <cstddef>
#include <cstdint>

#include "../HarkwellServer/tests/ScenarioTestObjects.h"
#include "FuzzInput.h"
#include "Scenario.h"
#include "corvane/ulmemorystream.h"

namespace {

void Check(bool bCondition, const char* pszWhat) {
    fuzzing::Check(bCondition, "scenario_state_fuzz", pszWhat);
}

BSTR StateText(const std::uint8_t* pData, std::size_t cb) {
    CMemoryStreamObject* pStreamObject = nullptr;
    if (FAILED(CMemoryStreamObject::CreateInstance(&pStreamObject))) return nullptr;
    CComPtr<CMemoryStreamObject> pStream;
    pStream.Attach(pStreamObject);
    ULONG nWritten = 0;
    if (cb != 0) pStream->Write(pData, static_cast<ULONG>(cb), &nWritten);
    BSTR sText = nullptr;
    _MemoryStreamHelper::BstrFromMemoryStream(pStream, &sText);
    return sText;
}

CComPtr<CMemoryStreamObject> StreamOf(const void* pData, std::size_t cb) {
    CMemoryStreamObject* pStreamObject = nullptr;
    Check(SUCCEEDED(CMemoryStreamObject::CreateInstance(&pStreamObject)), "no stream");
    CComPtr<CMemoryStreamObject> pStream;
    pStream.Attach(pStreamObject);
    ULONG nWritten = 0;
    if (cb != 0) pStream->Write(pData, static_cast<ULONG>(cb), &nWritten);
    LARGE_INTEGER Start{};
    pStream->Seek(Start, STREAM_SEEK_SET, nullptr);
    return pStream;
}

// The stored value of a scenario whose State is sState, as the storage writes it.
CComPtr<CMemoryStreamObject> StoredValueOf(BSTR sState) {
    CComPtr<CMemoryStreamObject> pStream = StreamOf(nullptr, 0);
    Check(SUCCEEDED(_PersistHelper::WriteUInt32(pStream, UL_PERSIST_STREAM_VERSION)), "no version");
    VARIANT vState;
    VariantInit(&vState);
    vState.vt = VT_BSTR;
    vState.bstrVal = sState;
    Check(SUCCEEDED(CComVariantArray::WriteToStream(pStream, &vState)), "no State block");
    LARGE_INTEGER Start{};
    pStream->Seek(Start, STREAM_SEEK_SET, nullptr);
    return pStream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cb) {
    // Registered for the whole run.
    static CFakeClassRegistrations* const pClasses = [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        return new CFakeClassRegistrations;
    }();
    (void)pClasses;

    BSTR sState = StateText(pData, cb);
    CComObjectT<CScenario>* pScenarioObject = nullptr;
    Check(SUCCEEDED(CComObjectT<CScenario>::CreateInstance(&pScenarioObject)), "no scenario");
    CComPtr<CComObjectT<CScenario>> pScenario;
    pScenario.Attach(pScenarioObject);
    CScenario::CheckStoredForm(StreamOf(pData, cb));
    if (SUCCEEDED(pScenario->put_State(sState))) {
        Check(SUCCEEDED(CScenario::CheckStoredForm(StoredValueOf(sState))), "a State that applies fails the check");
        BSTR sFirst = nullptr;
        Check(SUCCEEDED(pScenario->get_State(&sFirst)), "an applied State does not read back");
        CComObjectT<CScenario>* pCopyObject = nullptr;
        Check(SUCCEEDED(CComObjectT<CScenario>::CreateInstance(&pCopyObject)), "no scenario");
        CComPtr<CComObjectT<CScenario>> pCopy;
        pCopy.Attach(pCopyObject);
        Check(SUCCEEDED(pCopy->put_State(sFirst)), "a State read back does not apply");
        BSTR sSecond = nullptr;
        Check(SUCCEEDED(pCopy->get_State(&sSecond)), "a copied State does not read back");
        Check(Text(sFirst) == Text(sSecond), "the State text changes on a round trip");
        SysFreeString(sFirst);
        SysFreeString(sSecond);
    }
    SysFreeString(sState);
    return 0;
}
