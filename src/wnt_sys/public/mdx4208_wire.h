// The wire contract between the MDX-4208 driver and user mode: control codes,
// request records, event types, the driver's status values and the layout of
// the block that the driver maps into every opener. Included by the driver and
// by the client library; it depends on nothing but fixed-width integers.
#pragma once

#include <stdint.h>

#define MDX_CTL_CODE(Function, Access) \
    ((uint32_t)(0x9C40u << 16) | ((uint32_t)(Access) << 14) | ((uint32_t)(Function) << 2) | 0u)

#define MDX_DEVICE_TYPE 0x9C40u
#define MDX_ACCESS_READ 1u   /* FILE_READ_ACCESS */
#define MDX_ACCESS_WRITE 2u  /* FILE_WRITE_ACCESS */

#define IOCTL_GET_SHARED_ADDRESS     MDX_CTL_CODE(0x801, MDX_ACCESS_READ)
#define IOCTL_READ_DEVICE_VALUE      MDX_CTL_CODE(0x802, MDX_ACCESS_READ)
#define IOCTL_WRITE_DEVICE_VALUE     MDX_CTL_CODE(0x803, MDX_ACCESS_WRITE)
#define IOCTL_READ_PORT              MDX_CTL_CODE(0x804, MDX_ACCESS_READ)
#define IOCTL_WRITE_PORT             MDX_CTL_CODE(0x805, MDX_ACCESS_WRITE)
#define IOCTL_REGISTER_EVENTS        MDX_CTL_CODE(0x806, MDX_ACCESS_READ)
#define IOCTL_UNREGISTER_EVENTS      MDX_CTL_CODE(0x807, MDX_ACCESS_READ)
#define IOCTL_QUERY_ZERO_STATUS      MDX_CTL_CODE(0x808, MDX_ACCESS_READ)
#define IOCTL_PRIVILEGED_ACCEPT      MDX_CTL_CODE(0x809, MDX_ACCESS_WRITE)
#define IOCTL_SIGNAL_GENERAL_EVENT   MDX_CTL_CODE(0x80B, MDX_ACCESS_WRITE)
#define IOCTL_GET_LOCATION           MDX_CTL_CODE(0x80F, MDX_ACCESS_READ)
#define IOCTL_SET_TRIGGER_EDGES      MDX_CTL_CODE(0xB02, MDX_ACCESS_WRITE)
#define IOCTL_READ_DI_PORTS          MDX_CTL_CODE(0xB06, MDX_ACCESS_READ)
#define IOCTL_ENABLE_DI_INTERRUPT    MDX_CTL_CODE(0xB09, MDX_ACCESS_WRITE)
#define IOCTL_DISABLE_DI_INTERRUPT   MDX_CTL_CODE(0xB0A, MDX_ACCESS_WRITE)

/* The driver's own statuses: failure severity with the customer bit set. */
#define ERR_OUT_OF_RANGE        ((int32_t)0xE0000001u)
#define ERR_UNSUPPORTED         ((int32_t)0xE0000002u)
#define ERR_NO_MEMORY           ((int32_t)0xE0000004u)
#define ERR_NULL_ARGUMENT       ((int32_t)0xE0000005u)
#define ERR_BUFFER_TOO_SMALL    ((int32_t)0xE0000006u)
#define ERR_TOO_LONG            ((int32_t)0xE0000007u)
#define ERR_EVENT_UNSUPPORTED   ((int32_t)0xE0000009u)
#define ERR_NOT_PRIVILEGED      ((int32_t)0xE000000Fu)
#define ERR_PRIVILEGE_IN_USE    ((int32_t)0xE0000010u)

/* Event types: slot 0 is the general event, slots 1..4 interrupt channels 0..3. */
#define EVENT_GENERAL  2u
#define EVENT_DI_INT0  12u
#define EVENT_DI_INT1  13u
#define EVENT_DI_INT2  28u
#define EVENT_DI_INT3  29u

#define MDX_EVENT_SLOTS     5u
#define MDX_INPUT_PORTS     4u
#define MDX_INT_CHANNELS    4u
#define MDX_PRODUCT_ID      0x88u
#define MDX_PCI_DEVICE_ID   0x4208u
#define MDX_NO_BOARD_NUMBER 0xFFFFFFFFu
#define MDX_SHARED_SIZE     160u

/* Desired-access bit that makes an open the device's privileged handle. */
#define MDX_PRIVILEGED_ACCESS 0x100u /* FILE_WRITE_ATTRIBUTES */

/* {3D7FC5A8-AF39-4A8C-A85C-2E180E7677BF} */
#define MDX_INTERFACE_GUID_INIT \
    { 0x3D7FC5A8u, 0xAF39u, 0x4A8Cu, { 0xA8, 0x5C, 0x2E, 0x18, 0x0E, 0x76, 0x77, 0xBF } }

#pragma pack(push, 1)

typedef struct DI_INT_CHANNEL {
    uint8_t ScanStart;
    uint8_t ScanCount;
} DI_INT_CHANNEL;

typedef struct SHARED_BLOCK {
    uint32_t Size;
    uint32_t ProductID;
    uint32_t BoardNumber;
    uint32_t BoardID;
    uint32_t BusNumber;
    uint32_t SlotNumber;
    uint32_t InterruptLevel;
    uint32_t BaseAddress;
    uint32_t PortLength;
    uint32_t InitOnLoad;
    uint8_t DiintTrigEdge[MDX_INT_CHANNELS];
    uint8_t DiInversePorts[MDX_INPUT_PORTS];
    DI_INT_CHANNEL DiintChannel[MDX_INT_CHANNELS];
    uint8_t DiSnapshot[MDX_INT_CHANNELS][MDX_INPUT_PORTS];
    uint8_t Reserved1[64];
    uint32_t IntStatus;
    uint32_t Reserved2;
    uint32_t IntPending[MDX_INT_CHANNELS];
} SHARED_BLOCK;

typedef struct READ_PORT_INPUT {
    uint32_t PortAddress;
} READ_PORT_INPUT;

typedef struct WRITE_PORT_INPUT {
    uint32_t PortAddress;
    uint8_t PortData[4];
} WRITE_PORT_INPUT;

typedef struct READ_DI_PORTS_INPUT {
    uint32_t StartPort;
    uint32_t PortCount;
} READ_DI_PORTS_INPUT;

typedef struct EVENT_REG_ENTRY {
    uint32_t EventType;
    uint32_t Unused1;
    uint32_t EventHandle;
    uint32_t Unused2;
} EVENT_REG_ENTRY;

typedef struct SET_TRIGGER_EDGES_INPUT {
    uint32_t Unused;
    uint32_t StartChannel;
    uint32_t ChannelCount;
    uint8_t EdgeValues[MDX_INT_CHANNELS];
} SET_TRIGGER_EDGES_INPUT;

typedef struct ENABLE_DI_INTERRUPT_INPUT {
    uint32_t EventType;
    uint32_t ScanStart;
    uint32_t ScanCount;
} ENABLE_DI_INTERRUPT_INPUT;

typedef struct DISABLE_DI_INTERRUPT_INPUT {
    uint32_t EventType;
} DISABLE_DI_INTERRUPT_INPUT;

typedef struct WRITE_DEVICE_VALUE_INPUT {
    uint32_t Unused;
    uint16_t ValueName[64];
    uint32_t ValueType;
    uint32_t ValueLength;
    uint8_t ValueData[4];
} WRITE_DEVICE_VALUE_INPUT;

#pragma pack(pop)

#define MDX_WRITE_VALUE_HEAD 140u
#define MDX_SET_EDGES_HEAD   12u

#ifdef __cplusplus
#define MDX_WIRE_ASSERT(e, m) static_assert(e, m)
#else
#define MDX_WIRE_ASSERT(e, m) _Static_assert(e, m)
#endif
#define MDX_OFFSET(T, f) __builtin_offsetof(T, f)

MDX_WIRE_ASSERT(sizeof(SHARED_BLOCK) == 160, "SHARED_BLOCK is 160 bytes");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, Size) == 0, "Size");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, ProductID) == 4, "ProductID");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, BoardNumber) == 8, "BoardNumber");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, BoardID) == 12, "BoardID");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, BusNumber) == 16, "BusNumber");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, SlotNumber) == 20, "SlotNumber");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, InterruptLevel) == 24, "InterruptLevel");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, BaseAddress) == 28, "BaseAddress");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, PortLength) == 32, "PortLength");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, InitOnLoad) == 36, "InitOnLoad");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, DiintTrigEdge) == 40, "DiintTrigEdge");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, DiInversePorts) == 44, "DiInversePorts");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, DiintChannel) == 48, "DiintChannel");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, DiSnapshot) == 56, "DiSnapshot");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, Reserved1) == 72, "reserved 72..135");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, IntStatus) == 136, "IntStatus");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, Reserved2) == 140, "reserved 140..143");
MDX_WIRE_ASSERT(MDX_OFFSET(SHARED_BLOCK, IntPending) == 144, "IntPending");
MDX_WIRE_ASSERT(sizeof(DI_INT_CHANNEL) == 2, "DI_INT_CHANNEL is 2 bytes");
MDX_WIRE_ASSERT(MDX_OFFSET(DI_INT_CHANNEL, ScanCount) == 1, "ScanCount");
MDX_WIRE_ASSERT(sizeof(EVENT_REG_ENTRY) == 16, "EVENT_REG_ENTRY is 16 bytes");
MDX_WIRE_ASSERT(MDX_OFFSET(EVENT_REG_ENTRY, EventHandle) == 8, "EventHandle");
MDX_WIRE_ASSERT(sizeof(READ_DI_PORTS_INPUT) == 8, "READ_DI_PORTS_INPUT");
MDX_WIRE_ASSERT(MDX_OFFSET(WRITE_PORT_INPUT, PortData) == 4, "PortData");
MDX_WIRE_ASSERT(MDX_OFFSET(SET_TRIGGER_EDGES_INPUT, EdgeValues) == MDX_SET_EDGES_HEAD, "EdgeValues");
MDX_WIRE_ASSERT(sizeof(ENABLE_DI_INTERRUPT_INPUT) == 12, "ENABLE_DI_INTERRUPT_INPUT");
MDX_WIRE_ASSERT(MDX_OFFSET(WRITE_DEVICE_VALUE_INPUT, ValueName) == 4, "ValueName");
MDX_WIRE_ASSERT(MDX_OFFSET(WRITE_DEVICE_VALUE_INPUT, ValueType) == 132, "ValueType");
MDX_WIRE_ASSERT(MDX_OFFSET(WRITE_DEVICE_VALUE_INPUT, ValueLength) == 136, "ValueLength");
MDX_WIRE_ASSERT(MDX_OFFSET(WRITE_DEVICE_VALUE_INPUT, ValueData) == MDX_WRITE_VALUE_HEAD, "ValueData");
MDX_WIRE_ASSERT(sizeof(WRITE_DEVICE_VALUE_INPUT) == 144, "WRITE_DEVICE_VALUE_INPUT minimum");

MDX_WIRE_ASSERT(IOCTL_GET_SHARED_ADDRESS == 0x9C406004u, "IOCTL_GET_SHARED_ADDRESS");
MDX_WIRE_ASSERT(IOCTL_READ_DEVICE_VALUE == 0x9C406008u, "IOCTL_READ_DEVICE_VALUE");
MDX_WIRE_ASSERT(IOCTL_WRITE_DEVICE_VALUE == 0x9C40A00Cu, "IOCTL_WRITE_DEVICE_VALUE");
MDX_WIRE_ASSERT(IOCTL_READ_PORT == 0x9C406010u, "IOCTL_READ_PORT");
MDX_WIRE_ASSERT(IOCTL_WRITE_PORT == 0x9C40A014u, "IOCTL_WRITE_PORT");
MDX_WIRE_ASSERT(IOCTL_REGISTER_EVENTS == 0x9C406018u, "IOCTL_REGISTER_EVENTS");
MDX_WIRE_ASSERT(IOCTL_UNREGISTER_EVENTS == 0x9C40601Cu, "IOCTL_UNREGISTER_EVENTS");
MDX_WIRE_ASSERT(IOCTL_QUERY_ZERO_STATUS == 0x9C406020u, "IOCTL_QUERY_ZERO_STATUS");
MDX_WIRE_ASSERT(IOCTL_PRIVILEGED_ACCEPT == 0x9C40A024u, "IOCTL_PRIVILEGED_ACCEPT");
MDX_WIRE_ASSERT(IOCTL_SIGNAL_GENERAL_EVENT == 0x9C40A02Cu, "IOCTL_SIGNAL_GENERAL_EVENT");
MDX_WIRE_ASSERT(IOCTL_GET_LOCATION == 0x9C40603Cu, "IOCTL_GET_LOCATION");
MDX_WIRE_ASSERT(IOCTL_SET_TRIGGER_EDGES == 0x9C40AC08u, "IOCTL_SET_TRIGGER_EDGES");
MDX_WIRE_ASSERT(IOCTL_READ_DI_PORTS == 0x9C406C18u, "IOCTL_READ_DI_PORTS");
MDX_WIRE_ASSERT(IOCTL_ENABLE_DI_INTERRUPT == 0x9C40AC24u, "IOCTL_ENABLE_DI_INTERRUPT");
MDX_WIRE_ASSERT(IOCTL_DISABLE_DI_INTERRUPT == 0x9C40AC28u, "IOCTL_DISABLE_DI_INTERRUPT");
