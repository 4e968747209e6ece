#pragma once

#include <cstdint>

class QWidget;

namespace varnok {

/// Keeps a window above all others (true) or lets it go (false, which always returns 0); set it
/// before the window is shown, as changing it on a visible window hides it.
int32_t SetTopmost(QWidget* hwnd, bool on_top);

/// Makes sure a Qt application exists for the dialogs; throws AutomationError when no display
/// can be opened, instead of letting Qt abort the process.
void ensure_gui_application();

}  // namespace varnok
