/* slp.h: the SLP client API written as RFC 2614's text writes it, SLPError and SLPURLLifetime
 * as enums, plus the two association calls programs built for the common library make.
 *
 * Not used by any build that runs: CI compiles every program and test that includes <slp.h>
 * against it (-DORVAD_SLP_H_CHECK_DIR=.../compat/rfc2614), so code that only compiles with
 * our own header (SLPError an int) is caught before a system library's header meets it.
 */
#ifndef SLP_H_INCLUDED
#define SLP_H_INCLUDED

#ifdef __cplusplus
extern "C" {
#endif

#define SLPEXP
#define SLPAPI
#define SLPCALLBACK

typedef enum { SLP_LIFETIME_DEFAULT = 10800, SLP_LIFETIME_MAXIMUM = 65535 } SLPURLLifetime;

typedef enum {
    SLP_LAST_CALL = 1,
    SLP_OK = 0,
    SLP_LANGUAGE_NOT_SUPPORTED = -1,
    SLP_PARSE_ERROR = -2,
    SLP_INVALID_REGISTRATION = -3,
    SLP_SCOPE_NOT_SUPPORTED = -4,
    SLP_AUTHENTICATION_ABSENT = -6,
    SLP_AUTHENTICATION_FAILED = -7,
    SLP_INVALID_UPDATE = -13,
    SLP_REFRESH_REJECTED = -15,
    SLP_NOT_IMPLEMENTED = -17,
    SLP_BUFFER_OVERFLOW = -18,
    SLP_NETWORK_TIMED_OUT = -19,
    SLP_NETWORK_INIT_FAILED = -20,
    SLP_MEMORY_ALLOC_FAILED = -21,
    SLP_PARAMETER_BAD = -22,
    SLP_NETWORK_ERROR = -23,
    SLP_INTERNAL_SYSTEM_ERROR = -24,
    SLP_HANDLE_IN_USE = -25,
    SLP_TYPE_ERROR = -26
} SLPError;

typedef enum { SLP_FALSE = 0, SLP_TRUE = 1 } SLPBoolean;

typedef struct srvurl {
    char *s_pcSrvType;
    char *s_pcHost;
    int s_iPort;
    char *s_pcNetFamily;
    char *s_pcSrvPart;
} SLPSrvURL;

typedef void *SLPHandle;

typedef void SLPCALLBACK SLPRegReport(SLPHandle hSLP, SLPError errCode, void *pvCookie);
typedef SLPBoolean SLPCALLBACK SLPSrvTypeCallback(SLPHandle hSLP, const char *pcSrvTypes, SLPError errCode,
                                                  void *pvCookie);
typedef SLPBoolean SLPCALLBACK SLPSrvURLCallback(SLPHandle hSLP, const char *pcSrvURL, unsigned short sLifetime,
                                                 SLPError errCode, void *pvCookie);
typedef SLPBoolean SLPCALLBACK SLPAttrCallback(SLPHandle hSLP, const char *pcAttrList, SLPError errCode,
                                               void *pvCookie);

SLPEXP SLPError SLPAPI SLPOpen(const char *pcLang, SLPBoolean isAsync, SLPHandle *phSLP);
SLPEXP void SLPAPI SLPClose(SLPHandle hSLP);
SLPEXP SLPError SLPAPI SLPReg(SLPHandle hSLP, const char *pcSrvURL, const unsigned short usLifetime,
                              const char *pcSrvType, const char *pcAttrs, SLPBoolean fresh, SLPRegReport callback,
                              void *pvCookie);
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
SLPEXP SLPError SLPAPI SLPParseSrvURL(char *pcSrvURL, SLPSrvURL **ppSrvURL);
SLPEXP SLPError SLPAPI SLPEscape(const char *pcInbuf, char **ppcOutBuf, SLPBoolean isTag);
SLPEXP SLPError SLPAPI SLPUnescape(const char *pcInbuf, char **ppcOutBuf, SLPBoolean isTag);
SLPEXP void SLPAPI SLPFree(void *pvMem);
SLPEXP const char *SLPAPI SLPGetProperty(const char *pcName);
SLPEXP void SLPAPI SLPSetProperty(const char *pcName, const char *pcValue);
SLPEXP SLPError SLPAPI SLPAssociateIFList(SLPHandle hSLP, const char *McastIFList);
SLPEXP SLPError SLPAPI SLPAssociateIP(SLPHandle hSLP, const char *unicast_ip);

#ifdef __cplusplus
}
#endif

#endif
