// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "settings/param_string.h"

// The border between the settings form, which every check object hosts, and its window code,
// a shared module loaded only when the form's controls are first used. Nothing here needs Qt.

namespace varnok {

/// What the form shows when it is shown for a check object.
struct FormContents {
    std::string hostname;
    std::string timeout;
    /// False when the object has no parameter string: the form keeps its defaults but for
    /// values.eol, values.wait and values.include_matches.
    bool from_string = false;
    /// Positions below -1 do not exist in their list; os and rule below 0 keep the default.
    FormValues values;
};

/// What the form's controls hold, as OK and the "..." button read them.
struct FormFields {
    std::string hostname;
    std::string timeout;
    FormValues values;
};

/// The form's fields as the "..." button reads them to start a listing.
struct ListingRequest {
    std::string hostname;
    int16_t timeout_seconds = 0;
    int16_t port = 0;
    FormValues fields;
};

/// A listing for the picker: an error text, or the entries in the picker's order.
struct ListingResult {
    std::string error;
    std::vector<std::string> entries;
};

/// The form object's side of the border: it owns the SSH session and this thread's state.
class FormHost {
  public:
    /// The system rule: the column position for a system position, or -1 for no change.
    virtual int default_column(int os_position) const = 0;
    /// The picker's refusals: the listing the fields ask for, or the text that refuses them.
    virtual std::variant<ListingRequest, std::string> listing_request(
        const FormFields& fields) const = 0;
    /// OK: keeps the parameter string written from values as this thread's ParameterText.
    virtual void accept_values(const FormValues& values) = 0;
    /// Lists the remote processes with the form's fields, letting pending events run meanwhile.
    virtual ListingResult list_processes(const ListingRequest& request) = 0;
    /// The process the picker chose last on this thread.
    virtual std::string selected_process() const = 0;
    /// Records the picker's choice.
    virtual void set_selected_process(const std::string& name) = 0;

  protected:
    ~FormHost() = default;
};

/// The window of one loaded form, implemented by the window module.
class FormUi {
  public:
    virtual ~FormUi() = default;
    /// Puts contents into the controls; throws AutomationError 380 for a list position that
    /// does not exist.
    virtual void show_contents(const FormContents& contents) = 0;
    /// Shows the form modally above all other windows; true when OK closed it.
    virtual bool show_modal() = 0;
    /// The caption of the hidden scratch label lblTemp.
    virtual std::string lblTemp_caption() const = 0;
    /// Sets the caption of lblTemp.
    virtual void set_lblTemp_caption(const std::string& caption) = 0;
};

/// The window module's entry points, looked up by these names once it is loaded.
inline constexpr const char* kGuiCreateFormSymbol = "varnok_gui_create_form";
inline constexpr const char* kGuiPumpSymbol = "varnok_gui_pump";

/// Loads a form's window for host (Form_Load done); on failure nullptr with the error's number
/// and text set.
using GuiCreateForm = FormUi* (*)(FormHost* host, int* error_number, std::string* error_text);
/// Runs this thread's pending window events; false when this thread has no window system.
using GuiPump = bool (*)();

}  // namespace varnok
