// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>

#include "check/form_ui.h"
#include "listing/session_driver.h"

namespace varnok {

/// The settings form of one check object. It hosts the SSH session driver, which needs no
/// display; its window comes from the window module, loaded when its controls are first used.
class frmmain : public SessionDriver, private FormHost {
  public:
    frmmain();
    ~frmmain() override;

    /// The form's window, loading the module and the form (Form_Load) on first use; throws
    /// AutomationError when the module or a display is missing.
    FormUi& controls();
    /// True while the form is loaded.
    bool is_loaded() const { return window_ != nullptr; }
    /// Unloads the form: its controls and their contents are gone.
    void unload();
    /// Shows the form modally above all other windows until OK or the close box unloads it;
    /// true when OK closed it.
    bool show_modal();

    /// True when the last showing ended with OK.
    bool closed_by_ok() const { return closed_by_ok_; }

    std::string lblTemp_caption() const override;
    void set_lblTemp_caption(const std::string& caption) override;

  private:
    int default_column(int os_position) const override;
    std::variant<ListingRequest, std::string> listing_request(
        const FormFields& fields) const override;
    void accept_values(const FormValues& values) override;
    ListingResult list_processes(const ListingRequest& request) override;
    std::string selected_process() const override;
    void set_selected_process(const std::string& name) override;

    std::unique_ptr<FormUi> window_;
    bool closed_by_ok_ = false;
};

}  // namespace varnok
