#include "gui/frmmain.h"

#include <QMessageBox>

#include "check/automation_error.h"
#include "check/number_text.h"
#include "gui/form_window.h"
#include "gui/topwindow.h"
#include "listing/event_pump.h"
#include "listing/lines.h"
#include "settings/param_string.h"
#include "state/state.h"
#include "state/version.h"

namespace varnok {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s(const QString& q) { return q.toStdString(); }

void fill(DropDown* box, std::initializer_list<const char*> items) {
    box->clear();
    for (const char* item : items) box->addItem(item);
}

}  // namespace

std::string version_caption() {
    return "*Nix processes checker: External COM check (version " + std::to_string(kVersionMajor) +
           "." + std::to_string(kVersionMinor) + " build " + std::to_string(kVersionRevision) + ")";
}

void show_message(const std::string& text, bool stop_icon) {
    QMessageBox box(stop_icon ? QMessageBox::Critical : QMessageBox::NoIcon, "comVarnok", q(text),
                    QMessageBox::Ok);
    box.setObjectName("comVarnokMessage");
    box.exec();
}

frmmain::frmmain() = default;

frmmain::~frmmain() = default;

FormWindow& frmmain::controls() {
    if (!window_) {
        ensure_gui_application();
        window_ = std::make_unique<FormWindow>();
        window_->cmbOS->Click = [this] { cmbOS_Click(); };
        QObject::connect(window_->btOK, &QPushButton::clicked, [this] { btOK_Click(); });
        QObject::connect(window_->btListProcesses, &QPushButton::clicked,
                         [this] { btListProcesses_Click(); });
        Form_Load();
    }
    return *window_;
}

void frmmain::unload() { window_.reset(); }

bool frmmain::show_modal() {
    FormWindow& w = controls();
    SetTopmost(&w, true);
    w.exec();
    closed_by_ok_ = w.ok_pressed;
    unload();
    return closed_by_ok_;
}

void frmmain::Form_Load() {
    FormWindow& w = *window_;
    w.lblTemp->setText(QString());
    w.lblTemp->hide();
    w.setWindowTitle(q(version_caption()));
    fill(w.cmbProtocol, {"SSH1", "SSH2", "SSH Auto"});
    w.cmbProtocol->setListIndex(2);
    w.txtPort->setText("22");
    w.cmbColumn->clear();
    w.cmbInstances->clear();
    for (int i = 1; i <= 15; ++i) w.cmbColumn->addItem(QString::number(i));
    for (int i = 1; i <= 150; ++i) w.cmbInstances->addItem(QString::number(i));
    w.cmbColumn->setListIndex(0);
    w.cmbInstances->setListIndex(0);
    fill(w.cmbOS, {"Linux", "BSD", "Solaris", "HP UX", "AIX", "OpenSSH (CygWin)"});
    w.cmbOS->setListIndex(0);
    fill(w.cmbRule, {"less than", "at least"});
    w.cmbRule->setListIndex(0);
    fill(w.cmbEOL, {"CR", "LF", "CRLF"});
    w.cmbEOL->setListIndex(1);
    fill(w.cmbKeyType, {"RSA", "DSA"});
    w.cmbKeyType->setListIndex(0);
}

void frmmain::cmbOS_Click() {
    const int column = default_column_for_os(window_->cmbOS->ListIndex());
    if (column >= 0) window_->cmbColumn->setListIndex(column);
}

void frmmain::btOK_Click() {
    FormWindow& w = *window_;
    FormValues f;
    f.username = s(w.txtUsername->text());
    f.password = s(w.txtPassword->text());
    f.protocol = w.cmbProtocol->ListIndex();
    f.port_text = s(w.txtPort->text());
    f.key_file = s(w.txtKeyfile->text());
    f.key_type = w.cmbKeyType->ListIndex();
    f.os = w.cmbOS->ListIndex();
    f.column = w.cmbColumn->ListIndex();
    f.process = s(w.txtProcess->text());
    f.rule = w.cmbRule->ListIndex();
    f.instances = w.cmbInstances->ListIndex();
    f.eol = w.cmbEOL->ListIndex();
    f.wait = w.chkIncludeWait->isChecked();
    f.include_matches = w.chkIncludeinOutput->isChecked();
    ParameterText = write_parameter_string(f);
    w.ok_pressed = true;
    w.accept();
}

void frmmain::btListProcesses_Click() {
    FormWindow& w = *window_;
    const auto busy = [&w](const char* text) {
        w.lblworking->setText(text);
        w.lblworking->repaint();
    };
    const auto refuse = [&busy](const std::string& text) {
        busy("");
        show_message(text, true);
    };
    busy("Working...");
    if (w.txtUsername->text().isEmpty()) {
        return refuse("Can't connect to an SSH server without a username");
    }
    if (w.txtPassword->text().isEmpty() && w.txtKeyfile->text().isEmpty()) {
        return refuse("Can't connect to an SSH server without a password");
    }
    // Fields that cannot hold a 16-bit number are refused before anything changes.
    double timeout = 0;
    const std::string timeout_text = s(w.txtTimeout->text());
    if (timeout_text.find_first_not_of(' ') != std::string::npos &&
        !whole_text_number(timeout_text, timeout)) {
        return refuse("The timeout must be a number of seconds");
    }
    int16_t timeout_seconds = 0, port = 0;
    try {
        timeout_seconds = round_to_int16(timeout);
    } catch (const AutomationError&) {
        return refuse("The timeout must lie between -32768 and 32767");
    }
    try {
        port = round_to_int16(leading_number(s(w.txtPort->text())));
    } catch (const AutomationError&) {
        return refuse("The port must lie between -32768 and 32767");
    }

    CheckSettingsRecord& cs = CheckSettings;
    cs.TimeoutSeconds = timeout_seconds;
    cs.Hostname = s(w.txtHostname->text());
    cs.Username = s(w.txtUsername->text());
    cs.Password = s(w.txtPassword->text());
    cs.KeyFile = s(w.txtKeyfile->text());
    cs.KeyType = w.cmbKeyType->ListIndex() == 1 ? "DSA" : "RSA";
    if (const std::string code = protocol_code(w.cmbProtocol->ListIndex()); !code.empty()) cs.Protocol = code;
    cs.Port = port;
    if (const std::string code = os_code(w.cmbOS->ListIndex()); !code.empty()) cs.OSType = code;
    cs.EOLType = eol_code(w.cmbEOL->ListIndex());
    cs.Column = static_cast<int16_t>(w.cmbColumn->ListIndex() + 1);
    SessionState.Disconnected = false;
    cs.AddWait = w.chkIncludeWait->isChecked();
    set_lblTemp_caption(time_of_day_text());

    // Neither a second listing nor OK may start while this one runs.
    const QList<QWidget*> children = w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* c : children) c->setEnabled(false);
    Get_Process_list();
    while (!SessionState.Disconnected) DoEvents();
    for (QWidget* c : children) c->setEnabled(true);

    if (!SessionState.ConnectError.empty()) {
        show_message("Problem: " + SessionState.ConnectError, false);
        busy("");
    } else {
        SortWords();
        busy("");
        if (!picker_) picker_ = std::make_unique<frmProcessList>();
        picker_->lstProcesses->clear();
        for (int i = 0; i < SessionState.LineCount; ++i) {
            picker_->lstProcesses->addItem(q(SessionState.Lines[static_cast<size_t>(i)]));
        }
        picker_->setWindowTitle(q("Processes running on " + cs.Hostname));
        picker_->exec();
        w.txtProcess->setText(q(SessionState.SelectedProcess));
    }
    Ssh.reset();
}

std::string frmmain::lblTemp_caption() const {
    return window_ ? s(window_->lblTemp->text()) : SessionDriver::lblTemp_caption();
}

void frmmain::set_lblTemp_caption(const std::string& caption) {
    if (window_) window_->lblTemp->setText(q(caption));
    else SessionDriver::set_lblTemp_caption(caption);
}

}  // namespace varnok
