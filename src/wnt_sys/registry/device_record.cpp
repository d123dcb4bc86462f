// The board's record in its device key and the map entry that names its
// device path for user mode.
#include "registry/registry.h"

namespace {

const WCHAR LibraryName[] = u"Kor4208.DLL";
const WCHAR ModelName[] = u"MDX-4208";
const WCHAR NoServiceName[] = u"";

// The settings as they stand in the block, each read once.
struct SETTINGS {
    ULONG InitOnLoad;
    UCHAR TrigEdge[MDX_INT_CHANNELS];
    UCHAR InversePorts[MDX_INPUT_PORTS];
};

VOID TakeSettings(const SHARED_BLOCK* Shared, SETTINGS* Settings)
{
    Settings->InitOnLoad = ReadULongNoFence(&Shared->InitOnLoad);
    for (ULONG i = 0; i < MDX_INT_CHANNELS; ++i)
        Settings->TrigEdge[i] = ReadUCharNoFence(&Shared->DiintTrigEdge[i]);
    for (ULONG i = 0; i < MDX_INPUT_PORTS; ++i)
        Settings->InversePorts[i] = ReadUCharNoFence(&Shared->DiInversePorts[i]);
}

VOID PublishSettings(SHARED_BLOCK* Shared, const SETTINGS* Settings)
{
    WriteULongNoFence(&Shared->InitOnLoad, Settings->InitOnLoad);
    for (ULONG i = 0; i < MDX_INT_CHANNELS; ++i)
        WriteUCharNoFence(&Shared->DiintTrigEdge[i], Settings->TrigEdge[i]);
    for (ULONG i = 0; i < MDX_INPUT_PORTS; ++i)
        WriteUCharNoFence(&Shared->DiInversePorts[i], Settings->InversePorts[i]);
}

// A table written into, or read from, the board's device key, which is
// closed again on every path. Only a write creates the key.
NTSTATUS DeviceKeyTable(ULONG BoardNumber, BOOLEAN Write, PVALUE_TABLE Rows)
{
    WDFKEY key;
    NTSTATUS status = OpenDeviceKey(Write, ServiceKeyPath, BoardNumber, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = Write ? WriteValueTable(key, Rows) : ReadValueTable(key, Rows);
    CloseKey(key);
    return status;
}

}  // namespace

PCWSTR GetServiceName()
{
    PAGED_CODE();
    PCWSTR path = WdfDriverGetRegistryPath(WdfGetDriver());
    size_t length;
    if (!path || !NT_SUCCESS(RtlStringCchLengthW(path, 0x7FFFFFFF, &length)))
        return nullptr;
    for (size_t i = length; i > 0; --i) {
        if (path[i - 1] == u'\\')
            return path + i;
    }
    return nullptr;
}

NTSTATUS WriteDeviceRecord(ULONG BoardNumber, PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    // The record is written from the driver's own identity and from one
    // reading of the settings in the block.
    BOARD_IDENTITY id = DeviceExtension->Identity;
    SETTINGS settings;
    TakeSettings(DeviceExtension->Shared, &settings);
    PCWSTR service = GetServiceName();
    WCHAR description[25];
    RtlStringCbPrintfW(description, sizeof description, u"%s,BID#%d", ModelName, id.BoardID);
    VALUE_TABLE_ROW rows[] = {
        {u"DriverName", REG_SZ, 0, (PVOID)LibraryName},
        {u"DeviceDesc", REG_SZ, 0, description},
        {u"ProductID", REG_DWORD, 4, &id.ProductID},
        {u"KernelKey", REG_SZ, 0, (PVOID)(service ? service : NoServiceName)},
        {u"BoardID", REG_DWORD, 4, &id.BoardID},
        {u"BusNumber", REG_DWORD, 4, &id.BusNumber},
        {u"SlotNumber", REG_DWORD, 4, &id.SlotNumber},
        {u"BaseAddress", REG_DWORD, 4, &id.BaseAddress},
        {u"Interrupt", REG_DWORD, 4, &id.InterruptLevel},
        {u"InitOnLoad", REG_DWORD, 4, &settings.InitOnLoad},
        {u"DiintTrigEdge", REG_BINARY, sizeof settings.TrigEdge, settings.TrigEdge},
        {u"DiInversePorts", REG_BINARY, sizeof settings.InversePorts, settings.InversePorts},
        {nullptr, 0, 0, nullptr},
    };
    return DeviceKeyTable(BoardNumber, TRUE, rows);
}

NTSTATUS ReadUserSettings(ULONG BoardNumber, PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    // Read over the current values, which a missing or oversized value
    // leaves in place, then published.
    SETTINGS settings;
    TakeSettings(DeviceExtension->Shared, &settings);
    VALUE_TABLE_ROW rows[] = {
        {u"InitOnLoad", REG_DWORD, 4, &settings.InitOnLoad},
        {u"DiintTrigEdge", REG_BINARY, 4, settings.TrigEdge},
        {u"DiInversePorts", REG_BINARY, 4, settings.InversePorts},
        {nullptr, 0, 0, nullptr},
    };
    NTSTATUS status = DeviceKeyTable(BoardNumber, FALSE, rows);
    PublishSettings(DeviceExtension->Shared, &settings);
    return status;
}

NTSTATUS WriteIdentityValues(ULONG BoardNumber, PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    BOARD_IDENTITY id = DeviceExtension->Identity;
    VALUE_TABLE_ROW rows[] = {
        {u"ProductID", REG_DWORD, 4, &id.ProductID},
        {u"BoardID", REG_DWORD, 4, &id.BoardID},
        {u"BusNumber", REG_DWORD, 4, &id.BusNumber},
        {u"SlotNumber", REG_DWORD, 4, &id.SlotNumber},
        {u"BaseAddress", REG_DWORD, 4, &id.BaseAddress},
        {u"Interrupt", REG_DWORD, 4, &id.InterruptLevel},
        {nullptr, 0, 0, nullptr},
    };
    return DeviceKeyTable(BoardNumber, TRUE, rows);
}

NTSTATUS WriteMapEntry(ULONG BoardNumber, WDFDEVICE Device, const GUID* InterfaceGuid)
{
    PAGED_CODE();
    WDFSTRING string;
    NTSTATUS status = WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfDeviceRetrieveDeviceInterfaceString(Device, InterfaceGuid, nullptr, string);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete((WDFOBJECT)string);
        return status;
    }
    UNICODE_STRING path;
    WdfStringGetUnicodeString(string, &path);
    // Room for the terminator the formatter writes, whatever the string's
    // own capacity.
    ULONG bytes = path.Length + sizeof(WCHAR);
    PWSTR data = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, MDX_POOL_TAG_REGISTRY);
    if (!data) {
        WdfObjectDelete((WDFOBJECT)string);
        return ERR_NO_MEMORY;
    }
    if (path.Length >= 3 * sizeof(WCHAR))
        RtlStringCbPrintfW(data, bytes, u"\\\\.%ws", path.Buffer + 3);
    else
        data[0] = 0;

    WCHAR nameBuffer[10];
    UNICODE_STRING name = {0, sizeof nameBuffer, nameBuffer};
    RtlIntegerToUnicodeString(BoardNumber, 10, &name);

    WDFKEY service, map;
    if (NT_SUCCESS(OpenKey(TRUE, nullptr, ServiceKeyPath, &service))) {
        NTSTATUS opened = OpenKey(TRUE, service, MDX_MAP_ENTRY_KEY, &map);
        CloseKey(service);
        if (NT_SUCCESS(opened)) {
            // The name is terminated for the assignment; its failure, or a
            // raise, leaves the old entry and is not reported.
            nameBuffer[name.Length / sizeof(WCHAR)] = 0;
            NTSTATUS assigned;
            GuardedAssignValue(map, nameBuffer, REG_SZ, path.Length, data, &assigned);
            CloseKey(map);
        }
    }
    ExFreePoolWithTag(data, MDX_POOL_TAG_REGISTRY);
    // The string is not needed past this start; it would otherwise live until
    // the driver unloads.
    WdfObjectDelete((WDFOBJECT)string);
    return status;
}
