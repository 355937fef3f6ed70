#include "Pack1PropertyPage.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "comrt/qtwindows.h"
#include "corvane/uldebug.h"
#include "corvane/ulwindow.h"

namespace pack1ui {

namespace {

DISPID DispatchIdOf(IDispatch* pDispatch, const char16_t* pszName) {
    corvane::CheckPointer(pDispatch);
    LPOLESTR pszNames[] = {const_cast<LPOLESTR>(pszName)};
    DISPID nDispid = DISPID_UNKNOWN;
    UL_CHECK(pDispatch->GetIDsOfNames(IID_NULL, pszNames, 1, LOCALE_USER_DEFAULT, &nDispid));
    return nDispid;
}

}  // namespace

void GetProperty(IDispatch* pDispatch, const char16_t* pszName, VARIANT* pValue) {
    const DISPID nDispid = DispatchIdOf(pDispatch, pszName);
    DISPPARAMS Parameters{nullptr, nullptr, 0, 0};
    VariantClear(pValue);
    UL_CHECK(pDispatch->Invoke(nDispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &Parameters, pValue,
                               nullptr, nullptr));
}

std::u16string GetTextProperty(IDispatch* pDispatch, const char16_t* pszName) {
    CVariant Value;
    GetProperty(pDispatch, pszName, &Value);
    UL_CHECK(VariantChangeType(&Value, &Value, 0, VT_BSTR));
    return Value.bstrVal != nullptr ? std::u16string(Value.bstrVal, SysStringLen(Value.bstrVal)) : std::u16string();
}

LONG GetNumberProperty(IDispatch* pDispatch, const char16_t* pszName) {
    CVariant Value;
    GetProperty(pDispatch, pszName, &Value);
    UL_CHECK(VariantChangeType(&Value, &Value, 0, VT_I4));
    return Value.lVal;
}

void PutProperty(IDispatch* pDispatch, const char16_t* pszName, const VARIANT& Value) {
    const DISPID nDispid = DispatchIdOf(pDispatch, pszName);
    CVariant Copy;
    UL_CHECK(VariantCopy(&Copy, &Value));
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Parameters{&Copy, &nNamed, 1, 1};
    UL_CHECK(pDispatch->Invoke(nDispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &Parameters, nullptr,
                               nullptr, nullptr));
}

void PutTextProperty(IDispatch* pDispatch, const char16_t* pszName, std::u16string_view sValue) {
    CVariant Value;
    Value.vt = VT_BSTR;
    Value.bstrVal = SysAllocStringLen(sValue.data(), static_cast<UINT>(sValue.size()));
    if (Value.bstrVal == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    PutProperty(pDispatch, pszName, Value);
}

void PutNumberProperty(IDispatch* pDispatch, const char16_t* pszName, LONG nValue) {
    CVariant Value;
    Value.vt = VT_I4;
    Value.lVal = nValue;
    PutProperty(pDispatch, pszName, Value);
}

std::u16string DecimalText(LONG nValue) {
    const std::string sText = std::to_string(nValue);
    return std::u16string(sText.begin(), sText.end());
}

CWaitCursor::CWaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

CWaitCursor::~CWaitCursor() {
    QApplication::restoreOverrideCursor();
}

void WatchControl(HWND hPage, int nId, std::function<void(int nId)> Handler) {
    QWidget* pControl = WidgetFromHandle(GetDlgItem(hPage, nId));
    UL_ASSERT(pControl != nullptr);
    if (pControl == nullptr) return;
    auto Changed = corvane::GuardedHandler(hPage, [Handler, nId] { Handler(nId); });
    if (auto* pEdit = qobject_cast<QLineEdit*>(pControl))
        QObject::connect(pEdit, &QLineEdit::textChanged, pEdit, Changed);
    else if (auto* pText = qobject_cast<QPlainTextEdit*>(pControl))
        QObject::connect(pText, &QPlainTextEdit::textChanged, pText, Changed);
    else if (auto* pCombo = qobject_cast<QComboBox*>(pControl))
        QObject::connect(pCombo, &QComboBox::activated, pCombo, Changed);
    else if (auto* pButton = qobject_cast<QAbstractButton*>(pControl))
        QObject::connect(pButton, &QAbstractButton::clicked, pButton, Changed);
    else
        UL_ASSERT(!"a control that can be watched");
}

}  // namespace pack1ui
