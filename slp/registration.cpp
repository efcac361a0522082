#include <syslog.h>

#include "advertise.h"

// The handle is synchronous, so the report runs inside SLPReg or SLPDereg, before it returns.
void slpCallback(SLPHandle, SLPError code, void *cookie) {
    *static_cast<SLPError *>(cookie) = code;
    if (code != 0) syslog(LOG_CRIT, "SLP: Callback Code = %i\n", static_cast<int>(code));
}

int registerServices(SLPHandle handle, ServiceList services) {
    if (services.empty()) return 0;
    SLPError status = SLP_OK;
    for (const ServiceRecord &record : services) {
        SLPError result = SLPReg(handle, record.url.c_str(), SLP_LIFETIME_MAXIMUM, nullptr, record.attributes.c_str(),
                                 SLP_TRUE, slpCallback, &status);
        if (result == SLP_OK && status == SLP_OK) continue;
        // Withdraw whatever the agent may hold under this URL; the next pass tries again.
        SLPDereg(handle, record.url.c_str(), slpCallback, &status);
        return -1;
    }
    return 0;
}

int deregisterStaleServices(SLPHandle handle, ServiceList keep, ServiceList registered) {
    if (registered.empty()) return 0;
    SLPError status = SLP_OK;
    for (const ServiceRecord &record : registered) {
        bool wanted = false;
        for (const ServiceRecord &kept : keep)
            if (kept.url == record.url) {
                wanted = true;
                break;
            }
        if (wanted) continue;
        SLPError result = SLPDereg(handle, record.url.c_str(), slpCallback, &status);
        if (result != SLP_OK || status != SLP_OK)
            syslog(LOG_CRIT, "Unable to deregister slpd with serviceURL=%s\n", record.url.c_str());
    }
    return 0;
}
