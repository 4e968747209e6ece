// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <functional>
#include <memory>

#include "check/form_ui.h"

namespace varnok {

/// Converts twips to pixels at the widget's logical DPI (15 twips to the pixel at 96 DPI).
int twips_to_pixels(const QWidget* widget, int twips);

/// An editable drop-down whose selected position is -1 once the operator typed a text of their
/// own, and whose click handler runs whenever the position is set.
class DropDown : public QComboBox {
  public:
    explicit DropDown(QWidget* parent);
    /// The selected position, or -1 for none.
    int ListIndex() const;
    /// Selects a position (-1 for none) and raises the click handler; throws error 380 for a
    /// position that does not exist.
    void setListIndex(int index);
    /// Runs when the position is set, by the operator or by code.
    std::function<void()> Click;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    bool typed_ = false;
};

/// A plain window that Return and Escape leave alone; closing it ends its modal loop.
class FormDialog : public QDialog {
  public:
    using QDialog::QDialog;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class frmProcessList;

/// The controls of the settings form, each named as its objectName, and their handlers.
class FormWindow : public FormDialog, public FormUi {
  public:
    /// Builds the controls and loads the form (Form_Load) for the form object host.
    explicit FormWindow(FormHost& host);
    ~FormWindow() override;

    void show_contents(const FormContents& contents) override;
    bool show_modal() override;
    std::string lblTemp_caption() const override;
    void set_lblTemp_caption(const std::string& caption) override;

    /// Fills the lists and sets the defaults.
    void Form_Load();
    /// What the controls hold now.
    FormFields read_form() const;
    /// The system rule: moves the column to the selected system's default.
    void cmbOS_Click();
    /// Hands the form's values to the form object as its new parameter string and closes.
    void btOK_Click();
    /// Lists the remote processes with the form's settings and lets the operator pick one.
    void btListProcesses_Click();

    QLabel* Label1;
    QLineEdit* txtHostname;
    QLabel* lblTemp;
    QLabel* Label9;
    DropDown* cmbProtocol;
    QLabel* Label10;
    QLineEdit* txtPort;
    QLabel* Label2;
    QLineEdit* txtUsername;
    QLabel* Label3;
    QLineEdit* txtPassword;
    QLabel* Label15;
    QLineEdit* txtKeyfile;
    QLabel* Label16;
    DropDown* cmbKeyType;
    QLabel* Label6;
    DropDown* cmbOS;
    QLabel* Label7;
    DropDown* cmbColumn;
    QLabel* Label14;
    DropDown* cmbEOL;
    QLabel* Label8;
    DropDown* cmbRule;
    DropDown* cmbInstances;
    QLabel* Label11;
    QPushButton* btOK;
    QLabel* Label12;
    QLineEdit* txtProcess;
    QPushButton* btListProcesses;
    QLabel* Label13;
    QCheckBox* chkIncludeWait;
    QCheckBox* chkIncludeinOutput;
    QLabel* lblworking;
    QLabel* Label4;
    QLineEdit* txtTimeout;
    QLabel* Label5;

    /// True once OK closed the window.
    bool ok_pressed = false;

  private:
    FormHost& host_;
    std::unique_ptr<frmProcessList> picker_;
};

/// The process picker: a list to double-click and a hint below it.
class frmProcessList : public FormDialog {
  public:
    /// A picker whose double-click records the choice with host.
    explicit frmProcessList(FormHost& host);

    QListWidget* lstProcesses;
    QLabel* Label1;

    /// Widens the list with the window.
    void Form_Resize();
    /// Shows the selected entry whole as the list's tooltip.
    void lstProcesses_Click();
    /// Keeps the selected entry as the pick and closes the picker.
    void lstProcesses_DblClick();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    FormHost& host_;
};

}  // namespace varnok
