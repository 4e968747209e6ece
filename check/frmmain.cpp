// SPDX-License-Identifier: Apache-2.0
#include "check/frmmain.h"

#include <dlfcn.h>

#include <string>

#include "automation/automation_error.h"
#include "check/listing_request.h"
#include "listing/event_pump.h"
#include "listing/lines.h"
#include "state/state.h"

namespace varnok {
namespace {

constexpr const char* kModuleName = VARNOK_GUI_MODULE;

// The module is a private plugin in a folder of its own below the loading object's folder: the
// build folder holds varnok, libcomvarnok.so and that folder; installed, it sits below the library
// folder beside libcomvarnok.so, and varnok finds it there by the library folder it was built for.
std::string module_below_this_object() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_below_this_object), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    const std::string self = info.dli_fname;
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string() : self.substr(0, slash + 1) + kModuleName;
}

struct GuiModule {
    GuiCreateForm create = nullptr;
    std::string error;
};

const GuiModule& gui_module() {
    static const GuiModule module = [] {
        GuiModule m;
        // A host that linked the module (the GUI tests, the screenshot tool) finds its entry
        // points in the global scope: loading a second copy would give it two Qt states.
        const bool linked = dlsym(RTLD_DEFAULT, kGuiCreateFormSymbol) != nullptr;
        void* handle = linked ? dlopen(nullptr, RTLD_NOW) : nullptr;
        std::string tried;
        for (const std::string& path :
             {module_below_this_object(), std::string(VARNOK_INSTALL_LIBDIR "/") + kModuleName}) {
            if (handle != nullptr || path.empty()) continue;
            handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr) {
                const char* why = dlerror();
                tried += (tried.empty() ? "" : "; ") + std::string(why != nullptr ? why : path);
            }
        }
        if (handle == nullptr) {
            m.error = "The settings dialog's window module cannot be loaded (" + tried +
                      "); install the comvarnok-gui package";
            return m;
        }
        // The module stays loaded: its windows and event hook may outlive any one form.
        m.create = reinterpret_cast<GuiCreateForm>(dlsym(handle, kGuiCreateFormSymbol));
        const auto pump = reinterpret_cast<GuiPump>(dlsym(handle, kGuiPumpSymbol));
        if (m.create == nullptr || pump == nullptr) {
            m.create = nullptr;
            m.error = std::string(
                          "The settings dialog's window module is not the one this check was built "
                          "with (") +
                      kModuleName + ")";
            return m;
        }
        set_window_events_hook(pump);
        return m;
    }();
    return module;
}

}  // namespace

frmmain::frmmain() = default;

frmmain::~frmmain() = default;

FormUi& frmmain::controls() {
    if (!window_) {
        const GuiModule& module = gui_module();
        if (module.create == nullptr) throw AutomationError(5, module.error);
        int number = 0;
        std::string text;
        window_.reset(module.create(this, &number, &text));
        if (!window_) throw AutomationError(number != 0 ? number : 5, text);
    }
    return *window_;
}

void frmmain::unload() { window_.reset(); }

bool frmmain::show_modal() {
    closed_by_ok_ = controls().show_modal();
    unload();
    return closed_by_ok_;
}

std::string frmmain::lblTemp_caption() const {
    return window_ ? window_->lblTemp_caption() : SessionDriver::lblTemp_caption();
}

void frmmain::set_lblTemp_caption(const std::string& caption) {
    if (window_)
        window_->set_lblTemp_caption(caption);
    else
        SessionDriver::set_lblTemp_caption(caption);
}

int frmmain::default_column(int os_position) const { return default_column_for_os(os_position); }

std::variant<ListingRequest, std::string> frmmain::listing_request(const FormFields& fields) const {
    return listing_request_for(fields);
}

void frmmain::accept_values(const FormValues& values) {
    ParameterText = write_parameter_string(values);
}

ListingResult frmmain::list_processes(const ListingRequest& r) {
    const FormValues& f = r.fields;
    CheckSettingsRecord& cs = CheckSettings;
    cs.TimeoutSeconds = r.timeout_seconds;
    cs.Hostname = r.hostname;
    cs.Username = f.username;
    cs.Password = f.password;
    cs.KeyFile = f.key_file;
    cs.KeyType = f.key_type == 1 ? "DSA" : "RSA";
    if (const std::string code = protocol_code(f.protocol); !code.empty()) cs.Protocol = code;
    cs.Port = r.port;
    if (const std::string code = os_code(f.os); !code.empty()) cs.OSType = code;
    cs.EOLType = eol_code(f.eol);
    cs.Column = static_cast<int16_t>(f.column + 1);
    SessionState.Disconnected = false;
    cs.AddWait = f.wait;
    set_lblTemp_caption(time_of_day_text());

    run_listing();
    Ssh.reset();

    ListingResult result;
    if (!SessionState.ConnectError.empty()) {
        result.error = SessionState.ConnectError;
        return result;
    }
    SortWords();
    result.entries.assign(SessionState.Lines.begin(),
                          SessionState.Lines.begin() + SessionState.LineCount);
    return result;
}

std::string frmmain::selected_process() const { return SessionState.SelectedProcess; }

void frmmain::set_selected_process(const std::string& name) { SessionState.SelectedProcess = name; }

}  // namespace varnok
