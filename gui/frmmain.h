#pragma once

#include <memory>
#include <string>

#include "listing/session_driver.h"

namespace varnok {

class FormWindow;
class frmProcessList;

/// The settings form of one check object. It hosts the SSH session driver, which needs no
/// display; its window is loaded only when its controls are first used.
class frmmain : public SessionDriver {
public:
    frmmain();
    ~frmmain() override;

    /// The form's controls, loading the form (Form_Load) on first use.
    FormWindow& controls();
    /// True while the form is loaded.
    bool is_loaded() const { return window_ != nullptr; }
    /// Unloads the form: its controls and their contents are gone.
    void unload();
    /// Shows the form modally above all other windows until OK or the close box unloads it;
    /// true when OK closed it.
    bool show_modal();

    /// True when the last showing ended with OK.
    bool closed_by_ok() const { return closed_by_ok_; }

    /// Fills the lists and sets the defaults.
    void Form_Load();
    /// The system rule: moves the column to the selected system's default.
    void cmbOS_Click();
    /// Builds the parameter string into ParameterText and unloads the form.
    void btOK_Click();
    /// Lists the remote processes with the form's settings and lets the operator pick one.
    void btListProcesses_Click();

    std::string lblTemp_caption() const override;
    void set_lblTemp_caption(const std::string& caption) override;

private:
    std::unique_ptr<FormWindow> window_;
    std::unique_ptr<frmProcessList> picker_;
    bool closed_by_ok_ = false;
};

/// The form's version caption.
std::string version_caption();

/// Shows a message box titled "comVarnok" with one OK button, with or without a stop icon.
void show_message(const std::string& text, bool stop_icon);

}  // namespace varnok
