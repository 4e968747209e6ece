// SPDX-License-Identifier: Apache-2.0
/* Built against the installed header and library through pkg-config by scripts/package-check:
 * a check without a user name must come back with its error text, and the dialog must say why
 * it cannot open here. */
#include <comvarnok/comvarnok.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    varnok_object* check = NULL;
    varnok_error error;
    if (varnok_create("comVarnok.VarnokCom", &check, &error) != 0) return 1;
    varnok_variant value = {VARNOK_TEXT, 0, 0, "#PWD=YQ==#", 0};
    int32_t passed = 1;
    if (varnok_put(check, "xc_parameter", &value, &error) != 0 ||
        varnok_docheck(check, &passed, &error) != 0 ||
        varnok_get(check, "xc_result", &value, &error) != 0) {
        return 1;
    }
    printf("%d %s\n", passed, value.text);
    if (passed != 0 ||
        strcmp(value.text, "ERR: can't connect to an SSH server without a USERNAME") != 0)
        return 1;
    const int32_t gui = varnok_showgui(check, &error);
    printf("dialog: error %d: %s\n", gui, error.description);
    varnok_release(check);
    return gui == 5 ? 0 : 1;
}
