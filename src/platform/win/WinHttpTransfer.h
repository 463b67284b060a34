// What the WinHTTP transfer shows its tests: the worker threads it started
// and, through a hook, each step a worker takes on a request handle.
#pragma once

#include <cstdint>

namespace talvik {
namespace Web {

// Worker threads started by every WinHTTP transfer of the process so far.
uint32_t WinHttpWorkersStarted();

// Called with "open" when a request handle is made (on the owner's thread),
// before each call of a worker on it ("send", "receive", "headers", "query",
// "read", after the worker checked that the request still runs), with "done"
// when its worker is done with it and with "close" when it is closed. Null
// (the default) in the product.
using WinHttpStepHook = void (*)(const char* step, void* request);
void SetWinHttpStepHook(WinHttpStepHook hook);

}  // namespace Web
}  // namespace talvik
