// SPDX-License-Identifier: Apache-2.0
// Renders the settings dialog and the process picker to PNG files for the documentation:
//   QT_QPA_PLATFORM=offscreen varnok-screenshot OUT_DIR LISTING_FILE
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "check/varnok_com.h"
#include "gui/form_window.h"
#include "listing/lines.h"
#include "settings/base64.h"

namespace {

// The picker alone, without a form object behind it.
struct ScreenshotHost final : varnok::FormHost {
    int default_column(int) const override { return -1; }
    std::variant<varnok::ListingRequest, std::string> listing_request(
        const varnok::FormFields&) const override {
        return {};
    }
    void accept_values(const varnok::FormValues&) override {}
    varnok::ListingResult list_processes(const varnok::ListingRequest&) override { return {}; }
    std::string selected_process() const override { return {}; }
    void set_selected_process(const std::string&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    using namespace varnok;
    if (argc != 3) return 2;
    QApplication app(argc, argv);
    const QString out = argv[1];

    VarnokCom com;
    com.put_xc_hostname(Variant("db01.example.net"));
    com.put_xc_timeout(Variant(20));
    com.put_xc_parameter(Variant("#ENC=T#USR=monitor#PWD=" + EncodePassword("secret") +
                                 "#PROTO=2#PORT=22#KEYF=#KEYT=RSA#OS=LINUX#COL=5#PRO=sshd#SGN=LT"
                                 "#NUM=2#EOL=LF#FULL=N#WAIT=F#INPL=T#"));
    QTimer::singleShot(0, [&] {
        auto* w = static_cast<FormWindow*>(QApplication::activeModalWidget());
        w->grab().save(out + "/settings-dialog.png");
        w->close();
    });
    com.xc_showGUI();

    std::ifstream in(argv[2], std::ios::binary);
    const std::string listing((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> entries = split_listing(listing, "LF", 5);
    std::stable_sort(entries.begin(), entries.end(), utf16_less);
    ScreenshotHost host;
    frmProcessList picker(host);
    for (const std::string& entry : entries)
        picker.lstProcesses->addItem(QString::fromStdString(entry));
    picker.setWindowTitle("Processes running on db01.example.net");
    picker.lstProcesses->setCurrentRow(4);
    picker.show();
    picker.grab().save(out + "/process-picker.png");
    return 0;
}
