/* api_usage.c: a C program written only with names OpenSLP's slp.h declares, built with
 * -Wall -Wextra -Werror -pedantic against whichever slp.h the build uses. It fails to
 * compile when our header drifts from OpenSLP's names, types or signatures.
 * Run, it exercises the calls that need no agent. */
#include <slp.h>

#include <stdio.h>
#include <string.h>

/* Each entry point, assigned to a pointer of the exact OpenSLP type. */
static SLPError (*const open_fn)(const char *, SLPBoolean, SLPHandle *) = SLPOpen;
static void (*const close_fn)(SLPHandle) = SLPClose;
static SLPError (*const reg_fn)(SLPHandle, const char *, unsigned short, const char *, const char *, SLPBoolean,
                                SLPRegReport *, void *) = SLPReg;
static SLPError (*const dereg_fn)(SLPHandle, const char *, SLPRegReport *, void *) = SLPDereg;
static SLPError (*const delattrs_fn)(SLPHandle, const char *, const char *, SLPRegReport *, void *) = SLPDelAttrs;
static SLPError (*const findtypes_fn)(SLPHandle, const char *, const char *, SLPSrvTypeCallback *,
                                      void *) = SLPFindSrvTypes;
static SLPError (*const findsrvs_fn)(SLPHandle, const char *, const char *, const char *, SLPSrvURLCallback *,
                                     void *) = SLPFindSrvs;
static SLPError (*const findattrs_fn)(SLPHandle, const char *, const char *, const char *, SLPAttrCallback *,
                                      void *) = SLPFindAttrs;
static unsigned short (*const refresh_fn)(void) = SLPGetRefreshInterval;
static SLPError (*const scopes_fn)(SLPHandle, char **) = SLPFindScopes;
static SLPError (*const escape_fn)(const char *, char **, SLPBoolean) = SLPEscape;
static SLPError (*const unescape_fn)(const char *, char **, SLPBoolean) = SLPUnescape;
static void (*const free_fn)(void *) = SLPFree;
static const char *(*const getprop_fn)(const char *) = SLPGetProperty;
static void (*const setprop_fn)(const char *, const char *) = SLPSetProperty;
static SLPError (*const associp_fn)(SLPHandle, const char *) = SLPAssociateIP;
static SLPError (*const associf_fn)(SLPHandle, const char *) = SLPAssociateIFList;

/* Callbacks written the way applications write them. */
static void SLPCALLBACK on_reg(SLPHandle h, SLPError err, void *cookie) {
    (void)h;
    *(SLPError *)cookie = err;
}
static SLPBoolean SLPCALLBACK on_url(SLPHandle h, const char *url, unsigned short lifetime, SLPError err,
                                     void *cookie) {
    (void)h, (void)url, (void)lifetime, (void)err, (void)cookie;
    return SLP_TRUE;
}
static SLPBoolean SLPCALLBACK on_text(SLPHandle h, const char *text, SLPError err, void *cookie) {
    (void)h, (void)text, (void)err, (void)cookie;
    return SLP_FALSE;
}

static const SLPError all_codes[] = {
    SLP_LAST_CALL, SLP_OK, SLP_LANGUAGE_NOT_SUPPORTED, SLP_PARSE_ERROR, SLP_INVALID_REGISTRATION,
    SLP_SCOPE_NOT_SUPPORTED, SLP_AUTHENTICATION_ABSENT, SLP_AUTHENTICATION_FAILED, SLP_INVALID_UPDATE,
    SLP_REFRESH_REJECTED, SLP_NOT_IMPLEMENTED, SLP_BUFFER_OVERFLOW, SLP_NETWORK_TIMED_OUT,
    SLP_NETWORK_INIT_FAILED, SLP_MEMORY_ALLOC_FAILED, SLP_PARAMETER_BAD, SLP_NETWORK_ERROR,
    SLP_INTERNAL_SYSTEM_ERROR, SLP_HANDLE_IN_USE, SLP_TYPE_ERROR};

int main(void) {
    int failures = 0;
    SLPHandle h = NULL;
    SLPSrvURL *url = NULL;
    char *text = NULL;
    SLPError status = SLP_OK;
    SLPURLLifetime lifetime = SLP_LIFETIME_DEFAULT;
    SLPSrvTypeCallback *type_cb = on_text;
    SLPSrvURLCallback *url_cb = on_url;
    SLPAttrCallback *attr_cb = on_text;
    SLPRegReport *reg_cb = on_reg;

    if (open_fn("en", SLP_FALSE, &h) != SLP_OK || h == NULL) ++failures;
    /* Called directly: RFC 2614 declares its URL non-const, the common header const. */
    char wbem[] = "service:wbem:https://192.0.2.10:5989";
    if (SLPParseSrvURL(wbem, &url) != SLP_OK || url->s_iPort != 5989 ||
        strcmp(url->s_pcSrvType, "service:wbem:https") != 0 || strcmp(url->s_pcHost, "192.0.2.10") != 0 ||
        url->s_pcNetFamily == NULL || url->s_pcSrvPart == NULL)
        ++failures;
    free_fn(url);
    if (escape_fn("a,b", &text, SLP_FALSE) != SLP_OK) ++failures;
    free_fn(text);
    if (unescape_fn("a\\2Cb", &text, SLP_FALSE) != SLP_OK || strcmp(text, "a,b") != 0) ++failures;
    free_fn(text);
    if (getprop_fn("net.slp.useScopes") == NULL) ++failures;
    setprop_fn("x.api.usage", "1");
    /* Scopes set on purpose: SLPFindScopes reports them without looking for DAs on the network. */
    setprop_fn("net.slp.useScopes", "DEFAULT");
    (void)refresh_fn();
    if (scopes_fn(h, &text) == SLP_OK) free_fn(text);

    /* Argument checks only: nothing here reaches the network. */
    if (reg_fn(h, "service:x://h", 0, NULL, "", SLP_TRUE, reg_cb, &status) != SLP_PARAMETER_BAD) ++failures;
    if (reg_fn(h, "service:x://h", SLP_LIFETIME_MAXIMUM, NULL, "", SLP_FALSE, reg_cb, &status) != SLP_NOT_IMPLEMENTED)
        ++failures;
    if (dereg_fn(h, NULL, reg_cb, &status) != SLP_PARAMETER_BAD) ++failures;
    if (delattrs_fn(h, NULL, "a", reg_cb, &status) != SLP_PARAMETER_BAD) ++failures;
    if (findtypes_fn(h, "*", "", NULL, NULL) != SLP_PARAMETER_BAD) ++failures;
    if (findsrvs_fn(h, NULL, "", "", url_cb, NULL) != SLP_PARAMETER_BAD) ++failures;
    if (findattrs_fn(h, NULL, "", "", attr_cb, NULL) != SLP_PARAMETER_BAD) ++failures;
    if (associp_fn(h, "192.0.2.1") != SLP_OK || associp_fn(h, "fd00::1") != SLP_OK ||
        associp_fn(NULL, "192.0.2.1") != SLP_PARAMETER_BAD || associp_fn(h, NULL) != SLP_PARAMETER_BAD)
        ++failures;
    if (associf_fn(h, "192.0.2.1,198.51.100.1") != SLP_OK || associf_fn(NULL, "192.0.2.1") != SLP_PARAMETER_BAD)
        ++failures;
    (void)type_cb;
    close_fn(h);

    if (lifetime != 10800 || SLP_LIFETIME_MAXIMUM != 65535 || status != SLP_OK ||
        sizeof all_codes / sizeof all_codes[0] != 20)
        ++failures;
    if (failures != 0) fprintf(stderr, "api_usage: %d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
