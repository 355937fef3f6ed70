// List and combo box wrappers that own the data of their items: each item carries a copy of a value of the
// item data type, kept by the wrapper and freed with it or when the item goes.
//
//   CUlComboBoxT<LONG> m_ModeCombo;      // attached by the control map
//   m_ModeCombo.Initialize();            // the lines of the string resource numbered like the control
//   m_ModeCombo.SetCurSel(m_ModeCombo.FindItemData(nMode));
#pragma once

#include <QComboBox>
#include <QTreeWidget>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "comrt/qtwindows.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulresource.h"

namespace corvane {

// The lines of a string resource, split at line feeds; the empty text after the last one is not a line.
std::vector<std::u16string> SplitResourceLines(std::u16string_view sText);

template <class TData = LONG>
class CUlComboBoxT {
public:
    void Attach(HWND hWnd) {
        m_hWnd = hWnd;
        m_Data.clear();
    }
    HWND GetWindow() const noexcept { return m_hWnd; }
    QComboBox* Control() const noexcept { return qobject_cast<QComboBox*>(WidgetFromHandle(m_hWnd)); }

    // Fills the box from the string resource whose number is the control's identifier: each line in order,
    // with its index (0, 1, 2, ...) as its data.
    void Initialize() {
        QComboBox* pCombo = Control();
        UL_ASSERT(pCombo != nullptr);
        if (pCombo == nullptr) return;
        const std::vector<std::u16string> Lines =
            SplitResourceLines(LoadStringResource(static_cast<UINT>(GetDlgCtrlID(m_hWnd))));
        ResetContent();
        for (size_t i = 0; i < Lines.size(); ++i) AddString(Lines[i], static_cast<TData>(i));
    }
    void ResetContent() {
        if (QComboBox* pCombo = Control()) pCombo->clear();
        m_Data.clear();
    }
    int AddString(std::u16string_view sText, const TData& Data) {
        QComboBox* pCombo = Control();
        UL_ASSERT(pCombo != nullptr);
        if (pCombo == nullptr) return -1;
        pCombo->addItem(QString::fromUtf16(sText.data(), static_cast<qsizetype>(sText.size())));
        const int nIndex = pCombo->count() - 1;
        UL_ASSERT(nIndex >= 0);
        m_Data.push_back(std::make_unique<TData>(Data));
        return nIndex;
    }
    int GetCount() const {
        QComboBox* pCombo = Control();
        return pCombo != nullptr ? pCombo->count() : 0;
    }
    const TData& GetItemData(int nIndex) const {
        UL_ASSERT(nIndex >= 0 && static_cast<size_t>(nIndex) < m_Data.size());
        if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_Data.size()) ThrowHResult(E_INVALIDARG);
        return *m_Data[static_cast<size_t>(nIndex)];
    }
    // The index of the first item whose data equals Data, or -1.
    int FindItemData(const TData& Data) const {
        for (size_t i = 0; i < m_Data.size(); ++i)
            if (*m_Data[i] == Data) return static_cast<int>(i);
        return -1;
    }
    int GetCurSel() const {
        QComboBox* pCombo = Control();
        return pCombo != nullptr ? pCombo->currentIndex() : -1;
    }
    void SetCurSel(int nIndex) {
        if (QComboBox* pCombo = Control()) pCombo->setCurrentIndex(nIndex);
    }
    // The data of the selected item; Default when none is selected.
    TData GetCurSelData(const TData& Default = TData()) const {
        const int nIndex = GetCurSel();
        return nIndex < 0 ? Default : GetItemData(nIndex);
    }

private:
    HWND m_hWnd = nullptr;
    std::vector<std::unique_ptr<TData>> m_Data;
};

// A report list: the items' texts come from a callback (column by column) when they are inserted or
// updated, so that a list shows its data as it is now.
template <class TData>
class CUlListViewT {
public:
    using TextCallback = std::function<std::u16string(const TData& Data, int nColumn)>;

    void Attach(HWND hWnd) {
        m_hWnd = hWnd;
        m_Data.clear();
    }
    HWND GetWindow() const noexcept { return m_hWnd; }
    QTreeWidget* Control() const noexcept { return qobject_cast<QTreeWidget*>(WidgetFromHandle(m_hWnd)); }
    void SetTextCallback(TextCallback Callback) { m_TextCallback = std::move(Callback); }

    void InsertColumn(int nColumn, std::u16string_view sTitle, int nWidth) {
        QTreeWidget* pList = Control();
        UL_ASSERT(pList != nullptr);
        if (pList == nullptr) return;
        QTreeWidgetItem* pHeader = pList->headerItem();
        if (pList->columnCount() <= nColumn) pList->setColumnCount(nColumn + 1);
        pHeader->setText(nColumn, QString::fromUtf16(sTitle.data(), static_cast<qsizetype>(sTitle.size())));
        pList->setColumnWidth(nColumn, nWidth);
    }
    // Inserts an item with a copy of Data at nIndex (at the end when nIndex is past it); the index, or -1.
    int InsertItem(int nIndex, const TData& Data) {
        QTreeWidget* pList = Control();
        UL_ASSERT(pList != nullptr);
        if (pList == nullptr) return -1;
        if (nIndex < 0 || nIndex > pList->topLevelItemCount()) nIndex = pList->topLevelItemCount();
        auto pCopy = std::make_unique<TData>(Data);
        auto* pItem = new QTreeWidgetItem;
        pList->insertTopLevelItem(nIndex, pItem);
        m_Data.insert(m_Data.begin() + nIndex, std::move(pCopy));
        UpdateItem(nIndex);
        return nIndex;
    }
    void DeleteItem(int nIndex) {
        QTreeWidget* pList = Control();
        if (pList == nullptr || nIndex < 0 || nIndex >= pList->topLevelItemCount()) return;
        delete pList->takeTopLevelItem(nIndex);
        m_Data.erase(m_Data.begin() + nIndex);
    }
    void DeleteAllItems() {
        if (QTreeWidget* pList = Control()) pList->clear();
        m_Data.clear();
    }
    int GetItemCount() const { return static_cast<int>(m_Data.size()); }
    // The item's data; asserts the item has data (raises E_INVALIDARG when it has not).
    TData& DataFromItemData(int nIndex) {
        UL_ASSERT(nIndex >= 0 && static_cast<size_t>(nIndex) < m_Data.size());
        if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_Data.size()) ThrowHResult(E_INVALIDARG);
        return *m_Data[static_cast<size_t>(nIndex)];
    }
    // Asks the callback for the item's texts again.
    void UpdateItem(int nIndex) {
        QTreeWidget* pList = Control();
        if (pList == nullptr || !m_TextCallback) return;
        QTreeWidgetItem* pItem = pList->topLevelItem(nIndex);
        if (pItem == nullptr) return;
        for (int nColumn = 0; nColumn < std::max(1, pList->columnCount()); ++nColumn) {
            const std::u16string sText = m_TextCallback(*m_Data[static_cast<size_t>(nIndex)], nColumn);
            pItem->setText(nColumn, QString::fromUtf16(sText.data(), static_cast<qsizetype>(sText.size())));
        }
    }
    int GetSelectedIndex() const {
        QTreeWidget* pList = Control();
        if (pList == nullptr || pList->currentItem() == nullptr) return -1;
        return pList->indexOfTopLevelItem(pList->currentItem());
    }

private:
    HWND m_hWnd = nullptr;
    std::vector<std::unique_ptr<TData>> m_Data;
    TextCallback m_TextCallback;
};

}  // namespace corvane
