// Exports of the capability query. Nothing thrown inside reaches the host.
#include "ThreadCancel.h"
#include "camera/CapabilityQueryModule.h"
#include "talvik/CapabilityQuery.h"

using talvik::ICapabilityQueryCallback;
using talvik::ICapabilityStore;
using talvik::ipcapture::IIPCapabilityQuery;

extern "C" {

TALVIK_EXPORT uint32_t InitCapabilityQuery(ICapabilityQueryCallback* callback,
                                           uint32_t videoStandard) {
    try {
        return talvik::InitModuleQuery(callback, videoStandard);
    } catch (...) {
        talvik::RethrowThreadCancellation();
        return 1;
    }
}

TALVIK_EXPORT uint32_t StartCapabilityQuery(const char* address, uint16_t port, const char* user,
                                            const char* password, ICapabilityStore* store) {
    try {
        return talvik::StartModuleQuery(address, port, user, password, store);
    } catch (...) {
        talvik::RethrowThreadCancellation();
        return 0;
    }
}

TALVIK_EXPORT uint32_t TerminateCapabilityQuery() {
    try {
        return talvik::TerminateModuleQuery();
    } catch (...) {
        talvik::RethrowThreadCancellation();
        return 1;
    }
}

TALVIK_EXPORT uint32_t UninitCapabilityQuery() {
    try {
        return talvik::UninitModuleQuery();
    } catch (...) {
        talvik::RethrowThreadCancellation();
        return 1;
    }
}

TALVIK_EXPORT IIPCapabilityQuery* CreateCapabilityQueryModule(ICapabilityQueryCallback* callback,
                                                              uint32_t videoStandard) {
    try {
        return new talvik::CArecontCapabilityQueryModule(callback, videoStandard != 0);
    } catch (...) {
        talvik::RethrowThreadCancellation();
        return nullptr;
    }
}

TALVIK_EXPORT void DeleteCapabilityQueryModule(IIPCapabilityQuery* query) {
    try {
        delete query;
    } catch (...) {
        talvik::RethrowThreadCancellation();
        // A destructor does not throw; this only keeps the boundary closed.
    }
}

}  // extern "C"
