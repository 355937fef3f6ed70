// The window half of the foundation library: the exception guard of every window, centred and timed message
// boxes, the control map, and the placement helpers of frames and sheets. Compiled only into user-interface
// modules (it links libcomrtui and with it the toolkit).
//
// A window's handlers run inside the guard: a failure is traced and shown in an error box centred on the
// window, and the window goes on working.
//
//   connect(pButton, &QPushButton::clicked, corvane::GuardedHandler(m_hWnd, [this] { Browse(); }));
#pragma once

#include <QWidget>
#include <chrono>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include "comrt/qtwindows.h"
#include "comrt/ui.h"
#include "corvane/ulguard.h"

namespace corvane {

// Captions of the message boxes of this family.
constexpr UINT IDS_CAPTION_INFORMATION = 57088;
constexpr UINT IDS_CAPTION_WARNING = 57089;
constexpr UINT IDS_CAPTION_ERROR = 57090;
constexpr UINT IDS_CAPTION_CONFIRMATION = 57091;

// A message box text: a string resource (a number below 65536) or a text.
class CMessageText {
public:
    CMessageText(UINT nResourceId) : m_nResourceId(nResourceId) {}  // NOLINT: implicit by design
    CMessageText(const char16_t* pszText) : m_sText(pszText != nullptr ? pszText : u"") {}
    CMessageText(std::u16string sText) : m_sText(std::move(sText)) {}
    std::u16string Resolve() const;

private:
    UINT m_nResourceId = 0;
    std::u16string m_sText;
};

// A message box centred on its owner.
class CMessageBox {
public:
    CMessageBox(HWND hOwner, CMessageText Text, CMessageText Caption, UINT uType)
        : m_hOwner(hOwner), m_Text(std::move(Text)), m_Caption(std::move(Caption)), m_uType(uType) {}
    virtual ~CMessageBox() = default;
    // The button chosen (IDOK, IDYES, ...).
    virtual int DoModal();

protected:
    // Runs with the box made and centred, before it is shown.
    virtual void OnCreate(HWND /*hBox*/) {}

    HWND m_hOwner;
    CMessageText m_Text;
    CMessageText m_Caption;
    UINT m_uType;
};

// A message box that closes by itself: its caption counts down the seconds left, and after the time-out it
// ends with 0. The clock is settable, for tests.
class CTimedMessageBox : public CMessageBox {
public:
    using Clock = std::function<std::chrono::milliseconds()>;
    static constexpr DWORD DEFAULT_TIMEOUT = 10000;
    static constexpr DWORD UPDATE_INTERVAL = 250;

    CTimedMessageBox(HWND hOwner, CMessageText Text, CMessageText Caption, UINT uType, DWORD nTimeout = DEFAULT_TIMEOUT)
        : CMessageBox(hOwner, std::move(Text), std::move(Caption), uType), m_nTimeout(nTimeout) {}
    // 0 when the box timed out, else the button chosen.
    int DoModal() override;
    bool IsTimedOut() const noexcept { return m_bTimedOut; }
    void SetClock(Clock NewClock) { m_Clock = std::move(NewClock); }
    // The caption for nRemaining milliseconds left: the caption cut at its last "(" and trimmed, then
    // " (closing in N seconds)" with N rounded.
    static std::u16string FormatCaption(std::u16string_view sCaption, long long nRemaining);

protected:
    void OnCreate(HWND hBox) override;

private:
    std::chrono::milliseconds Now() const;
    void Update(HWND hBox);

    DWORD m_nTimeout;
    Clock m_Clock;
    std::chrono::milliseconds m_EndTime{0};
    bool m_bTimedOut = false;
};

// Centres a window on its owner (the screen without one).
bool CentreWindow(HWND hWnd, HWND hOwner) noexcept;
// A frame whose top-left corner lies exactly on its owner's is moved right and down by a border and a
// caption, so that it does not hide the owner exactly.
void OffsetFromSimilarParent(HWND hFrame) noexcept;

// What the guard does with a failure caught in a handler of window hWnd: the trace line (already written by
// the catch) and an error box on the window with the system message of the code.
void ShowWindowException(HWND hWnd, HRESULT nResult) noexcept;

// Runs Body inside the window guard: true when it completed.
template <class Body>
bool GuardedWindowCall(HWND hWnd, Body&& body, const char* pszSourcePath = __builtin_FILE(),
                       int nLine = __builtin_LINE(), const char* pszFunctionName = __builtin_FUNCTION()) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        const HRESULT nResult = CatchException(CDebugTraceLocalContext(pszSourcePath, nLine, pszFunctionName));
        ShowWindowException(hWnd, nResult);
        return false;
    }
}

// A handler for a Qt signal that runs inside the guard of window hWnd; a handler that takes no arguments
// ignores the signal's.
template <class Handler>
auto GuardedHandler(HWND hWnd, Handler handler, const char* pszSourcePath = __builtin_FILE(),
                    int nLine = __builtin_LINE(), const char* pszFunctionName = __builtin_FUNCTION()) {
    return [hWnd, handler = std::move(handler), pszSourcePath, nLine, pszFunctionName](auto&&... Arguments) {
        GuardedWindowCall(
            hWnd,
            [&] {
                if constexpr (std::is_invocable_v<const Handler&, decltype(Arguments)...>)
                    handler(std::forward<decltype(Arguments)>(Arguments)...);
                else
                    handler();
            },
            pszSourcePath, nLine, pszFunctionName);
    };
}

// The control map: rows of (dialog item identifier, member that receives the control), in order, ended by a
// row of zeros. A member is a window handle, or a control wrapper (anything with Attach(HWND)); a row may
// name an initialisation function that gets the member and the control instead.
//
//   BEGIN_UL_CONTROL_MAP(CPingPage)
//   UL_CONTROL_ENTRY(1001, m_hHostEdit)
//   UL_CONTROL_ENTRY_INITIALIZE(1002, m_ModeCombo, InitializeModeCombo)
//   END_UL_CONTROL_MAP()
template <class T>
class CWindowWithControlsT {
public:
    struct CControlMapEntry {
        int nId;
        void (*pAttach)(T& Window, HWND hControl);
    };

    void InitializeControls(HWND hDialog) {
        const CControlMapEntry* pMap = T::GetControlMap();
        UL_ASSERT(pMap != nullptr);
        if (pMap == nullptr) return;
        for (; pMap->nId != 0 || pMap->pAttach != nullptr; ++pMap)
            pMap->pAttach(static_cast<T&>(*this), GetDlgItem(hDialog, pMap->nId));
    }
};

// What a control map row does with a member: a handle takes the control's handle, a wrapper attaches it.
inline void AttachControl(HWND& hMember, HWND hControl) {
    hMember = hControl;
}
template <class W>
void AttachControl(W& Member, HWND hControl) {
    Member.Attach(hControl);
}

}  // namespace corvane

#define BEGIN_UL_CONTROL_MAP(Class)                                                                   \
    static const typename ::corvane::CWindowWithControlsT<Class>::CControlMapEntry* GetControlMap() { \
        using CControlMapClass = Class;                                                               \
        static const typename ::corvane::CWindowWithControlsT<Class>::CControlMapEntry kControlMap[] = {
#define UL_CONTROL_ENTRY(nId, Member) \
    {(nId), [](CControlMapClass& Window, HWND hControl) { ::corvane::AttachControl(Window.Member, hControl); }},
#define UL_CONTROL_ENTRY_INITIALIZE(nId, Member, Function) \
    {(nId), [](CControlMapClass& Window, HWND hControl) { Window.Function(Window.Member, hControl); }},
#define END_UL_CONTROL_MAP() \
    { 0, nullptr }           \
    }                        \
    ;                        \
    return kControlMap;      \
    }
