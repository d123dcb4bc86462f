// Everything the driver may call: the kernel, the HAL, the framework and the
// accessors for memory shared with user mode.
#pragma once

#include "nt_types.h"
#include "nt_kernel.h"
#include "shared_access.h"
#include "wdf.h"
#include "nt_registry.h"
