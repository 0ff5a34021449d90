// The I/O module's system-call table (kept under this name for the tests
// that inject faults into it; see platform/system_calls.h).
#pragma once

#include "platform/system_calls.h"
