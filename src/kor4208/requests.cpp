// The requests that map one to one onto driver requests: inputs, ports,
// channel configuration, the general event, the registry record and the
// location, and the copy of the shared block.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "text.h"

namespace {

using Lock = std::unique_lock<std::mutex>;

constexpr uint32_t kMaxValueNameUnits = 63;  // the wire field holds 64 units with the NUL

bool ValidWidth(uint32_t width) { return width == 1 || width == 2 || width == 4; }

kor_status ReadPorts(const kor_board& board, uint32_t start, uint32_t count, uint8_t* out)
{
    if (count == 0)
        return KOR_OK;  // the driver refuses an empty output buffer
    READ_DI_PORTS_INPUT input{start, count};
    std::vector<uint8_t> buffer(count);
    kor_status status = kor::Control(board.device, IOCTL_READ_DI_PORTS, &input, sizeof input, buffer.data(),
                                     count, count);
    if (status < 0)
        return status;
    std::memcpy(out, buffer.data(), count);
    return KOR_OK;
}

kor_status SetEdges(const kor_board& board, uint32_t first, uint32_t count, const uint8_t* edges)
{
    std::vector<uint8_t> input(MDX_SET_EDGES_HEAD + count);
    SET_TRIGGER_EDGES_INPUT head{};
    head.StartChannel = first;
    head.ChannelCount = count;
    std::memcpy(input.data(), &head, MDX_SET_EDGES_HEAD);
    if (count)
        std::memcpy(input.data() + MDX_SET_EDGES_HEAD, edges, count);
    return kor::Control(board.device, IOCTL_SET_TRIGGER_EDGES, input.data(), static_cast<uint32_t>(input.size()),
                        nullptr, 0, 0);
}

}  // namespace

extern "C" kor_status kor_read_ports(kor_board* handle, uint32_t start, uint32_t count, uint8_t* out)
{
    if (start >= MDX_INPUT_PORTS || (count > 0 && !out))
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) { return ReadPorts(board, start, count, out); });
}

extern "C" kor_status kor_read_inputs(kor_board* handle, uint8_t ports[4])
{
    if (!ports)
        return KOR_E_INVALID_ARGUMENT;
    return kor_read_ports(handle, 0, MDX_INPUT_PORTS, ports);
}

extern "C" kor_status kor_port_read(kor_board* handle, uint32_t port, uint32_t width, uint32_t* value)
{
    if (!ValidWidth(width) || !value)
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) -> kor_status {
        READ_PORT_INPUT input{port};
        uint8_t buffer[4] = {};
        kor_status status = kor::Control(board.device, IOCTL_READ_PORT, &input, sizeof input, buffer, width, width);
        if (status < 0)
            return status;
        uint32_t result = 0;
        for (uint32_t i = 0; i < width; ++i)
            result |= static_cast<uint32_t>(buffer[i]) << (8 * i);
        *value = result;
        return KOR_OK;
    });
}

extern "C" kor_status kor_port_write(kor_board* handle, uint32_t port, uint32_t width, uint32_t value)
{
    if (!ValidWidth(width) || (width < 4 && (value >> (8 * width)) != 0))
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) {
        WRITE_PORT_INPUT input{};
        input.PortAddress = port;
        for (uint32_t i = 0; i < width; ++i)
            input.PortData[i] = static_cast<uint8_t>(value >> (8 * i));
        return kor::Control(board.device, IOCTL_WRITE_PORT, &input, offsetof(WRITE_PORT_INPUT, PortData) + width,
                            nullptr, 0, width);
    });
}

extern "C" kor_status kor_set_trigger_edges(kor_board* handle, uint32_t first, uint32_t count,
                                            const uint8_t* edges)
{
    if (first > MDX_INT_CHANNELS || count > MDX_INT_CHANNELS - first || (count > 0 && !edges))
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) { return SetEdges(board, first, count, edges); });
}

extern "C" kor_status kor_arm(kor_board* handle, uint32_t channel, uint8_t edge, uint32_t scan_start,
                              uint32_t scan_count)
{
    if (channel >= MDX_INT_CHANNELS || scan_start >= MDX_INPUT_PORTS || scan_count > MDX_INPUT_PORTS)
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) -> kor_status {
        uint8_t previous[MDX_INT_CHANNELS] = {};
        if (board.shared.present())
            board.shared.LoadBytes(offsetof(SHARED_BLOCK, DiintTrigEdge), previous, MDX_INT_CHANNELS);
        kor_status status = SetEdges(board, channel, 1, &edge);
        if (status < 0)
            return status;
        ENABLE_DI_INTERRUPT_INPUT input{kor::kSlotEventType[kor::SlotOfChannel(channel)], scan_start, scan_count};
        status = kor::Control(board.device, IOCTL_ENABLE_DI_INTERRUPT, &input, sizeof input, nullptr, 0, 0);
        if (status < 0 && board.shared.present())
            SetEdges(board, channel, 1, &previous[channel]);
        return status;
    });
}

extern "C" kor_status kor_disarm(kor_board* handle, uint32_t channel)
{
    if (channel >= MDX_INT_CHANNELS)
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) {
        DISABLE_DI_INTERRUPT_INPUT input{kor::kSlotEventType[kor::SlotOfChannel(channel)]};
        return kor::Control(board.device, IOCTL_DISABLE_DI_INTERRUPT, &input, sizeof input, nullptr, 0, 0);
    });
}

extern "C" kor_status kor_signal_general_event(kor_board* handle)
{
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) {
        return kor::Control(board.device, IOCTL_SIGNAL_GENERAL_EVENT, nullptr, 0, nullptr, 0, 0);
    });
}

extern "C" kor_status kor_read_shared(kor_board* handle, kor_shared_view* view)
{
    if (!view)
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) -> kor_status {
        const kor::SharedMapping& shared = board.shared;
        if (!shared.present())
            return KOR_E_NO_MAPPING;
        kor_shared_view copy{};
        uint32_t* const words[] = {&copy.size, &copy.product_id, &copy.board_number, &copy.board_id,
                                   &copy.bus, &copy.slot, &copy.interrupt_level, &copy.base_address,
                                   &copy.port_length, &copy.init_on_load};
        static_assert(offsetof(SHARED_BLOCK, InitOnLoad) == 4 * (sizeof words / sizeof words[0] - 1),
                      "the block starts with ten 32-bit fields");
        for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i)
            *words[i] = shared.Load(static_cast<uint32_t>(4 * i));
        shared.LoadBytes(offsetof(SHARED_BLOCK, DiintTrigEdge), copy.trig_edge, MDX_INT_CHANNELS);
        shared.LoadBytes(offsetof(SHARED_BLOCK, DiInversePorts), copy.inverse_ports, MDX_INPUT_PORTS);
        uint8_t channels[sizeof(DI_INT_CHANNEL) * MDX_INT_CHANNELS];
        shared.LoadBytes(offsetof(SHARED_BLOCK, DiintChannel), channels, sizeof channels);
        for (unsigned i = 0; i < MDX_INT_CHANNELS; ++i) {
            copy.scan_start[i] = channels[sizeof(DI_INT_CHANNEL) * i + offsetof(DI_INT_CHANNEL, ScanStart)];
            copy.scan_count[i] = channels[sizeof(DI_INT_CHANNEL) * i + offsetof(DI_INT_CHANNEL, ScanCount)];
        }
        shared.LoadBytes(offsetof(SHARED_BLOCK, DiSnapshot), &copy.snapshot[0][0], sizeof copy.snapshot);
        copy.int_status = shared.Load(offsetof(SHARED_BLOCK, IntStatus));
        for (unsigned i = 0; i < MDX_INT_CHANNELS; ++i)
            copy.int_pending[i] = shared.Load(offsetof(SHARED_BLOCK, IntPending) + 4 * i);
        *view = copy;
        return KOR_OK;
    });
}

extern "C" kor_status kor_read_value(kor_board* handle, const char* name, void* data, uint32_t capacity,
                                     uint32_t* length)
{
    std::u16string wide;
    if (!name || (capacity > 0 && !data))
        return KOR_E_INVALID_ARGUMENT;
    return kor::Guarded([&]() -> kor_status {
        if (!kor::Utf8ToUtf16(name, &wide))
            return KOR_E_INVALID_ARGUMENT;
        // The name, NUL included, is the whole input; the value's bytes come
        // back in the same buffer.
        const size_t nameBytes = (wide.size() + 1) * sizeof(char16_t);
        if (nameBytes > UINT32_MAX)
            return KOR_E_INVALID_ARGUMENT;
        std::vector<uint8_t> buffer(std::max<size_t>({nameBytes, size_t{capacity}, size_t{1}}));
        std::memcpy(buffer.data(), wide.c_str(), nameBytes);
        return kor::WithBoard(handle, [&](kor_board& board, Lock&) -> kor_status {
            uint32_t bytes = 0;
            kor_status status = kor::ControlCounted(board.device, IOCTL_READ_DEVICE_VALUE, buffer.data(),
                                                    static_cast<uint32_t>(nameBytes), buffer.data(), capacity,
                                                    &bytes);
            if (status < 0)
                return status;
            if (bytes)
                std::memcpy(data, buffer.data(), bytes);
            if (length)
                *length = bytes;
            return KOR_OK;
        });
    });
}

extern "C" kor_status kor_write_value(kor_board* handle, const char* name, uint32_t type, const void* data,
                                      uint32_t length)
{
    std::u16string wide;
    if (!name || (length > 0 && !data) || length > UINT32_MAX - MDX_WRITE_VALUE_HEAD)
        return KOR_E_INVALID_ARGUMENT;
    return kor::Guarded([&]() -> kor_status {
        if (!kor::Utf8ToUtf16(name, &wide) || wide.size() > kMaxValueNameUnits)
            return KOR_E_INVALID_ARGUMENT;
        // The request is at least the head and four data bytes long, whatever
        // the value's own length.
        std::vector<uint8_t> input(MDX_WRITE_VALUE_HEAD + std::max<uint32_t>(length, 4));
        WRITE_DEVICE_VALUE_INPUT head{};
        std::memcpy(head.ValueName, wide.data(), wide.size() * sizeof(char16_t));
        head.ValueType = type;
        head.ValueLength = length;
        std::memcpy(input.data(), &head, MDX_WRITE_VALUE_HEAD);
        if (length)
            std::memcpy(input.data() + MDX_WRITE_VALUE_HEAD, data, length);
        return kor::WithBoard(handle, [&](kor_board& board, Lock&) {
            return kor::Control(board.device, IOCTL_WRITE_DEVICE_VALUE, input.data(),
                                static_cast<uint32_t>(input.size()), nullptr, 0, 0);
        });
    });
}

extern "C" kor_status kor_get_location(kor_board* handle, char* text, uint32_t capacity)
{
    if (!text)
        return KOR_E_INVALID_ARGUMENT;
    return kor::WithBoard(handle, [&](kor_board& board, Lock&) -> kor_status {
        std::string location;
        kor_status status = kor::QueryLocationText(board.device, &location);
        if (status < 0)
            return status;
        return kor::CopyOut(location, text, capacity);
    });
}
