// Window handles and the Qt widgets behind them, for user-interface modules that build on Qt directly.
#pragma once

#include <QWidget>

#include "comrt/ui.h"

// The handle of a widget, registered on first use for as long as the widget lives; null for null.
COMRT_API HWND HandleFromWidget(QWidget* pWidget) noexcept;
// The widget of a live window handle; null for a handle that names no live window.
COMRT_API QWidget* WidgetFromHandle(HWND hWnd) noexcept;
