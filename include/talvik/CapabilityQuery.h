// Capability query: the host asks the module what the camera at an address
// offers and receives the answer in its own capability store.
//
// Slot order is fixed: the host and the module call each other by position in
// the table of virtual operations. Positions are counted from 1, the virtual
// destructor being position 1. Operations that the module never calls keep
// their places as placeholders; a host may give them any meaning.
//
// Every object passed across this boundary stays owned by the side that
// created it: the module never frees the store, its properties and lists, or
// the callback.
#pragma once

#include <cstdint>

#include "talvik/Abi.h"

namespace talvik {

// One named value of the store (a connection parameter or a named property).
class IStoreProperty {
public:
    TALVIK_DESTRUCTOR_SLOT(IStoreProperty);  // 1
    // The value as text; numbers come formatted in decimal.
    virtual void SetValue(const char* value) = 0;  // 2
    virtual void Reserved3() {}                    // 3 (not called)
    virtual void Reserved4() {}                    // 4 (not called)
    // 1 when the value is free text, 0 when it is a decimal number.
    virtual void SetValueIsText(uint32_t isText) = 0;  // 5
    // Display name of the property.
    virtual void SetName(const char* name) = 0;  // 6
    // Property flags; the module always gives 0.
    virtual void SetFlags(uint32_t flags) = 0;  // 7
    TALVIK_DESTRUCTOR_TAIL(IStoreProperty);
};

// Video resolutions offered by the camera.
class IResolutionList {
public:
    TALVIK_DESTRUCTOR_SLOT(IResolutionList);  // 1
    // One resolution, labelled "WIDTHxHEIGHT", with the shortest frame
    // interval in milliseconds that the camera sustains at that size.
    virtual void Add(const char* label, uint32_t width, uint32_t height,
                     uint32_t minFrameIntervalMs) = 0;  // 2
    TALVIK_DESTRUCTOR_TAIL(IResolutionList);
};

// Frame intervals offered by the camera, in milliseconds.
class IFrameIntervalList {
public:
    TALVIK_DESTRUCTOR_SLOT(IFrameIntervalList);  // 1
    // Interval the host should preselect.
    virtual void SetDefault(uint32_t intervalMs) = 0;  // 2
    // One selectable interval.
    virtual void Add(uint32_t intervalMs) = 0;  // 3
    TALVIK_DESTRUCTOR_TAIL(IFrameIntervalList);
};

// The host's record of one camera's capabilities. The objects it hands out
// stay owned by the store and valid while the store lives.
class ICapabilityStore {
public:
    TALVIK_DESTRUCTOR_SLOT(ICapabilityStore);  // 1
    // Numbered capability (codecs, channel count, inputs, outputs, ...).
    virtual void SetCapability(uint32_t id, uint32_t value) = 0;  // 2
    // Display name: vendor and model.
    virtual void SetModelName(const char* name) = 0;  // 3
    // Connection parameter 1 address, 2 port, 3 user name, 4 password;
    // null when the store has no such parameter.
    virtual IStoreProperty* GetConnectionParameter(uint32_t index) = 0;  // 4
    virtual void Reserved5() {}                                          // 5 (not called)
    // New named property at index (1 and up); null when it cannot be made.
    virtual IStoreProperty* CreateProperty(uint32_t index) = 0;  // 6
    // Resolution list to fill; null when the store has none.
    virtual IResolutionList* GetResolutionList() = 0;  // 7
    virtual void Reserved8() {}                        // 8 (not called)
    // Frame-interval list number `which` (the module asks for 1); null when
    // the store has none.
    virtual IFrameIntervalList* GetFrameIntervalList(uint32_t which) = 0;  // 9
    TALVIK_DESTRUCTOR_TAIL(ICapabilityStore);
};

// The host's end of a query; called on the module's worker thread, except
// OnTerminated, which comes on the thread that deletes the query.
class ICapabilityQueryCallback {
public:
    TALVIK_DESTRUCTOR_SLOT(ICapabilityQueryCallback);  // 1
    virtual void Reserved2() {}                        // 2 (not called)
    // The store holds the camera's capabilities.
    virtual void OnCompleted() = 0;  // 3
    // The query failed: code 0 invalid address, 1 login failed, 2 device
    // unreachable, 3 any other failure; message says what happened.
    virtual void OnFailed(uint32_t code, const char* message) = 0;  // 4
    // The worker did not end in time when the query was deleted and was
    // given up; no other call follows.
    virtual void OnTerminated() = 0;  // 5
    TALVIK_DESTRUCTOR_TAIL(ICapabilityQueryCallback);
};

namespace ipcapture {

// One capability query, created by CreateCapabilityQueryModule.
class IIPCapabilityQuery {
public:
    // Deleting stops a running read and waits for the worker (up to 10 s).
    TALVIK_DESTRUCTOR_SLOT(IIPCapabilityQuery);  // 1
    // Reads the camera at address:port on a worker thread and fills store;
    // 1 when the worker started, 0 otherwise (missing text, query already
    // run). The result comes through the callback.
    virtual uint32_t StartQuery(const char* address, uint16_t port, const char* user,
                                const char* password, ICapabilityStore* store) = 0;  // 2
    // Skips the remaining camera requests of a running query; the query still
    // reports its outcome.
    virtual void StopQuery() = 0;  // 3
    TALVIK_DESTRUCTOR_TAIL(IIPCapabilityQuery);
};

}  // namespace ipcapture
}  // namespace talvik

#ifndef TALVIK_EXPORT
#if defined(_WIN32)
#define TALVIK_EXPORT __declspec(dllexport)
#else
#define TALVIK_EXPORT __attribute__((visibility("default")))
#endif
#endif

// Exports of the module (C linkage).
extern "C" {
// Creates the module-wide query; 0 when one exists already.
TALVIK_EXPORT uint32_t InitCapabilityQuery(talvik::ICapabilityQueryCallback* callback,
                                           uint32_t videoStandard);
// Starts the module-wide query; 0 when it did not start.
TALVIK_EXPORT uint32_t StartCapabilityQuery(const char* address, uint16_t port, const char* user,
                                            const char* password, talvik::ICapabilityStore* store);
// Cuts the module-wide query's camera read short; always 1.
TALVIK_EXPORT uint32_t TerminateCapabilityQuery();
// Deletes the module-wide query; always 1.
TALVIK_EXPORT uint32_t UninitCapabilityQuery();
// A separate query driven through its interface; null when out of memory.
TALVIK_EXPORT talvik::ipcapture::IIPCapabilityQuery* CreateCapabilityQueryModule(
    talvik::ICapabilityQueryCallback* callback, uint32_t videoStandard);
// Deletes a query made by CreateCapabilityQueryModule; null is ignored.
TALVIK_EXPORT void DeleteCapabilityQueryModule(talvik::ipcapture::IIPCapabilityQuery* query);
}

namespace talvik {
namespace ipcapture {

// Pointer types for resolving the exports with dlsym.
using InitCapabilityQueryFn = uint32_t (*)(ICapabilityQueryCallback*, uint32_t);
using StartCapabilityQueryFn = uint32_t (*)(const char*, uint16_t, const char*, const char*,
                                            ICapabilityStore*);
using TerminateCapabilityQueryFn = uint32_t (*)();
using UninitCapabilityQueryFn = uint32_t (*)();
using CreateCapabilityQueryModuleFn = IIPCapabilityQuery* (*)(ICapabilityQueryCallback*, uint32_t);
using DeleteCapabilityQueryModuleFn = void (*)(IIPCapabilityQuery*);

}  // namespace ipcapture
}  // namespace talvik
