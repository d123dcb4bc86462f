// The kernel-mode driver framework as this driver uses it: object handles,
// typed contexts, configuration records and operations.
#pragma once

#include "nt_kernel.h"

#define DECLARE_WDF_HANDLE(name) typedef struct name##__* name
DECLARE_WDF_HANDLE(WDFOBJECT);
DECLARE_WDF_HANDLE(WDFDRIVER);
DECLARE_WDF_HANDLE(WDFDEVICE);
DECLARE_WDF_HANDLE(WDFQUEUE);
DECLARE_WDF_HANDLE(WDFREQUEST);
DECLARE_WDF_HANDLE(WDFFILEOBJECT);
DECLARE_WDF_HANDLE(WDFINTERRUPT);
DECLARE_WDF_HANDLE(WDFWORKITEM);
DECLARE_WDF_HANDLE(WDFSPINLOCK);
DECLARE_WDF_HANDLE(WDFKEY);
DECLARE_WDF_HANDLE(WDFSTRING);
DECLARE_WDF_HANDLE(WDFCMRESLIST);
DECLARE_WDF_HANDLE(WDFWAITLOCK);
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;

#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_HANDLE nullptr

typedef enum _WDF_TRI_STATE { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 } WDF_TRI_STATE;

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent = 1,
    WdfExecutionLevelPassive = 2,
    WdfExecutionLevelDispatch = 3,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent = 1,
    WdfSynchronizationScopeDevice = 2,
    WdfSynchronizationScopeQueue = 3,
    WdfSynchronizationScopeNone = 4,
} WDF_SYNCHRONIZATION_SCOPE;

// ---- objects and typed contexts -----------------------------------------------
typedef VOID NTAPI EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID NTAPI EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP EVT_WDF_DEVICE_CONTEXT_CLEANUP;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    const char* ContextName;
    SIZE_T ContextSize;
    const struct _WDF_OBJECT_CONTEXT_TYPE_INFO* UniqueType;
    PVOID EvtDriverGetUniqueContextType;
} WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    SIZE_T ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

PVOID NTAPI WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                           PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
VOID NTAPI WdfObjectDelete(WDFOBJECT Object);
VOID NTAPI WdfObjectAcquireLock(WDFOBJECT Object);
VOID NTAPI WdfObjectReleaseLock(WDFOBJECT Object);

// Declares a context type record and its typed accessor, as the framework's
// context macros do.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(Type, Accessor)                               \
    extern const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##Type##_TYPE_INFO;                    \
    inline Type* Accessor(PVOID Handle)                                                  \
    {                                                                                    \
        return (Type*)WdfObjectGetTypedContextWorker((WDFOBJECT)Handle,                  \
                                                     &WDF_##Type##_TYPE_INFO);           \
    }
#define WDF_DEFINE_CONTEXT_TYPE(Type)                                                     \
    const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##Type##_TYPE_INFO = {                         \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #Type, sizeof(Type), &WDF_##Type##_TYPE_INFO, \
        nullptr}
#define WDF_GET_CONTEXT_TYPE_INFO(Type) (&WDF_##Type##_TYPE_INFO)

inline VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes)
{
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}
#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(Attributes, Type) \
    do {                                                          \
        WDF_OBJECT_ATTRIBUTES_INIT(Attributes);                   \
        (Attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(Type); \
    } while (0)

// ---- driver -------------------------------------------------------------------
typedef NTSTATUS NTAPI EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID NTAPI EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

inline VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD DeviceAdd)
{
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = DeviceAdd;
}

NTSTATUS NTAPI WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                               PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                               PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver);
WDFDRIVER NTAPI WdfGetDriver();
PWSTR NTAPI WdfDriverGetRegistryPath(WDFDRIVER Driver);

// ---- requests -----------------------------------------------------------------
typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeDeviceControl = 0xE,
    WdfRequestTypeDeviceControlInternal = 0xF,
} WDF_REQUEST_TYPE;

typedef struct _IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PVOID AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            SIZE_T OutputBufferLength;
            SIZE_T InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

inline VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters)
{
    RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

VOID NTAPI WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
NTSTATUS NTAPI WdfRequestRetrieveInputBuffer(WDFREQUEST Request, SIZE_T MinimumRequiredLength,
                                             PVOID* Buffer, SIZE_T* Length);
NTSTATUS NTAPI WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, SIZE_T MinimumRequiredSize,
                                              PVOID* Buffer, SIZE_T* Length);
WDFFILEOBJECT NTAPI WdfRequestGetFileObject(WDFREQUEST Request);
KPROCESSOR_MODE NTAPI WdfRequestGetRequestorMode(WDFREQUEST Request);
VOID NTAPI WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
VOID NTAPI WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                             ULONG_PTR Information);

// ---- queues -------------------------------------------------------------------
typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential = 1,
    WdfIoQueueDispatchParallel = 2,
    WdfIoQueueDispatchManual = 3,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                      SIZE_T OutputBufferLength,
                                                      SIZE_T InputBufferLength,
                                                      ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, SIZE_T Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG Flags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

inline VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DefaultQueue = TRUE;
    Config->DispatchType = DispatchType;
}

NTSTATUS NTAPI WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);
WDFDEVICE NTAPI WdfIoQueueGetDevice(WDFQUEUE Queue);

// ---- devices and file objects -------------------------------------------------
typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0 = 1,
    WdfPowerDeviceD1 = 2,
    WdfPowerDeviceD2 = 3,
    WdfPowerDeviceD3 = 4,
    WdfPowerDeviceD3Final = 5,
} WDF_POWER_DEVICE_STATE;

typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device,
                                               WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device,
                                              WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device,
                                                       WDFCMRESLIST ResourcesRaw,
                                                       WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device,
                                                       WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef PVOID PFN_WDF_PNPPOWER_UNUSED;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceSelfManagedIoFlush;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceSelfManagedIoInit;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceSelfManagedIoRestart;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceSurpriseRemoval;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceQueryRemove;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceQueryStop;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceUsageNotification;
    PFN_WDF_PNPPOWER_UNUSED EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

inline VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef VOID NTAPI EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request,
                                              WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID NTAPI EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLEANUP;

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
} WDF_FILEOBJECT_CLASS;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

inline VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG Config,
                                       PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                       PFN_WDF_FILE_CLOSE EvtFileClose,
                                       PFN_WDF_FILE_CLEANUP EvtFileCleanup)
{
    RtlZeroMemory(Config, sizeof(WDF_FILEOBJECT_CONFIG));
    Config->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    Config->EvtDeviceFileCreate = EvtDeviceFileCreate;
    Config->EvtFileClose = EvtFileClose;
    Config->EvtFileCleanup = EvtFileCleanup;
    Config->FileObjectClass = WdfFileObjectWdfCanUseFsContext;
    Config->AutoForwardCleanupClose = WdfUseDefault;
}

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither = 1,
    WdfDeviceIoBuffered = 2,
    WdfDeviceIoDirect = 3,
} WDF_DEVICE_IO_TYPE;

typedef ULONG DEVICE_TYPE;

typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyLocationInformation = 10,
    DevicePropertyBusNumber = 14,
    DevicePropertyAddress = 16,
} DEVICE_REGISTRY_PROPERTY;

VOID NTAPI WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                  PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks);
VOID NTAPI WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit);
VOID NTAPI WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
VOID NTAPI WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType);
VOID NTAPI WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                            PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
NTSTATUS NTAPI WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                               PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device);
NTSTATUS NTAPI WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                              PCUNICODE_STRING ReferenceString);
NTSTATUS NTAPI WdfDeviceQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                      ULONG BufferLength, PVOID PropertyBuffer,
                                      PULONG ResultLength);
PDEVICE_OBJECT NTAPI WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device);
WDFDEVICE NTAPI WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);

// Called for each request in the sender's thread and process, at the sender's
// level and before any framework lock; the driver then enqueues the request
// (WdfDeviceEnqueueRequest) or completes it.
typedef VOID NTAPI EVT_WDF_IO_IN_CALLER_CONTEXT(WDFDEVICE Device, WDFREQUEST Request);
typedef EVT_WDF_IO_IN_CALLER_CONTEXT* PFN_WDF_IO_IN_CALLER_CONTEXT;
VOID NTAPI WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT DeviceInit,
                                                     PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext);
// Attributes (a context type, a cleanup callback) of every request of the device.
VOID NTAPI WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                             PWDF_OBJECT_ATTRIBUTES RequestAttributes);
NTSTATUS NTAPI WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request);

// ---- resource lists -------------------------------------------------------------------
#define CmResourceTypeNull      0
#define CmResourceTypePort      1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory    3
typedef ULONG_PTR KAFFINITY;

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

ULONG NTAPI WdfCmResourceListGetCount(WDFCMRESLIST List);
PCM_PARTIAL_RESOURCE_DESCRIPTOR NTAPI WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index);

// ---- work items ---------------------------------------------------------------------
typedef VOID NTAPI EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

inline VOID WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config, PFN_WDF_WORKITEM EvtWorkItemFunc)
{
    RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

NTSTATUS NTAPI WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 WDFWORKITEM* WorkItem);
VOID NTAPI WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
WDFOBJECT NTAPI WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);

// ---- strings and interfaces -------------------------------------------------------------
NTSTATUS NTAPI WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                               WDFSTRING* String);
VOID NTAPI WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString);
NTSTATUS NTAPI WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                      PCUNICODE_STRING ReferenceString,
                                                      WDFSTRING String);

// ---- passive-level locks -----------------------------------------------------------------
NTSTATUS NTAPI WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
NTSTATUS NTAPI WdfWaitLockAcquire(WDFWAITLOCK Lock, PLARGE_INTEGER Timeout);
VOID NTAPI WdfWaitLockRelease(WDFWAITLOCK Lock);

// ---- interrupts -------------------------------------------------------------------
typedef BOOLEAN NTAPI EVT_WDF_INTERRUPT_ISR(WDFINTERRUPT Interrupt, ULONG MessageID);
typedef EVT_WDF_INTERRUPT_ISR* PFN_WDF_INTERRUPT_ISR;
typedef VOID NTAPI EVT_WDF_INTERRUPT_DPC(WDFINTERRUPT Interrupt, WDFOBJECT AssociatedObject);
typedef EVT_WDF_INTERRUPT_DPC* PFN_WDF_INTERRUPT_DPC;
typedef NTSTATUS NTAPI EVT_WDF_INTERRUPT_ENABLE(WDFINTERRUPT Interrupt, WDFDEVICE AssociatedDevice);
typedef EVT_WDF_INTERRUPT_ENABLE* PFN_WDF_INTERRUPT_ENABLE;
typedef EVT_WDF_INTERRUPT_ENABLE EVT_WDF_INTERRUPT_DISABLE;
typedef EVT_WDF_INTERRUPT_DISABLE* PFN_WDF_INTERRUPT_DISABLE;

typedef struct _WDF_INTERRUPT_CONFIG {
    ULONG Size;
    WDFSPINLOCK SpinLock;
    WDF_TRI_STATE ShareVector;
    BOOLEAN FloatingSave;
    BOOLEAN AutomaticSerialization;
    PFN_WDF_INTERRUPT_ISR EvtInterruptIsr;
    PFN_WDF_INTERRUPT_DPC EvtInterruptDpc;
    PFN_WDF_INTERRUPT_ENABLE EvtInterruptEnable;
    PFN_WDF_INTERRUPT_DISABLE EvtInterruptDisable;
} WDF_INTERRUPT_CONFIG, *PWDF_INTERRUPT_CONFIG;

inline VOID WDF_INTERRUPT_CONFIG_INIT(PWDF_INTERRUPT_CONFIG Config, PFN_WDF_INTERRUPT_ISR Isr,
                                      PFN_WDF_INTERRUPT_DPC Dpc)
{
    RtlZeroMemory(Config, sizeof(WDF_INTERRUPT_CONFIG));
    Config->Size = sizeof(WDF_INTERRUPT_CONFIG);
    Config->ShareVector = WdfUseDefault;
    Config->EvtInterruptIsr = Isr;
    Config->EvtInterruptDpc = Dpc;
}

NTSTATUS NTAPI WdfInterruptCreate(WDFDEVICE Device, PWDF_INTERRUPT_CONFIG Configuration,
                                  PWDF_OBJECT_ATTRIBUTES Attributes, WDFINTERRUPT* Interrupt);
BOOLEAN NTAPI WdfInterruptQueueDpcForIsr(WDFINTERRUPT Interrupt);
VOID NTAPI WdfInterruptAcquireLock(WDFINTERRUPT Interrupt);
VOID NTAPI WdfInterruptReleaseLock(WDFINTERRUPT Interrupt);
WDFDEVICE NTAPI WdfInterruptGetDevice(WDFINTERRUPT Interrupt);

// ---- spin locks ---------------------------------------------------------------
NTSTATUS NTAPI WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes,
                                 WDFSPINLOCK* SpinLock);
VOID NTAPI WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
VOID NTAPI WdfSpinLockRelease(WDFSPINLOCK SpinLock);

#if defined(_WIN32) && !defined(_WIN64)
// The framework's records as the 32-bit target lays them out.
static_assert(sizeof(WDF_OBJECT_ATTRIBUTES) == 32, "WDF_OBJECT_ATTRIBUTES");
static_assert(sizeof(WDF_DRIVER_CONFIG) == 20, "WDF_DRIVER_CONFIG");
static_assert(sizeof(WDF_PNPPOWER_EVENT_CALLBACKS) == 68, "WDF_PNPPOWER_EVENT_CALLBACKS");
static_assert(sizeof(WDF_FILEOBJECT_CONFIG) == 24, "WDF_FILEOBJECT_CONFIG");
static_assert(sizeof(WDF_IO_QUEUE_CONFIG) == 48, "WDF_IO_QUEUE_CONFIG");
static_assert(sizeof(WDF_INTERRUPT_CONFIG) == 32, "WDF_INTERRUPT_CONFIG");
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 16, "CM_PARTIAL_RESOURCE_DESCRIPTOR");
static_assert(sizeof(WDF_WORKITEM_CONFIG) == 12, "WDF_WORKITEM_CONFIG");
static_assert(sizeof(ULONG) == 4 && sizeof(PVOID) == 4, "32-bit target");
#endif
