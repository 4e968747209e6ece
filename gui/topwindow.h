// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

class QWidget;

namespace varnok {

/// Keeps a window above all others (true) or lets it go (false, which always returns 0); set it
/// before the window is shown, as changing it on a visible window hides it.
int32_t SetTopmost(QWidget* hwnd, bool on_top);

/// Makes sure a Qt application exists for the dialogs; throws AutomationError when no display
/// can be opened, instead of letting Qt abort the process.
void ensure_gui_application();

/// Shows a message box titled "comVarnok" with one OK button, with or without a stop icon.
void show_message(const std::string& text, bool stop_icon);

}  // namespace varnok
