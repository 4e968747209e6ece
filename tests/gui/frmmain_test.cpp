// SPDX-License-Identifier: Apache-2.0
#include "check/frmmain.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QProcess>
#include <QtTest>
#include <functional>

#include "gui/form_window.h"
#include "tests/param_fixture.h"

using namespace varnok;
using varnok::testing::call_error;
using varnok::testing::fx;
using varnok::testing::login_param;
const QString kTitle =
    "*Nix processes checker: External COM check (version " VARNOK_VERSION_CAPTION ")";

namespace {

// Runs action on the first modal window whose objectName is name, polling from the event loop.
QTimer* when_modal(const QString& name, std::function<void(QWidget*)> action) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, name, action] {
        QWidget* w = QApplication::activeModalWidget();
        if (w == nullptr || w->objectName() != name) return;
        timer->stop();
        timer->deleteLater();
        action(w);
    });
    timer->start(10);
    return timer;
}

// Shows the dialog of com and runs act on its form; act must end it (OK or close box). Returns
// the failed call that kept the dialog from showing ("" when it showed).
std::string show_dialog(VarnokCom& com, std::function<void(FormWindow&)> act) {
    QTimer* timer = when_modal("frmmain", [act](QWidget* w) {
        act(*static_cast<FormWindow*>(w));
        if (w->isVisible()) w->close();  // a failed comparison left act early
    });
    const std::string error = call_error([&com] { com.xc_showGUI(); });
    if (!error.empty()) delete timer;
    return error;
}

// Presses OK on the next message box, keeping its text after a sign for its icon.
void answer_message(QStringList* seen) {
    when_modal("comVarnokMessage", [seen](QWidget* w) {
        auto* box = static_cast<QMessageBox*>(w);
        *seen << QStringList{"", "(i) ", "(!) ", "(stop) ", "(?) "}[box->icon()] + box->text();
        box->button(QMessageBox::Ok)->click();
    });
}

std::string parameter_of(const VarnokCom& com) { return variant_to_text(com.get_xc_parameter()); }

// The title the X server holds for a window, as another client (xprop) reads it.
QString x_window_title(const QWidget& w) {
    QProcess xprop;
    xprop.start("xprop", {"-id", QString::number(w.winId()), "_NET_WM_NAME"});
    xprop.waitForFinished();
    const QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    return out.mid(out.indexOf('"') + 1).chopped(1);
}

// Every visible caption of a window fits inside its control's width.
void captions_fit(const QWidget& window) {
    for (const QWidget* c : window.findChildren<QWidget*>()) {
        const auto* l = qobject_cast<const QLabel*>(c);
        const auto* b = qobject_cast<const QPushButton*>(c);
        const int needs = qobject_cast<const QCheckBox*>(c) ? c->sizeHint().width()
                          : b ? c->fontMetrics().horizontalAdvance(b->text().remove('&'))
                          : l && l->isVisible() ? c->fontMetrics().horizontalAdvance(l->text())
                                                : 0;
        QVERIFY2(needs <= c->width(),
                 qPrintable(c->objectName() + " needs " + QString::number(needs)));
    }
}

}  // namespace

class FrmmainTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { reset_module_state(); }

    // Keys of any case; unknown keys and DEBUG dropped; unknown codes and padded values; COL
    // after OS wins, OS alone selects no column; the last column and instance count exist. A
    // position that does not exist or a bad password keeps the dialog from showing.
    void okWithoutChangesHandsBackTheDialogsString() {
        const std::pair<std::string, std::string> cases[] = {
            {"",
             "#ENC=T#USR=#PWD=#PROTO=A#PORT=22#KEYF=#KEYT=RSA#OS=LINUX#COL=5#PRO=#SGN=LT#NUM=1"
             "#EOL=LF#FULL=N#WAIT=F#INPL=F#"},
            {"#usr=mon#pwd=YWJj#debug=T#foo=1#full=T#col=15#",
             "#ENC=T#USR=mon#PWD=YWJj#PROTO=A#PORT=0#KEYF=#KEYT=RSA#OS=LINUX#COL=15#PRO=#SGN=LT"
             "#NUM=0#EOL=LF#FULL=N#WAIT=F#INPL=F#"},
            {"#PROTO=x#PORT= 0022abc#KEYT=ecdsa#OS=VMS#COL=8#NUM=3#SGN=GT#EOL=lf#WAIT=t#INPL=T"
             "#KEYF= /k #PRO= sshd #",
             "#ENC=T#USR=#PWD=#PROTO=A#PORT=22#KEYF=/k#KEYT=RSA#OS=LINUX#COL=8#PRO=sshd#SGN=LT"
             "#NUM=3#EOL=LF#FULL=N#WAIT=F#INPL=T#"},
            {"#OS=AIX#COL=3#SGN=AL#EOL=CRLF#WAIT=T#PROTO=1#KEYT=DSA#",
             "#ENC=T#USR=#PWD=#PROTO=1#PORT=0#KEYF=#KEYT=DSA#OS=AIX#COL=3#PRO=#SGN=AL#NUM=0"
             "#EOL=CRLF#FULL=N#WAIT=T#INPL=F#"},
            {"#OS=SOLARIS#NUM=150#PORT=ssh#PROTO=T#PWD=w6k=#",
             "#ENC=T#USR=#PWD=w6k=#PROTO=A#PORT=0#KEYF=#KEYT=RSA#OS=SOLARIS#COL=0#PRO=#SGN=LT"
             "#NUM=150#EOL=LF#FULL=N#WAIT=F#INPL=F#"},
            {"#COL=16#", "error 380: Invalid property value"},
            {"#NUM=151#", "error 380: Invalid property value"},
            {"#COL=-1#", "error 380: Invalid property value"},
            {"#USR=x#PWD==#", "error 5: Invalid procedure call or argument"},
        };
        for (const auto& [incoming, expected] : cases) {
            VarnokCom com;
            com.put_xc_parameter(Variant(incoming));
            const std::string error = show_dialog(com, [](FormWindow& w) { w.btOK->click(); });
            QCOMPARE(error.empty() ? parameter_of(com) : error, expected);
            if (!error.empty()) QCOMPARE(parameter_of(com), incoming);
            QVERIFY(!com.form().is_loaded());
        }
    }

    // The operator picks Solaris; a programmatic change follows the rule too, and a column
    // chosen after the system is kept.
    void startsFromTheDefaultsAndFollowsTheSystemRule() {
        VarnokCom com;
        com.put_xc_hostname(Variant("  db01 "));
        com.put_xc_timeout(Variant(15));
        show_dialog(com, [](FormWindow& w) {
            QCOMPARE((QStringList{w.windowTitle(), w.txtHostname->text(), w.txtTimeout->text(),
                                  w.txtPort->text(), w.cmbProtocol->currentText(),
                                  w.cmbOS->currentText(), w.cmbColumn->currentText(),
                                  w.cmbInstances->currentText()}),
                     (QStringList{kTitle, "db01", "15", "22", "SSH Auto", "Linux", "5", "1"}));
            QVERIFY(!w.lblTemp->isVisible());
            QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
            QVERIFY(!w.btOK->isDefault() && !w.btOK->autoDefault());
            w.cmbColumn->setListIndex(1);
            w.cmbOS->setCurrentIndex(2);
            emit w.cmbOS->activated(2);
            QCOMPARE(w.cmbColumn->ListIndex(), 7);
            w.cmbOS->setListIndex(5);
            QCOMPARE(w.cmbColumn->ListIndex(), 7);
            w.cmbOS->setListIndex(1);
            QCOMPARE(w.cmbColumn->ListIndex(), 4);
            QCOMPARE(w.cmbEOL->ListIndex(), 1);  // nothing else follows the system
            w.cmbColumn->setListIndex(2);
            w.btOK->click();
        });
        QVERIFY(parameter_of(com).find("#OS=BSD#COL=3#") != std::string::npos);
    }

    void typedTextsGiveTheCodesOfNoSelection() {
        VarnokCom com;
        show_dialog(com, [](FormWindow& w) {
            for (DropDown* box : {w.cmbProtocol, w.cmbKeyType, w.cmbOS, w.cmbColumn, w.cmbRule,
                                  w.cmbInstances, w.cmbEOL}) {
                box->lineEdit()->selectAll();
                QTest::keyClicks(box->lineEdit(), "own");
                QCOMPARE(box->ListIndex(), -1);
            }
            QTest::keyClick(w.cmbRule->lineEdit(), Qt::Key_Return);  // does not close the form
            QTest::keyClick(&w, Qt::Key_Escape);
            QVERIFY(w.isVisible());
            w.txtUsername->setText(" me ");
            w.txtProcess->setText(" a#b ");
            w.btOK->click();
        });
        QCOMPARE(parameter_of(com),
                 "#ENC=T#USR= me #PWD=#PROTO=#PORT=22#KEYF=#KEYT=#OS=#COL=0#PRO=a#b#SGN=AL#NUM=0"
                 "#EOL=LF#FULL=N#WAIT=F#INPL=F#");
    }

    void theCloseBoxKeepsTheHostsString() {
        VarnokCom other;
        show_dialog(other, [](FormWindow& w) { w.btOK->click(); });  // an earlier OK elsewhere
        VarnokCom com;
        com.put_xc_parameter(Variant("#USR=keep#DEBUG=T#"));
        show_dialog(com, [](FormWindow& w) {
            w.txtUsername->setText("changed");
            w.close();
        });
        QCOMPARE(parameter_of(com), "#USR=keep#DEBUG=T#");
        QVERIFY(!com.form().closed_by_ok() && !com.form().is_loaded());
    }

    // The refusals themselves are ListingRequest's table; these rows read the timeout and port
    // fields from the form.
    void pickerRefusesBadFieldsAndShowsAFailedConnection() {
        const std::string me = "#PRO=keep#USR=me#PWD=YQ==", closed = fx("VARNOK_SSH_PORT_CLOSED");
        const std::tuple<std::string, const char*, std::string> cases[] = {
            {"#PRO=keep#", "", "(stop) Can't connect to an SSH server without a username"},
            {me + "#", "soon", "(stop) The timeout must be a number of seconds"},
            {me + "#PORT=" + closed + "#", "",
             "Problem: Cannot connect to '127.0.0.1' port " + closed + ": Connection refused"},
        };
        for (const auto& [incoming, timeout, text] : cases) {
            VarnokCom com;
            com.put_xc_hostname(Variant("127.0.0.1"));
            com.put_xc_parameter(Variant(incoming));
            com.put_xc_timeout(Variant(timeout));
            QStringList seen;
            show_dialog(com, [&seen](FormWindow& w) {
                answer_message(&seen);
                w.btListProcesses->click();
                QCOMPARE(w.txtProcess->text(), QString("keep"));
                QCOMPARE(w.lblworking->text(), QString());
                QVERIFY(w.btOK->isEnabled() && w.btListProcesses->isEnabled());
                w.close();
            });
            QCOMPARE(seen, QStringList{QString::fromStdString(text)});
            QVERIFY(com.form().Ssh == nullptr);  // no listing left behind
        }
    }

    void aListingThatThrowsLeavesTheFormUsable() {
        struct ThrowingHost final : FormHost {
            FormWindow* form = nullptr;
            bool disabled = false;
            int default_column(int) const override { return -1; }
            std::variant<ListingRequest, std::string> listing_request(
                const FormFields&) const override {
                return ListingRequest{};
            }
            void accept_values(const FormValues&) override {}
            ListingResult list_processes(const ListingRequest&) override {
                disabled = !form->btOK->isEnabled() && !form->btListProcesses->isEnabled();
                throw std::runtime_error("lost");
            }
            std::string selected_process() const override { return {}; }
            void set_selected_process(const std::string&) override {}
        } host;
        FormWindow form(host);
        host.form = &form;
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, form.btListProcesses_Click());
        QVERIFY(host.disabled);
        QVERIFY(form.btOK->isEnabled() && form.btListProcesses->isEnabled());
        QCOMPARE(form.lblworking->text(), QString());
    }

    // The close box writes the last pick, the double-click a new one.
    void pickerListsSortedEntriesAndWritesThePick() {
        VarnokCom com;
        com.put_xc_hostname(Variant("127.0.0.1"));
        com.put_xc_timeout(Variant(5));
        com.put_xc_parameter(Variant(login_param("BSD", "#OS=BSD#COL=5#PRO=old")));
        QStringList shown;
        bool disabled_while_listing = false;
        show_dialog(com, [&](FormWindow& w) {
            when_modal("frmProcessList", [](QWidget* p) { p->close(); });
            w.btListProcesses->click();
            QCOMPARE(w.txtProcess->text(), QString());
            auto* watch = new QTimer(&w);
            QObject::connect(watch, &QTimer::timeout, [&] {
                if (!w.btOK->isEnabled() && !w.btListProcesses->isEnabled())
                    disabled_while_listing = true;
            });
            watch->start(1);
            when_modal("frmProcessList", [&](QWidget* p) {
                QListWidget* list = static_cast<frmProcessList*>(p)->lstProcesses;
                for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
                list->setCurrentItem(list->item(4));
                const QPoint at = list->visualItemRect(list->item(4)).center();
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
                QCOMPARE(list->toolTip(), list->item(4)->text());
                QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
            });
            w.btListProcesses->click();
            watch->stop();
            QCOMPARE(w.txtProcess->text(), QString("/usr/sbin/sshd"));
            w.txtProcess->setText("typed");
            when_modal("frmProcessList", [](QWidget* p) { p->close(); });
            w.btListProcesses->click();
            QCOMPARE(w.txtProcess->text(), QString("/usr/sbin/sshd"));
            QVERIFY(w.btOK->isEnabled());
            w.btOK->click();
        });
        QCOMPARE(shown, (QStringList{"/sbin/devd", "/sbin/init --", "/usr/libexec/getty Pc ttyv0",
                                     "/usr/sbin/cron -s", "/usr/sbin/sshd", "/usr/sbin/syslogd -s",
                                     "[kernel]", "sshd: monitor@notty (sshd)"}));
        QVERIFY(disabled_while_listing);
    }

    // On a real X server at 96 dpi (ctest's gui_tests_x11): the password shows as "*", every
    // caption fits its control, and the window titles are exactly the forms' captions.
    void onARealScreen() {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs an X server (run under xvfb-run)");
        VarnokCom com;
        com.put_xc_hostname(Variant("127.0.0.1"));
        com.put_xc_parameter(Variant(login_param("BSD", "#OS=BSD#COL=5#PRO=sshd#INPL=T#WAIT=T")));
        QString picker_title;
        show_dialog(com, [&](FormWindow& w) {
            QCOMPARE(w.logicalDpiX(), 96);
            QCOMPARE(w.txtPassword->displayText(), QString(w.txtPassword->text().size(), '*'));
            captions_fit(w);
            QTRY_COMPARE(x_window_title(w), w.windowTitle());
            when_modal("frmProcessList", [&](QWidget* p) {
                captions_fit(*p);
                picker_title = x_window_title(*p);
                p->close();
            });
            w.btListProcesses->click();
            w.close();
        });
        QCOMPARE(picker_title, QString("Processes running on 127.0.0.1"));
    }
};

QTEST_MAIN(FrmmainTest)
#include "frmmain_test.moc"
