// CEvent, CManualEvent and WaitAny: a seam, implemented once per platform
// (src/platform/*/Event.cpp) and used by every layer.
#pragma once

#include "platform/Event.h"
