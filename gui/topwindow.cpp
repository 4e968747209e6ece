// SPDX-License-Identifier: Apache-2.0
#include "gui/topwindow.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <string>

#include "automation/automation_error.h"

namespace varnok {
namespace {

bool can_reach_x_display(const std::string& display) {
    // Only local displays (":N") can be probed cheaply; others are left to Qt.
    if (display.empty() || display.front() != ':') return true;
    const std::string number = display.substr(1, display.find('.') - 1);
    const std::string path = "/tmp/.X11-unix/X" + number;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok) {
        // The abstract socket that X servers also offer.
        sockaddr_un abstract{};
        abstract.sun_family = AF_UNIX;
        std::strncpy(abstract.sun_path + 1, path.c_str(), sizeof abstract.sun_path - 2);
        const socklen_t len =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
        ok = ::connect(fd, reinterpret_cast<sockaddr*>(&abstract), len) == 0;
    }
    ::close(fd);
    return ok;
}

}  // namespace

int32_t SetTopmost(QWidget* hwnd, bool on_top) {
    if (hwnd == nullptr) return 0;
    hwnd->setWindowFlag(Qt::WindowStaysOnTopHint, on_top);
    return on_top ? 1 : 0;
}

void ensure_gui_application() {
    if (QCoreApplication::instance() != nullptr) {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
            throw AutomationError(5, "The settings dialog needs a GUI application");
        }
        return;
    }
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string p = platform != nullptr ? platform : "";
    if (p.empty() || p.rfind("xcb", 0) == 0) {
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        const bool has_display =
            display != nullptr && *display != '\0' && can_reach_x_display(display);
        if (!has_display && (p.rfind("xcb", 0) == 0 || wayland == nullptr || *wayland == '\0')) {
            throw AutomationError(5,
                                  "No display can be opened for the settings dialog (set DISPLAY, "
                                  "or QT_QPA_PLATFORM=offscreen)");
        }
    }
    static int argc = 1;
    static char name[] = "comVarnok";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);  // lives as long as the process
    // The forms' captions stand alone: no display name appended to window titles.
    app->setApplicationName("comVarnok");
}

void show_message(const std::string& text, bool stop_icon) {
    QMessageBox box(stop_icon ? QMessageBox::Critical : QMessageBox::NoIcon, "comVarnok",
                    QString::fromStdString(text), QMessageBox::Ok);
    box.setObjectName("comVarnokMessage");
    box.exec();
}

}  // namespace varnok
