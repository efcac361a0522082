#include "advertise.h"

namespace {

// Two lists that are constructed before main and never destroyed. The process can end
// through exit() on the main thread while the advertisement thread is in the middle of a
// pass; destroying the lists then would pull them from under that thread. The end of the
// process frees them anyway, and the SLP agent keeps what was registered either way.
union ListPair {
    ServiceList lists[2];
    ListPair() : lists() {}
    ~ListPair() {}
};

// Definition order is construction order.
ListPair wbemRegisteredStorage;
ListPair ioRegisteredStorage;
ListPair ioServicesStorage;
ListPair wbemServicesStorage;

}  // namespace

ServiceList (&wbemRegistered)[2] = wbemRegisteredStorage.lists;
ServiceList (&ioRegistered)[2] = ioRegisteredStorage.lists;
ServiceList (&ioServices)[2] = ioServicesStorage.lists;
ServiceList (&wbemServices)[2] = wbemServicesStorage.lists;
