// Open handles and their event slots.
#pragma once

#include "device/device_context.h"

// Slot numbers 0..4; (ULONG)-1 names none.
#define EVENT_SLOT_NONE 0xFFFFFFFFu

ULONG EventTypeToChannel(ULONG EventType);
ULONG EventTypeToSlot(ULONG EventType);

// Set or reset one slot on every open handle of the device. Called with the
// device's lock held.
VOID SignalEventSlot(PDEVICE_EXTENSION DeviceExtension, ULONG Slot);
VOID ResetEventSlot(PDEVICE_EXTENSION DeviceExtension, ULONG Slot);
