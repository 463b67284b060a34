// The reference host's capability store, for tests that check what reached it.
#pragma once

#include "../../tools/host/CapabilityStore.h"
