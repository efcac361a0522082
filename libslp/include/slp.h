/* slp.h: the SLP client API of RFC 2614, source compatible with OpenSLP's public header.
 *
 * Programs written against OpenSLP build unchanged against this header and link with our
 * libslp. Handles are synchronous: callbacks run on the calling thread before the call
 * returns.
 */
#ifndef SLP_H_INCLUDED
#define SLP_H_INCLUDED

#ifdef __cplusplus
extern "C" {
#endif

/* Calling-convention and export decorations; empty on every platform this library supports,
 * but present so application callbacks written with SLPCALLBACK compile. */
#ifndef SLPEXP
#define SLPEXP
#endif
#ifndef SLPAPI
#define SLPAPI
#endif
#ifndef SLPCALLBACK
#define SLPCALLBACK
#endif

typedef enum {
    SLP_LIFETIME_DEFAULT = 10800, /* 3 hours */
    SLP_LIFETIME_MAXIMUM = 65535  /* about 18 hours, the largest the protocol carries */
} SLPURLLifetime;

/* An int with #defines rather than an enum: C++ code may then assign a plain integer (a
 * negated protocol error code, say) to an SLPError, as it can with OpenSLP 1.2's header. */
typedef int SLPError;

#define SLP_LAST_CALL 1
#define SLP_OK 0
#define SLP_LANGUAGE_NOT_SUPPORTED -1
#define SLP_PARSE_ERROR -2
#define SLP_INVALID_REGISTRATION -3
#define SLP_SCOPE_NOT_SUPPORTED -4
#define SLP_AUTHENTICATION_ABSENT -6
#define SLP_AUTHENTICATION_FAILED -7
#define SLP_INVALID_UPDATE -13
#define SLP_REFRESH_REJECTED -15
#define SLP_NOT_IMPLEMENTED -17
#define SLP_BUFFER_OVERFLOW -18
#define SLP_NETWORK_TIMED_OUT -19
#define SLP_NETWORK_INIT_FAILED -20
#define SLP_MEMORY_ALLOC_FAILED -21
#define SLP_PARAMETER_BAD -22
#define SLP_NETWORK_ERROR -23
#define SLP_INTERNAL_SYSTEM_ERROR -24
#define SLP_HANDLE_IN_USE -25
#define SLP_TYPE_ERROR -26

typedef enum { SLP_FALSE = 0, SLP_TRUE = 1 } SLPBoolean;

/* A service URL split by SLPParseSrvURL; one allocation, released with SLPFree. */
typedef struct srvurl {
    char *s_pcSrvType;   /* "service:" type, naming authority included */
    char *s_pcHost;      /* host name or address */
    int s_iPort;         /* port, 0 when the URL names none */
    char *s_pcNetFamily; /* "" for IP, "v6" for a bracketed IPv6 host */
    char *s_pcSrvPart;   /* everything after host and port, never NULL */
} SLPSrvURL;

typedef void *SLPHandle;

/* Callback types are function types; parameters declared with them decay to pointers. */
typedef void SLPCALLBACK SLPRegReport(SLPHandle hSLP, SLPError errCode, void *pvCookie);

typedef SLPBoolean SLPCALLBACK SLPSrvTypeCallback(SLPHandle hSLP, const char *pcSrvTypes, SLPError errCode,
                                                  void *pvCookie);

typedef SLPBoolean SLPCALLBACK SLPSrvURLCallback(SLPHandle hSLP, const char *pcSrvURL, unsigned short sLifetime,
                                                 SLPError errCode, void *pvCookie);

typedef SLPBoolean SLPCALLBACK SLPAttrCallback(SLPHandle hSLP, const char *pcAttrList, SLPError errCode,
                                               void *pvCookie);

SLPEXP SLPError SLPAPI SLPOpen(const char *pcLang, SLPBoolean isAsync, SLPHandle *phSLP);

SLPEXP void SLPAPI SLPClose(SLPHandle hSLP);

SLPEXP SLPError SLPAPI SLPReg(SLPHandle hSLP, const char *pcSrvURL, unsigned short usLifetime, const char *pcSrvType,
                              const char *pcAttrs, SLPBoolean fresh, SLPRegReport callback, void *pvCookie);

SLPEXP SLPError SLPAPI SLPDereg(SLPHandle hSLP, const char *pcSrvURL, SLPRegReport callback, void *pvCookie);

SLPEXP SLPError SLPAPI SLPDelAttrs(SLPHandle hSLP, const char *pcURL, const char *pcAttrs, SLPRegReport callback,
                                   void *pvCookie);

SLPEXP SLPError SLPAPI SLPFindSrvTypes(SLPHandle hSLP, const char *pcNamingAuthority, const char *pcScopeList,
                                       SLPSrvTypeCallback callback, void *pvCookie);

SLPEXP SLPError SLPAPI SLPFindSrvs(SLPHandle hSLP, const char *pcServiceType, const char *pcScopeList,
                                   const char *pcSearchFilter, SLPSrvURLCallback callback, void *pvCookie);

SLPEXP SLPError SLPAPI SLPFindAttrs(SLPHandle hSLP, const char *pcURLOrServiceType, const char *pcScopeList,
                                    const char *pcAttrIds, SLPAttrCallback callback, void *pvCookie);

SLPEXP unsigned short SLPAPI SLPGetRefreshInterval(void);

SLPEXP SLPError SLPAPI SLPFindScopes(SLPHandle hSLP, char **ppcScopeList);

SLPEXP SLPError SLPAPI SLPParseSrvURL(const char *pcSrvURL, SLPSrvURL **ppSrvURL);

SLPEXP SLPError SLPAPI SLPEscape(const char *pcInbuf, char **ppcOutBuf, SLPBoolean isTag);

SLPEXP SLPError SLPAPI SLPUnescape(const char *pcInbuf, char **ppcOutBuf, SLPBoolean isTag);

SLPEXP void SLPAPI SLPFree(void *pvMem);

SLPEXP const char *SLPAPI SLPGetProperty(const char *pcName);

SLPEXP void SLPAPI SLPSetProperty(const char *pcName, const char *pcValue);

/* Extensions found in OpenSLP's header. SLPAssociateIP: later finds on the handle go by
 * unicast to that agent (an IPv4 or IPv6 address literal) instead of by multicast.
 * SLPAssociateIFList: a comma list of local interface addresses to multicast finds out of. */
SLPEXP SLPError SLPAPI SLPAssociateIP(SLPHandle hSLP, const char *unicast_ip);

SLPEXP SLPError SLPAPI SLPAssociateIFList(SLPHandle hSLP, const char *McastIFList);

#ifdef __cplusplus
}
#endif

#endif /* SLP_H_INCLUDED */
