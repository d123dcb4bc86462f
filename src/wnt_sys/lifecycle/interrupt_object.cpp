// Creation of the board's framework interrupt object; the framework connects
// it when the board's resources are assigned.
#include "events/events.h"
#include "lifecycle/lifecycle.h"

NTSTATUS CreateInterruptObject(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    WDF_INTERRUPT_CONFIG config;
    WDF_INTERRUPT_CONFIG_INIT(&config, EvtInterruptIsr, EvtInterruptDpc);
    config.ShareVector = WdfUseDefault;
    config.FloatingSave = FALSE;
    config.AutomaticSerialization = TRUE;
    config.EvtInterruptEnable = EvtInterruptEnable;
    config.EvtInterruptDisable = EvtInterruptDisable;
    return WdfInterruptCreate(DeviceExtension->Device, &config, WDF_NO_OBJECT_ATTRIBUTES,
                              &DeviceExtension->InterruptObject);
}
