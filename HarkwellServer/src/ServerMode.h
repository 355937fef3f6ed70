// Whether the program runs as the system service. The server module decides it at start-up; the objects
// that behave differently in Service Mode ask here.
#pragma once

bool IsServiceMode() noexcept;
void SetServiceMode(bool bServiceMode) noexcept;
