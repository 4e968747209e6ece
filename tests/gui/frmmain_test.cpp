#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "automation/automation_error.h"
#include "check/varnok_com.h"
#include "gui/form_window.h"
#include "check/frmmain.h"
#include "gui/topwindow.h"
#include "settings/base64.h"
#include "state/state.h"
#include "tests/sshd_fixture.h"

using namespace varnok;

namespace {

// Runs action on the first modal window whose objectName is name, polling from the event loop.
void when_modal(const QString& name, std::function<void(QWidget*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, name, action] {
        QWidget* w = QApplication::activeModalWidget();
        if (w == nullptr || w->objectName() != name) return;
        timer->stop();
        timer->deleteLater();
        action(w);
    });
    timer->start();
}

// Shows the dialog of com and runs act on its form; act must end it (OK or close box).
void show_dialog(VarnokCom& com, std::function<void(FormWindow&)> act) {
    when_modal("frmmain", [act](QWidget* w) {
        act(*static_cast<FormWindow*>(w));
        if (w->isVisible()) w->close();  // a failed comparison left act early
    });
    com.xc_showGUI();
}

std::string ok_at_once(const std::string& incoming) {
    VarnokCom com;
    com.put_xc_parameter(Variant(incoming));
    show_dialog(com, [](FormWindow& w) { w.btOK->click(); });
    return variant_to_text(com.get_xc_parameter());
}

// Collects the texts of the message boxes that show up, pressing their OK.
struct Messages {
    QStringList texts;
    QList<QMessageBox::Icon> icons;
    void expect_one() {
        when_modal("comVarnokMessage", [this](QWidget* w) {
            auto* box = static_cast<QMessageBox*>(w);
            texts << box->text();
            icons << box->icon();
            box->button(QMessageBox::Ok)->click();
        });
    }
};

std::string bsd_param(const std::string& extra = "") {
    using varnok::testing::fx;
    return "#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
           "#PORT=" + fx("VARNOK_SSH_PORT_BSD") + "#OS=BSD" + extra + "#";
}

// The title the X server holds for a window, as another client (xprop) reads it.
QString x_window_title(const QWidget& w) {
    QProcess xprop;
    xprop.start("xprop", {"-id", QString::number(w.winId()), "_NET_WM_NAME"});
    xprop.waitForFinished();
    const QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    const qsizetype quote = out.indexOf('"');
    return quote < 0 ? out : out.mid(quote + 1).chopped(1);
}

// Every visible caption of a window fits inside its control's width.
void captions_fit(const QWidget& window) {
    for (const QLabel* l : window.findChildren<QLabel*>()) {
        if (!l->isVisible()) continue;
        QVERIFY2(l->fontMetrics().horizontalAdvance(l->text()) <= l->width(), qPrintable(l->objectName()));
    }
    for (const QCheckBox* c : window.findChildren<QCheckBox*>()) {
        QVERIFY2(c->sizeHint().width() <= c->width(),
                 qPrintable(c->objectName() + " needs " + QString::number(c->sizeHint().width()) + " of " + QString::number(c->width())));
    }
    for (const QPushButton* b : window.findChildren<QPushButton*>()) {
        QVERIFY2(b->fontMetrics().horizontalAdvance(QString(b->text()).remove('&')) <= b->width(),
                 qPrintable(b->objectName()));
    }
}

}  // namespace

class FrmmainTest : public QObject {
    Q_OBJECT

private slots:
    void init() { reset_module_state(); }

    void loadsTheDefaultsAndShowsHostAndTimeout() {
        VarnokCom com;
        com.put_xc_hostname(Variant("  db01 "));
        com.put_xc_timeout(Variant(15));
        show_dialog(com, [](FormWindow& w) {
            QCOMPARE(w.windowTitle(), QString("*Nix processes checker: External COM check (version 2.0 build 70)"));
            QCOMPARE(w.txtHostname->text(), QString("db01"));
            QCOMPARE(w.txtTimeout->text(), QString("15"));
            QCOMPARE(w.txtPort->text(), QString("22"));
            QCOMPARE(w.cmbProtocol->currentText(), QString("SSH Auto"));
            QCOMPARE(w.cmbOS->currentText(), QString("Linux"));
            QCOMPARE(w.cmbColumn->ListIndex(), 4);
            QCOMPARE(w.cmbInstances->count(), 150);
            QCOMPARE(w.txtPassword->echoMode(), QLineEdit::Password);
            QVERIFY(!w.lblTemp->isVisible());
            QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
            QVERIFY(!w.btOK->isDefault() && !w.btOK->autoDefault());
            w.btOK->click();
        });
        QCOMPARE(variant_to_text(com.get_xc_parameter()),
                 std::string("#ENC=T#USR=#PWD=#PROTO=A#PORT=22#KEYF=#KEYT=RSA#OS=LINUX#COL=5#PRO=#SGN=LT"
                             "#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=F#"));
        QVERIFY(!com.form().is_loaded());
    }

    void okWithoutChanges_data() {
        QTest::addColumn<QString>("incoming");
        QTest::addColumn<QString>("handedBack");
        QTest::newRow("keys of any case, unknown keys and DEBUG dropped")
            << "#usr=mon#pwd=YWJj#debug=T#foo=1#full=T#"
            << "#ENC=T#USR=mon#PWD=YWJj#PROTO=A#PORT=0#KEYF=#KEYT=RSA#OS=LINUX#COL=0#PRO=#SGN=LT#NUM=0#EOL=LF#FULL=N#WAIT=F#INPL=F#";
        QTest::newRow("unknown codes and padded values")
            << "#PROTO=x#PORT= 0022abc#KEYT=ecdsa#OS=VMS#COL=8#NUM=3#SGN=GT#EOL=lf#WAIT=t#INPL=T#KEYF= /k #PRO= sshd #"
            << "#ENC=T#USR=#PWD=#PROTO=A#PORT=22#KEYF=/k#KEYT=RSA#OS=LINUX#COL=8#PRO=sshd#SGN=LT#NUM=3#EOL=LF#FULL=N#WAIT=F#INPL=T#";
        QTest::newRow("COL after OS wins")
            << "#OS=AIX#COL=3#SGN=AL#EOL=CRLF#WAIT=T#PROTO=1#KEYT=DSA#"
            << "#ENC=T#USR=#PWD=#PROTO=1#PORT=0#KEYF=#KEYT=DSA#OS=AIX#COL=3#PRO=#SGN=AL#NUM=0#EOL=CRLF#FULL=N#WAIT=T#INPL=F#";
        QTest::newRow("OS without COL selects no column")
            << "#OS=SOLARIS#NUM=150#PORT=ssh#PROTO=T#PWD=w6k=#"
            << "#ENC=T#USR=#PWD=w6k=#PROTO=A#PORT=0#KEYF=#KEYT=RSA#OS=SOLARIS#COL=0#PRO=#SGN=LT#NUM=150#EOL=LF#FULL=N#WAIT=F#INPL=F#";
    }
    void okWithoutChanges() {
        QFETCH(QString, incoming);
        QFETCH(QString, handedBack);
        QCOMPARE(QString::fromStdString(ok_at_once(incoming.toStdString())), handedBack);
    }

    void followsTheSystemRuleAndKeepsALaterColumn() {
        VarnokCom com;
        show_dialog(com, [](FormWindow& w) {
            w.cmbColumn->setListIndex(1);
            w.cmbOS->setCurrentIndex(2);
            emit w.cmbOS->activated(2);  // the operator picks Solaris
            QCOMPARE(w.cmbColumn->ListIndex(), 7);
            w.cmbOS->setListIndex(5);
            QCOMPARE(w.cmbColumn->ListIndex(), 7);
            w.cmbOS->setListIndex(1);
            QCOMPARE(w.cmbColumn->ListIndex(), 4);
            QCOMPARE(w.cmbEOL->ListIndex(), 1);  // nothing else follows the system
            w.cmbColumn->setListIndex(2);
            w.btOK->click();
        });
        QVERIFY(variant_to_text(com.get_xc_parameter()).find("#OS=BSD#COL=3#") != std::string::npos);
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
            w.txtPort->setText(" 022 ");
            w.txtUsername->setText(" me ");
            w.txtProcess->setText(" a#b ");
            w.btOK->click();
        });
        QCOMPARE(variant_to_text(com.get_xc_parameter()),
                 std::string("#ENC=T#USR= me #PWD=#PROTO=#PORT=22#KEYF=#KEYT=#OS=#COL=0#PRO=a#b#SGN=AL"
                             "#NUM=0#EOL=LF#FULL=N#WAIT=F#INPL=F#"));
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
        QCOMPARE(variant_to_text(com.get_xc_parameter()), std::string("#USR=keep#DEBUG=T#"));
        QVERIFY(!com.form().closed_by_ok());
        // The next showing starts from the defaults again.
        show_dialog(com, [](FormWindow& w) {
            QCOMPARE(w.txtUsername->text(), QString("keep"));
            QCOMPARE(w.txtPort->text(), QString("0"));
            w.close();
        });
    }

    void refusesPositionsThatDoNotExistBeforeShowing_data() {
        QTest::addColumn<QString>("incoming");
        QTest::addColumn<int>("error");
        QTest::newRow("COL 16") << "#COL=16#" << 380;
        QTest::newRow("NUM 151") << "#NUM=151#" << 380;
        QTest::newRow("COL -1") << "#COL=-1#" << 380;
        QTest::newRow("bad PWD") << "#USR=x#PWD==#" << 5;
        QTest::newRow("COL 15 and NUM 150") << "#COL=15#NUM=150#" << 0;
    }
    void refusesPositionsThatDoNotExistBeforeShowing() {
        QFETCH(QString, incoming);
        QFETCH(int, error);
        VarnokCom com;
        com.put_xc_parameter(Variant(incoming.toStdString()));
        if (error == 0) {
            show_dialog(com, [](FormWindow& w) {
                QCOMPARE(w.cmbColumn->currentText(), QString("15"));
                QCOMPARE(w.cmbInstances->currentText(), QString("150"));
                w.close();
            });
            return;
        }
        try {
            com.xc_showGUI();
            QFAIL("no error");
        } catch (const AutomationError& e) {
            QCOMPARE(e.number(), error);
        }
        QVERIFY(!com.form().is_loaded());
        QCOMPARE(variant_to_text(com.get_xc_parameter()), incoming.toStdString());
    }

    void pickerRefusesMissingCredentialsAndBadFields() {
        const struct {
            std::string incoming;
            std::string timeout;
            QString text;
        } cases[] = {
            {"", "", "Can't connect to an SSH server without a username"},
            {"#USR=me#", "", "Can't connect to an SSH server without a password"},
            {"#USR=me#PWD=YQ==#PORT=99999#", "", "The port must lie between -32768 and 32767"},
            {"#USR=me#PWD=YQ==#", "soon", "The timeout must be a number of seconds"},
        };
        for (const auto& c : cases) {
            VarnokCom com;
            com.put_xc_parameter(Variant(c.incoming));
            com.put_xc_timeout(Variant(c.timeout));
            Messages messages;
            show_dialog(com, [&messages](FormWindow& w) {
                messages.expect_one();
                w.btListProcesses->click();
                QCOMPARE(w.lblworking->text(), QString());
                QVERIFY(w.btOK->isEnabled());
                w.close();
            });
            QCOMPARE(messages.texts, QStringList{c.text});
            QCOMPARE(messages.icons.value(0), QMessageBox::Critical);
            QVERIFY(com.form().Ssh == nullptr);  // no listing started
        }
    }

    void pickerShowsAFailedConnection() {
        VarnokCom com;
        const std::string port = std::to_string(std::stoi(varnok::testing::fx("VARNOK_SSH_PORT")) + 15);
        com.put_xc_hostname(Variant("127.0.0.1"));
        com.put_xc_parameter(Variant("#USR=me#PWD=YQ==#PRO=keep#PORT=" + port + "#"));
        Messages messages;
        show_dialog(com, [&messages](FormWindow& w) {
            messages.expect_one();
            w.btListProcesses->click();
            QCOMPARE(w.txtProcess->text(), QString("keep"));
            QVERIFY(w.btOK->isEnabled() && w.btListProcesses->isEnabled());
            w.close();
        });
        QCOMPARE(messages.texts,
                 QStringList{QString::fromStdString("Problem: Cannot connect to '127.0.0.1' port " + port +
                                                    ": Connection refused")});
        QCOMPARE(messages.icons.value(0), QMessageBox::NoIcon);
        QVERIFY(com.form().Ssh == nullptr);
    }

    void pickerListsSortedEntriesAndTakesADoubleClick() {
        VarnokCom com;
        com.put_xc_hostname(Variant("127.0.0.1"));
        com.put_xc_timeout(Variant(5));
        com.put_xc_parameter(Variant(bsd_param("#COL=5#PRO=old")));
        QStringList shown;
        QString caption;
        bool disabled_while_listing = false;
        show_dialog(com, [&](FormWindow& w) {
            auto* watch = new QTimer(&w);
            QObject::connect(watch, &QTimer::timeout, [&] {
                if (!w.btOK->isEnabled() && !w.btListProcesses->isEnabled()) disabled_while_listing = true;
            });
            watch->start(1);
            when_modal("frmProcessList", [&](QWidget* p) {
                auto* picker = static_cast<frmProcessList*>(p);
                caption = picker->windowTitle();
                for (int i = 0; i < picker->lstProcesses->count(); ++i) shown << picker->lstProcesses->item(i)->text();
                QListWidgetItem* item = picker->lstProcesses->item(4);
                picker->lstProcesses->setCurrentItem(item);
                const QRect r = picker->lstProcesses->visualItemRect(item);
                QTest::mouseClick(picker->lstProcesses->viewport(), Qt::LeftButton, {}, r.center());
                QCOMPARE(picker->lstProcesses->toolTip(), item->text());
                QTest::mouseDClick(picker->lstProcesses->viewport(), Qt::LeftButton, {}, r.center());
            });
            w.btListProcesses->click();
            watch->stop();
            QCOMPARE(w.txtProcess->text(), QString("/usr/sbin/sshd"));
            QCOMPARE(w.cmbColumn->ListIndex(), 4);
            QVERIFY(w.btOK->isEnabled());
            w.btOK->click();
        });
        QCOMPARE(caption, QString("Processes running on 127.0.0.1"));
        QCOMPARE(shown, (QStringList{"/sbin/devd", "/sbin/init --", "/usr/libexec/getty Pc ttyv0",
                                     "/usr/sbin/cron -s", "/usr/sbin/sshd", "/usr/sbin/syslogd -s",
                                     "[kernel]", "sshd: monitor@notty (sshd)"}));
        QVERIFY(disabled_while_listing);
        QVERIFY(variant_to_text(com.get_xc_parameter()).find("#PRO=/usr/sbin/sshd#") != std::string::npos);
        QCOMPARE(SessionState.SelectedProcess, std::string("/usr/sbin/sshd"));
    }

    // On a real X server at 96 dpi (ctest's gui_tests_x11): the password shows as "*", every
    // caption fits its control, and the window titles are exactly the forms' captions.
    void onARealScreen() {
        if (QGuiApplication::platformName() != "xcb") QSKIP("needs an X server (run under xvfb-run)");
        VarnokCom com;
        com.put_xc_hostname(Variant("127.0.0.1"));
        com.put_xc_parameter(Variant(bsd_param("#COL=5#PRO=sshd#INPL=T#WAIT=T")));
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

    void pickerCloseBoxWritesTheLastPick() {
        for (const std::string& earlier : {std::string(), std::string("bash")}) {
            SessionState.SelectedProcess = earlier;
            VarnokCom com;
            com.put_xc_hostname(Variant("127.0.0.1"));
            com.put_xc_parameter(Variant(bsd_param("#COL=5#PRO=typed")));
            show_dialog(com, [&](FormWindow& w) {
                when_modal("frmProcessList", [](QWidget* p) { p->close(); });
                w.btListProcesses->click();
                QCOMPARE(w.txtProcess->text(), QString::fromStdString(earlier));
                w.close();
            });
        }
    }
};

QTEST_MAIN(FrmmainTest)
#include "frmmain_test.moc"
