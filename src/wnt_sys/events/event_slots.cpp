// Event types, and the walks that set or reset one slot on every open handle.
#include "events/events.h"

namespace {

struct EVENT_TYPE_SLOT {
    ULONG EventType;
    ULONG Slot;
};

// Slot 0 is the general event; slots 1..4 are interrupt channels 0..3.
const EVENT_TYPE_SLOT EventSlots[] = {
    {EVENT_GENERAL, 0}, {EVENT_DI_INT0, 1}, {EVENT_DI_INT1, 2},
    {EVENT_DI_INT2, 3}, {EVENT_DI_INT3, 4},
};

typedef LONG NTAPI SLOT_ACTION(PKEVENT Event);

LONG NTAPI SetSlotEvent(PKEVENT Event) { return KeSetEvent(Event, 0, FALSE); }

VOID WalkSlot(PDEVICE_EXTENSION DeviceExtension, ULONG Slot, SLOT_ACTION* Action)
{
    if (Slot >= MDX_EVENT_SLOTS)
        return;
    PLIST_ENTRY head = &DeviceExtension->FileList;
    for (PLIST_ENTRY entry = head->Flink, next; entry != head; entry = next) {
        next = entry->Flink;
        PFILE_CONTEXT file = CONTAINING_RECORD(entry, FILE_CONTEXT, Link);
        if (file->Events[Slot])
            Action(file->Events[Slot]);
    }
}

}  // namespace

ULONG EventTypeToSlot(ULONG EventType)
{
    for (const EVENT_TYPE_SLOT& entry : EventSlots) {
        if (entry.EventType == EventType)
            return entry.Slot;
    }
    return EVENT_SLOT_NONE;
}

ULONG EventTypeToChannel(ULONG EventType)
{
    ULONG slot = EventTypeToSlot(EventType);
    return slot == 0 ? EVENT_SLOT_NONE : slot;
}

VOID SignalEventSlot(PDEVICE_EXTENSION DeviceExtension, ULONG Slot)
{
    WalkSlot(DeviceExtension, Slot, SetSlotEvent);
}

VOID ResetEventSlot(PDEVICE_EXTENSION DeviceExtension, ULONG Slot)
{
    WalkSlot(DeviceExtension, Slot, KeResetEvent);
}
