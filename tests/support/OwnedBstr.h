// A BSTR made for one call and freed at the end of its scope, for tests and benchmarks that hand texts to
// the objects' BSTR parameters.
#pragma once

#include <string>
#include <string_view>

#include "comrt/oleauto.h"

class CBstr {
public:
    explicit CBstr(std::u16string_view sText) : m_s(SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size()))) {}
    // Empty, for an [out] parameter: &Bstr receives the text.
    CBstr() = default;
    ~CBstr() { SysFreeString(m_s); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    operator BSTR() const { return m_s; }
    BSTR* operator&() { return &m_s; }
    std::u16string Text() const { return std::u16string(m_s ? m_s : u"", SysStringLen(m_s)); }

private:
    BSTR m_s = nullptr;
};
