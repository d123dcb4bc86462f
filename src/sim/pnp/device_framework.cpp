// Framework operations that rest on the device's place in the PnP tree: its
// physical device object, the properties the bus reports and its device
// interfaces.
#include <cstdio>
#include <cstring>

#include "io/io_manager.h"
#include "pnp/device_object.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"

using namespace sim;
using namespace sim::wdf;

namespace sim {

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

// "\??\PCI#VEN_xxxx&DEV_xxxx&...#<instance>#{class}", as the platform forms it.
std::u16string InterfaceLink(const PciFunction& function, uint16_t vendor, uint16_t device, const GUID& guid)
{
    char text[128];
    std::snprintf(text, sizeof text, "\\??\\PCI#VEN_%04X&DEV_%04X&SUBSYS_00000000&REV_01#4&%08x&0&%02X#",
                  vendor, device, 0x2A1D0000u + function.location.bus,
                  (function.location.device << 3) | function.location.function);
    return std::u16string(text, text + std::strlen(text)) + GuidText(guid);
}

}  // namespace sim

PDEVICE_OBJECT NTAPI WdfDeviceWdmGetPhysicalDevice(WDFDEVICE DeviceHandle)
{
    auto* device = ResolveAs<Device>(DeviceHandle, Kind::Device, "WdfDeviceWdmGetPhysicalDevice");
    return device ? device->init().PhysicalDevice : nullptr;
}

NTSTATUS NTAPI WdfDeviceQueryProperty(WDFDEVICE DeviceHandle, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                      ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    CheckIrql("WdfDeviceQueryProperty", kPassive, DeviceHandle);
    auto* device = ResolveAs<Device>(DeviceHandle, Kind::Device, "WdfDeviceQueryProperty");
    if (!device || !ResultLength)
        return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    if (Verifier::Instance().ShouldFail("WdfDeviceQueryProperty"))
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT pdo = device->init().PhysicalDevice;
    if (!pdo || !pdo->Function)
        return STATUS_INVALID_DEVICE_REQUEST;
    const PciFunction& function = *pdo->Function;
    std::vector<uint8_t> value;
    auto putULong = [&value](ULONG v) {
        value.resize(4);
        std::memcpy(value.data(), &v, 4);
    };
    switch (DeviceProperty) {
    case DevicePropertyBusNumber: putULong(function.location.bus); break;
    case DevicePropertyAddress:
        putULong((function.location.device << 16) | function.location.function);
        break;
    case DevicePropertyLocationInformation: {
        std::string text = function.locationText();
        for (char c : text) {
            value.push_back(static_cast<uint8_t>(c));
            value.push_back(0);
        }
        value.push_back(0);
        value.push_back(0);
        break;
    }
    default: return STATUS_INVALID_PARAMETER_2;
    }
    *ResultLength = static_cast<ULONG>(value.size());
    if (BufferLength < value.size())
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, value.data(), value.size());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfDeviceCreateDeviceInterface(WDFDEVICE DeviceHandle, const GUID* InterfaceClassGUID,
                                              PCUNICODE_STRING ReferenceString)
{
    CheckIrql("WdfDeviceCreateDeviceInterface", kPassive, DeviceHandle);
    auto* device = ResolveAs<Device>(DeviceHandle, Kind::Device, "WdfDeviceCreateDeviceInterface");
    if (!device || !InterfaceClassGUID)
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("WdfDeviceCreateDeviceInterface"))
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT pdo = device->init().PhysicalDevice;
    if (!pdo || !pdo->Function)
        return STATUS_INVALID_DEVICE_REQUEST;
    PCI_COMMON_CONFIG config{};
    pdo->Function->readConfig(0, &config, 4);
    std::u16string link = InterfaceLink(*pdo->Function, config.VendorID, config.DeviceID, *InterfaceClassGUID);
    if (ReferenceString && ReferenceString->Length)
        link += u"\\" + std::u16string(ReferenceString->Buffer, ReferenceString->Length / 2);
    device->deviceInterfaces.push_back(Device::Interface{*InterfaceClassGUID, link, false});
    return STATUS_SUCCESS;
}
