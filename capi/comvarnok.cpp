#include "capi/comvarnok.h"

#include <cstring>
#include <exception>
#include <string>

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
        return fail(error, e.number(), e.what());
    } catch (const std::exception& e) {
        return fail(error, 51, std::string("Internal error: ") + e.what());
    } catch (...) {
        return fail(error, 51, "Internal error");
    }
}

int32_t not_supported(varnok_error* error) {
    return fail(error, 438, "Object doesn't support this property or method");
}

}  // namespace

extern "C" {

int32_t varnok_create(const char* progid, varnok_object** object, varnok_error* error) {
    if (object == nullptr) return fail(error, 5, "Invalid procedure call or argument");
    *object = nullptr;
    if (progid == nullptr || std::strcmp(progid, varnok::VarnokCom::kProgId) != 0) {
        return fail(error, 429, "ActiveX component can't create object");
    }
    return guarded(error, [&] { *object = new varnok_object(); });
}

void varnok_release(varnok_object* object) { delete object; }

int32_t varnok_put(varnok_object* object, const char* property, const varnok_variant* value,
                   varnok_error* error) {
    if (object == nullptr || property == nullptr || value == nullptr) {
        return fail(error, 5, "Invalid procedure call or argument");
    }
    Variant v;
    switch (value->type) {
        case VARNOK_EMPTY:
            break;
        case VARNOK_INTEGER:
            v = Variant(value->integer);
            break;
        case VARNOK_DOUBLE:
            v = Variant(value->real);
            break;
        case VARNOK_TEXT:
            v = Variant(std::string(value->text != nullptr ? value->text : ""));
            break;
        case VARNOK_BOOLEAN:
            v = Variant(value->boolean != 0);
            break;
        default:
            return fail(error, 13, "Type mismatch");
    }
    const std::string name = property;
    varnok::VarnokCom& com = object->com;
    if (name == "xc_result") com.put_xc_result(v);
    else if (name == "xc_parameter") com.put_xc_parameter(v);
    else if (name == "xc_timeout") com.put_xc_timeout(v);
    else if (name == "xc_hostname") com.put_xc_hostname(v);
    else return not_supported(error);
    return ok(error);
}

int32_t varnok_get(varnok_object* object, const char* property, varnok_variant* value,
                   varnok_error* error) {
    if (object == nullptr || property == nullptr || value == nullptr) {
        return fail(error, 5, "Invalid procedure call or argument");
    }
    const std::string name = property;
    varnok::VarnokCom& com = object->com;
    Variant v;
    if (name == "xc_result") v = com.get_xc_result();
    else if (name == "xc_parameter") v = com.get_xc_parameter();
    else if (name == "xc_timeout") v = com.get_xc_timeout();
    else if (name == "xc_hostname") v = com.get_xc_hostname();
    else return not_supported(error);
    *value = varnok_variant{};
    if (v.is_integer()) {
        value->type = VARNOK_INTEGER;
        value->integer = v.integer();
    } else if (v.is_double()) {
        value->type = VARNOK_DOUBLE;
        value->real = v.real();
    } else if (v.is_text()) {
        object->text = v.text();
        value->type = VARNOK_TEXT;
        value->text = object->text.c_str();
    } else if (v.is_bool()) {
        value->type = VARNOK_BOOLEAN;
        value->boolean = v.boolean() ? -1 : 0;
    } else if (v.is_object()) {
        return fail(error, 13, "Type mismatch");
    }
    return ok(error);
}

int32_t varnok_docheck(varnok_object* object, int32_t* result, varnok_error* error) {
    if (object == nullptr || result == nullptr) return fail(error, 5, "Invalid procedure call or argument");
    return guarded(error, [&] { *result = object->com.xc_docheck() ? -1 : 0; });
}

int32_t varnok_showgui(varnok_object* object, varnok_error* error) {
    if (object == nullptr) return fail(error, 5, "Invalid procedure call or argument");
    return guarded(error, [&] { object->com.xc_showGUI(); });
}

}  // extern "C"
