// SPDX-License-Identifier: Apache-2.0
#include "gui/form_window.h"

#include <QKeyEvent>
#include <QProxyStyle>
#include <QScreen>
#include <variant>

#include "automation/automation_error.h"
#include "gui/topwindow.h"
#include "state/defaults.h"
#include "state/version.h"

namespace varnok {

int twips_to_pixels(const QWidget* widget, int twips) {
    const double dpi = widget != nullptr ? widget->logicalDpiX() : 96.0;
    return static_cast<int>(twips / 15.0 * dpi / 96.0 + 0.5);
}

DropDown::DropDown(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { typed_ = true; });
    connect(this, qOverload<int>(&QComboBox::activated), this, [this] {
        typed_ = false;
        if (Click) Click();
    });
}

int DropDown::ListIndex() const { return typed_ ? -1 : currentIndex(); }

void DropDown::setListIndex(int index) {
    if (index < -1 || index >= count()) throw AutomationError::invalid_property_value();
    typed_ = false;
    setCurrentIndex(index);
    if (Click) Click();
}

void DropDown::keyPressEvent(QKeyEvent* event) {
    QComboBox::keyPressEvent(event);
    // Return would otherwise travel on to the window.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) event->accept();
}

void FormDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();  // neither button is a default or cancel button
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s(const QString& q) { return q.toStdString(); }

void fill(DropDown* box, std::span<const ListCode> items) {
    box->clear();
    for (const ListCode& item : items)
        box->addItem(
            QString::fromUtf8(item.caption.data(), static_cast<qsizetype>(item.caption.size())));
}

template <typename W>
W* place(QWidget* form, W* w, const char* name, int left, int top, int width, int height) {
    w->setObjectName(name);
    w->setGeometry(twips_to_pixels(form, left), twips_to_pixels(form, top),
                   twips_to_pixels(form, width), twips_to_pixels(form, height));
    return w;
}

QLabel* label(QWidget* form, const char* name, const char* caption, int l, int t, int w, int h) {
    return place(form, new QLabel(QString::fromUtf8(caption), form), name, l, t, w, h);
}

QPushButton* button(QWidget* form, const char* name, const char* caption, int l, int t, int w,
                    int h) {
    auto* b = place(form, new QPushButton(QString::fromUtf8(caption), form), name, l, t, w, h);
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

// The form's password character is "*", whatever the style would draw.
class PasswordStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

// The fixed twips layout was made for a narrow 8-point dialog face; Liberation Sans (Arial's
// metrics) at 7.5 points puts every caption inside its control at any DPI, as the twips scale too.
void use_dialog_font(QWidget* w) {
    QFont font = w->font();
    font.setPointSizeF(7.5);
    font.setFamilies({"Liberation Sans", "Arial", font.family()});
    w->setFont(font);
}

// While a listing runs, "Working..." shows and the form's controls are disabled, so that neither
// a second listing nor OK can start; both are undone however the listing ends, a throw included.
class ListingUnderway {
  public:
    explicit ListingUnderway(FormWindow& form)
        : label_(form.lblworking),
          controls_(form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        label_->setText("Working...");
        label_->repaint();
        for (QWidget* c : controls_) c->setEnabled(false);
    }
    ~ListingUnderway() {
        for (QWidget* c : controls_) c->setEnabled(true);
        label_->setText(QString());
        label_->repaint();
    }
    ListingUnderway(const ListingUnderway&) = delete;
    ListingUnderway& operator=(const ListingUnderway&) = delete;

  private:
    QLabel* label_;
    QList<QWidget*> controls_;
};

}  // namespace

FormWindow::FormWindow(FormHost& host) : host_(host) {
    setObjectName("frmmain");
    use_dialog_font(this);
    setFixedSize(twips_to_pixels(this, 8088), twips_to_pixels(this, 3984));
    Label1 = label(this, "Label1", "Hostname:", 120, 180, 1215, 255);
    txtHostname = place(this, new QLineEdit(this), "txtHostname", 1560, 120, 4215, 285);
    lblTemp = label(this, "lblTemp", "", 5880, 120, 2175, 615);
    Label9 = label(this, "Label9", "Protocol:", 120, 540, 1215, 255);
    cmbProtocol = place(this, new DropDown(this), "cmbProtocol", 1560, 480, 2175, 315);
    Label10 = label(this, "Label10", "Port:", 3840, 540, 735, 255);
    txtPort = place(this, new QLineEdit(this), "txtPort", 4680, 480, 1095, 285);
    Label2 = label(this, "Label2", "User Name:", 120, 900, 1215, 255);
    txtUsername = place(this, new QLineEdit(this), "txtUsername", 1560, 840, 2175, 285);
    Label3 = label(this, "Label3", "Password:", 3840, 840, 735, 255);
    txtPassword = place(this, new QLineEdit(this), "txtPassword", 4680, 840, 2175, 285);
    txtPassword->setEchoMode(QLineEdit::Password);
    auto* password_style = new PasswordStyle;
    password_style->setParent(txtPassword);
    txtPassword->setStyle(password_style);
    Label15 = label(this, "Label15", "Key file:", 120, 1260, 1215, 255);
    txtKeyfile = place(this, new QLineEdit(this), "txtKeyfile", 1560, 1200, 3255, 285);
    Label16 = label(this, "Label16", "Key type:", 5040, 1260, 975, 255);
    cmbKeyType = place(this, new DropDown(this), "cmbKeyType", 6120, 1200, 735, 315);
    Label6 = label(this, "Label6", "OS:", 120, 1740, 1215, 255);
    cmbOS = place(this, new DropDown(this), "cmbOS", 1560, 1680, 2175, 315);
    Label7 = label(this, "Label7", "Column:", 3840, 1740, 735, 255);
    cmbColumn = place(this, new DropDown(this), "cmbColumn", 4680, 1680, 855, 315);
    Label14 = label(this, "Label14", "End of line:", 5640, 1740, 975, 255);
    cmbEOL = place(this, new DropDown(this), "cmbEOL", 6720, 1680, 735, 315);
    Label8 = label(this, "Label8", "Alert when ", 240, 2220, 1215, 255);
    cmbRule = place(this, new DropDown(this), "cmbRule", 1560, 2160, 2175, 315);
    cmbInstances = place(this, new DropDown(this), "cmbInstances", 3840, 2160, 1095, 315);
    Label11 = label(this, "Label11", "instances", 5040, 2220, 975, 255);
    btOK = button(this, "btOK", "&OK", 6720, 2400, 735, 375);
    Label12 = label(this, "Label12", "of", 240, 2700, 1215, 255);
    txtProcess = place(this, new QLineEdit(this), "txtProcess", 1560, 2640, 3135, 285);
    btListProcesses = button(this, "btListProcesses", "...", 4800, 2700, 375, 255);
    Label13 = label(this, "Label13", "are running", 5400, 2700, 975, 255);
    chkIncludeWait = place(this, new QCheckBox("Add wait command", this), "chkIncludeWait", 1560,
                           3000, 1695, 255);
    chkIncludeinOutput = place(this, new QCheckBox("Include matched processes in output", this),
                               "chkIncludeinOutput", 3480, 3000, 3015, 255);
    lblworking = label(this, "lblworking", "", 5280, 3360, 2655, 255);
    Label4 = label(this, "Label4", "Timeout:", 120, 3540, 1215, 255);
    txtTimeout = place(this, new QLineEdit(this), "txtTimeout", 1560, 3480, 1095, 285);
    Label5 = label(this, "Label5", "seconds", 2760, 3540, 1215, 255);

    QWidget* order[] = {
        txtHostname, cmbProtocol, txtPort,         txtUsername,    txtPassword, txtKeyfile,
        cmbKeyType,  cmbOS,       cmbColumn,       cmbEOL,         cmbRule,     cmbInstances,
        btOK,        txtProcess,  btListProcesses, chkIncludeWait, txtTimeout,  chkIncludeinOutput};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    cmbOS->Click = [this] { cmbOS_Click(); };
    connect(btOK, &QPushButton::clicked, this, [this] { btOK_Click(); });
    connect(btListProcesses, &QPushButton::clicked, this, [this] { btListProcesses_Click(); });
    Form_Load();
}

FormWindow::~FormWindow() = default;

frmProcessList::frmProcessList(FormHost& host) : host_(host) {
    setObjectName("frmProcessList");
    use_dialog_font(this);
    resize(twips_to_pixels(this, 4680), twips_to_pixels(this, 3192));
    lstProcesses = place(this, new QListWidget(this), "lstProcesses", 120, 240, 4455, 2160);
    lstProcesses->setSortingEnabled(false);
    Label1 = place(this, new QLabel("Select a process by double clicking it.", this), "Label1", 120,
                   2640, 4335, 255);
    Label1->setAlignment(Qt::AlignCenter);
    connect(lstProcesses, &QListWidget::itemClicked, this, [this] { lstProcesses_Click(); });
    connect(lstProcesses, &QListWidget::itemDoubleClicked, this,
            [this] { lstProcesses_DblClick(); });
}

void frmProcessList::Form_Resize() {
    lstProcesses->resize(frameGeometry().width() - twips_to_pixels(this, 345),
                         lstProcesses->height());
}

void frmProcessList::lstProcesses_Click() {
    const QListWidgetItem* item = lstProcesses->currentItem();
    lstProcesses->setToolTip(item != nullptr ? item->text() : QString());
}

void frmProcessList::lstProcesses_DblClick() {
    const QListWidgetItem* item = lstProcesses->currentItem();
    host_.set_selected_process(item != nullptr ? item->text().toStdString() : std::string());
    accept();
}

void frmProcessList::resizeEvent(QResizeEvent* event) {
    FormDialog::resizeEvent(event);
    Form_Resize();
}

void FormWindow::Form_Load() {
    lblTemp->setText(QString());
    lblTemp->hide();
    setWindowTitle(q("*Nix processes checker: External COM check (version " +
                     std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
                     " build " + std::to_string(kVersionRevision) + ")"));
    fill(cmbProtocol, kProtocolCodes);
    cmbProtocol->setListIndex(2);
    txtPort->setText(QString::number(kDefaultSshPort));
    cmbColumn->clear();
    cmbInstances->clear();
    for (int i = 1; i <= kColumnCount; ++i) cmbColumn->addItem(QString::number(i));
    for (int i = 1; i <= kInstanceCount; ++i) cmbInstances->addItem(QString::number(i));
    cmbColumn->setListIndex(0);
    cmbInstances->setListIndex(0);
    fill(cmbOS, kSystemCodes);
    cmbOS->setListIndex(0);
    fill(cmbRule, kRuleCodes);
    cmbRule->setListIndex(0);
    fill(cmbEOL, kLineEndCodes);
    cmbEOL->setListIndex(1);
    fill(cmbKeyType, kKeyTypeCodes);
    cmbKeyType->setListIndex(0);
}

void FormWindow::show_contents(const FormContents& c) {
    const FormValues& v = c.values;
    txtHostname->setText(q(c.hostname));
    txtTimeout->setText(q(c.timeout));
    if (c.from_string) {
        txtUsername->setText(q(v.username));
        txtPassword->setText(q(v.password));
        txtKeyfile->setText(q(v.key_file));
        cmbKeyType->setListIndex(v.key_type);
        cmbProtocol->setListIndex(v.protocol);
        txtPort->setText(q(v.port_text));
        if (v.os >= 0) cmbOS->setListIndex(v.os);
        cmbColumn->setListIndex(v.column);
        txtProcess->setText(q(v.process));
        if (v.rule >= 0) cmbRule->setListIndex(v.rule);
        cmbInstances->setListIndex(v.instances);
    }
    cmbEOL->setListIndex(v.eol);
    chkIncludeWait->setChecked(v.wait);
    chkIncludeinOutput->setChecked(v.include_matches);
}

bool FormWindow::show_modal() {
    SetTopmost(this, true);
    exec();
    return ok_pressed;
}

std::string FormWindow::lblTemp_caption() const { return s(lblTemp->text()); }

void FormWindow::set_lblTemp_caption(const std::string& caption) { lblTemp->setText(q(caption)); }

void FormWindow::cmbOS_Click() {
    const int column = host_.default_column(cmbOS->ListIndex());
    if (column >= 0) cmbColumn->setListIndex(column);
}

FormFields FormWindow::read_form() const {
    FormFields form;
    form.hostname = s(txtHostname->text());
    form.timeout = s(txtTimeout->text());
    FormValues& f = form.values;
    f.username = s(txtUsername->text());
    f.password = s(txtPassword->text());
    f.protocol = cmbProtocol->ListIndex();
    f.port_text = s(txtPort->text());
    f.key_file = s(txtKeyfile->text());
    f.key_type = cmbKeyType->ListIndex();
    f.os = cmbOS->ListIndex();
    f.column = cmbColumn->ListIndex();
    f.process = s(txtProcess->text());
    f.rule = cmbRule->ListIndex();
    f.instances = cmbInstances->ListIndex();
    f.eol = cmbEOL->ListIndex();
    f.wait = chkIncludeWait->isChecked();
    f.include_matches = chkIncludeinOutput->isChecked();
    return form;
}

void FormWindow::btOK_Click() {
    host_.accept_values(read_form().values);
    ok_pressed = true;
    accept();
}

void FormWindow::btListProcesses_Click() {
    const std::variant<ListingRequest, std::string> asked = host_.listing_request(read_form());
    if (const std::string* refusal = std::get_if<std::string>(&asked)) {
        show_message(*refusal, true);
        return;
    }
    const ListingRequest& request = std::get<ListingRequest>(asked);
    ListingResult listing;
    {
        const ListingUnderway underway(*this);
        listing = host_.list_processes(request);
    }
    if (!listing.error.empty()) {
        show_message("Problem: " + listing.error, false);
        return;
    }
    if (!picker_) picker_ = std::make_unique<frmProcessList>(host_);
    picker_->lstProcesses->clear();
    for (const std::string& entry : listing.entries) picker_->lstProcesses->addItem(q(entry));
    picker_->setWindowTitle(q("Processes running on " + request.hostname));
    picker_->exec();
    txtProcess->setText(q(host_.selected_process()));
}

}  // namespace varnok
