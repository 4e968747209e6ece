// SPDX-License-Identifier: Apache-2.0
#include "capi/comvarnok.h"

#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "automation/automation_error.h"
#include "check/varnok_com.h"

struct varnok_object {
    varnok::VarnokCom com;
    std::string text;  // keeps the last text handed out alive
};

namespace {

using varnok::AutomationError;
using varnok::Variant;

int32_t fail(varnok_error* error, int32_t number, const std::string& description) {
    if (error != nullptr) {
        error->number = number;
        std::strncpy(error->description, description.c_str(), sizeof error->description - 1);
        error->description[sizeof error->description - 1] = '\0';
    }
    return number;
}

int32_t fail(varnok_error* error, const AutomationError& e) {
    return fail(error, e.number(), e.what());
}

int32_t ok(varnok_error* error) {
    if (error != nullptr) {
        error->number = 0;
        error->description[0] = '\0';
    }
    return 0;
}

// No exception may cross into the host: every failure becomes a number and a text.
template <typename F>
int32_t guarded(varnok_error* error, F&& f) {
    try {
        f();
        return ok(error);
    } catch (const AutomationError& e) {
        return fail(error, e);
    } catch (const std::exception& e) {
        return fail(error, AutomationError::internal_error(e.what()));
    } catch (...) {
        return fail(error, AutomationError::internal_error());
    }
}

Variant to_variant(const varnok_variant& value) {
    switch (value.type) {
        case VARNOK_INTEGER:
            return Variant(value.integer);
        case VARNOK_DOUBLE:
            return Variant(value.real);
        case VARNOK_TEXT:
            return Variant(std::string(value.text != nullptr ? value.text : ""));
        case VARNOK_BOOLEAN:
            return Variant(value.boolean != 0);
        default:
            return Variant();
    }
}

int32_t not_supported(varnok_error* error) { return fail(error, AutomationError::not_supported()); }

}  // namespace

extern "C" {

int32_t varnok_create(const char* progid, varnok_object** object, varnok_error* error) {
    if (object == nullptr) return fail(error, AutomationError::invalid_argument());
    *object = nullptr;
    if (progid == nullptr || std::strcmp(progid, varnok::VarnokCom::kProgId) != 0) {
        return fail(error, AutomationError::cannot_create_object());
    }
    return guarded(error, [&] { *object = new varnok_object(); });
}

// The destructors of the object never throw.
void varnok_release(varnok_object* object) { delete object; }

int32_t varnok_put(varnok_object* object, const char* property, const varnok_variant* value,
                   varnok_error* error) {
    if (object == nullptr || property == nullptr || value == nullptr) {
        return fail(error, AutomationError::invalid_argument());
    }
    if (value->type < VARNOK_EMPTY || value->type > VARNOK_BOOLEAN) {
        return fail(error, AutomationError::type_mismatch());
    }
    void (varnok::VarnokCom::*put)(const Variant&) = nullptr;
    const std::string_view name = property;
    if (name == "xc_result")
        put = &varnok::VarnokCom::put_xc_result;
    else if (name == "xc_parameter")
        put = &varnok::VarnokCom::put_xc_parameter;
    else if (name == "xc_timeout")
        put = &varnok::VarnokCom::put_xc_timeout;
    else if (name == "xc_hostname")
        put = &varnok::VarnokCom::put_xc_hostname;
    else
        return not_supported(error);
    // Copying a text allocates: inside the guard, so no exception reaches the host.
    return guarded(error, [&] { (object->com.*put)(to_variant(*value)); });
}

int32_t varnok_get(varnok_object* object, const char* property, varnok_variant* value,
                   varnok_error* error) {
    if (object == nullptr || property == nullptr || value == nullptr) {
        return fail(error, AutomationError::invalid_argument());
    }
    Variant (varnok::VarnokCom::*get)() const = nullptr;
    const std::string_view name = property;
    if (name == "xc_result")
        get = &varnok::VarnokCom::get_xc_result;
    else if (name == "xc_parameter")
        get = &varnok::VarnokCom::get_xc_parameter;
    else if (name == "xc_timeout")
        get = &varnok::VarnokCom::get_xc_timeout;
    else if (name == "xc_hostname")
        get = &varnok::VarnokCom::get_xc_hostname;
    else
        return not_supported(error);
    return guarded(error, [&] {
        const Variant v = (object->com.*get)();
        if (v.is_object()) throw AutomationError(13, "Type mismatch");
        varnok_variant out{};
        if (v.is_integer()) {
            out.type = VARNOK_INTEGER;
            out.integer = v.integer();
        } else if (v.is_double()) {
            out.type = VARNOK_DOUBLE;
            out.real = v.real();
        } else if (v.is_text()) {
            object->text = v.text();
            out.type = VARNOK_TEXT;
            out.text = object->text.c_str();
        } else if (v.is_bool()) {
            out.type = VARNOK_BOOLEAN;
            out.boolean = v.boolean() ? -1 : 0;
        }
        *value = out;
    });
}

int32_t varnok_docheck(varnok_object* object, int32_t* result, varnok_error* error) {
    if (object == nullptr || result == nullptr)
        return fail(error, AutomationError::invalid_argument());
    return guarded(error, [&] { *result = object->com.xc_docheck() ? -1 : 0; });
}

int32_t varnok_showgui(varnok_object* object, varnok_error* error) {
    if (object == nullptr) return fail(error, AutomationError::invalid_argument());
    return guarded(error, [&] { object->com.xc_showGUI(); });
}

}  // extern "C"
