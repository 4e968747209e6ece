// SPDX-License-Identifier: Apache-2.0
/* comVarnok: the in-process C interface of the agentless process check. */
#ifndef COMVARNOK_H
#define COMVARNOK_H

#include <stdint.h>

#ifndef VARNOK_EXPORT
#define VARNOK_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** A check object; single-threaded: use it on the thread that created it. */
typedef struct varnok_object varnok_object;

/** The kinds of value a property holds. */
typedef enum varnok_type {
    VARNOK_EMPTY = 0,
    VARNOK_INTEGER = 1,
    VARNOK_DOUBLE = 2,
    VARNOK_TEXT = 3,
    VARNOK_BOOLEAN = 4
} varnok_type;

/** A tagged value; text is UTF-8. A text from varnok_get stays valid until the next call on the
 * object. */
typedef struct varnok_variant {
    varnok_type type;
    int32_t integer;
    double real;
    const char* text;
    int32_t boolean; /* automation Boolean: -1 true, 0 false */
} varnok_variant;

/** A failed call: the automation error number and its description. */
typedef struct varnok_error {
    int32_t number;
    char description[512];
} varnok_error;

/** Creates a check object of the class named by its programmatic identifier "comVarnok.VarnokCom".
 *  Returns 0, or an error number (with the error filled when error is not NULL). */
VARNOK_EXPORT int32_t varnok_create(const char* progid, varnok_object** object,
                                    varnok_error* error);

/** Releases a check object. */
VARNOK_EXPORT void varnok_release(varnok_object* object);

/** Puts a property ("xc_result", "xc_parameter", "xc_timeout", "xc_hostname"); returns 0 or an
 * error number. */
VARNOK_EXPORT int32_t varnok_put(varnok_object* object, const char* property,
                                 const varnok_variant* value, varnok_error* error);

/** Gets a property; returns 0 or an error number. */
VARNOK_EXPORT int32_t varnok_get(varnok_object* object, const char* property, varnok_variant* value,
                                 varnok_error* error);

/** Runs one check; *result receives -1 (passed) or 0. Returns 0 or an error number. */
VARNOK_EXPORT int32_t varnok_docheck(varnok_object* object, int32_t* result, varnok_error* error);

/** Opens the settings dialog and returns when it closes. Returns 0 or an error number. */
VARNOK_EXPORT int32_t varnok_showgui(varnok_object* object, varnok_error* error);

#ifdef __cplusplus
}
#endif

#endif
