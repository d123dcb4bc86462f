// Driver entry, device creation and the start and release of a board.
#pragma once

#include "device/device_context.h"

NTSTATUS CreateInterruptObject(PDEVICE_EXTENSION DeviceExtension);
