// SPDX-License-Identifier: Apache-2.0
// The entry points of the window module, looked up by name once the module is loaded.

#include <QApplication>
#include <QThread>

#include "automation/automation_error.h"
#include "check/form_ui.h"
#include "gui/form_window.h"
#include "gui/topwindow.h"

extern "C" {

__attribute__((visibility("default"))) varnok::FormUi* varnok_gui_create_form(
    varnok::FormHost* host, int* error_number, std::string* error_text) {
    try {
        varnok::ensure_gui_application();
        return new varnok::FormWindow(*host);
    } catch (const varnok::AutomationError& e) {
        *error_number = e.number();
        *error_text = e.what();
    } catch (const std::exception& e) {
        *error_number = 5;
        *error_text = e.what();
    } catch (...) {
        // Nothing may unwind through the C entry into the loading host.
        *error_number = 5;
        *error_text = "The settings dialog could not be created";
    }
    return nullptr;
}

__attribute__((visibility("default"))) bool varnok_gui_pump() {
    // Qt's events belong to the thread that runs the application; checks on other threads
    // only wait on their own sockets.
    const QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || app->thread() != QThread::currentThread()) return false;
    try {
        QCoreApplication::processEvents();
    } catch (...) {
        // An event handler's exception must not unwind into the waiting check.
    }
    return true;
}
}

static_assert(std::is_same_v<decltype(&varnok_gui_create_form), varnok::GuiCreateForm>);
static_assert(std::is_same_v<decltype(&varnok_gui_pump), varnok::GuiPump>);
