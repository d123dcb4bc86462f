// list, read, arm, disarm, edges and ioctl.
#include "commands.h"

#include <cstdio>
#include <ostream>

#include <nlohmann/json.hpp>

#include "json_reader.h"
#include "library.h"
#include "names.h"
#include "raw_io.h"
#include "session.h"
#include "tool_error.h"

namespace tool {

namespace {

using json = nlohmann::ordered_json;

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string HexPort(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string Hex8(uint32_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

// Reports every start that failed, so the user sees why a board is missing.
void ReportFailedStarts(const Session& session, std::ostream& err)
{
    for (size_t slot = 0; slot < session.slotCount(); ++slot)
        if (!session.starts()[slot].started)
            err << "mdx4208: " << session.StartLine(slot) << "\n";
}

uint32_t ChosenBoard(const Session& session, const std::optional<uint32_t>& board)
{
    uint32_t number = board ? *board : session.FirstNumber();
    session.RequireStarted(number);
    return number;
}

std::string Bits(uint8_t value)
{
    std::string bits;
    for (int bit = 7; bit >= 0; --bit)
        bits.push_back(value >> bit & 1 ? '1' : '0');
    return bits;
}

uint8_t EnableRegister(Session& session, size_t slot)
{
    return session.board(slot).Register(sim::mdx4208::kIntEnableReg);
}

void CheckChannel(unsigned channel)
{
    if (channel > 3)
        throw BadInput("channel " + std::to_string(channel) + " does not exist (0 to 3)");
}

}  // namespace

int List(Context& context, bool asJson)
{
    RegistryStore store = context.OpenStore();
    Session session(context.Description());
    // What an application finds through the library.
    std::vector<kor_board_info> infos(session.slotCount());
    uint32_t found = 0;
    Check(kor_list_boards(infos.data(), static_cast<uint32_t>(infos.size()), &found), "listing the boards");
    infos.resize(std::min<size_t>(found, infos.size()));
    auto infoOf = [&](uint32_t number) -> const kor_board_info* {
        for (const kor_board_info& info : infos)
            if (info.board_number == number)
                return &info;
        return nullptr;
    };

    if (asJson) {
        json boards = json::array();
        for (size_t slot = 0; slot < session.slotCount(); ++slot) {
            const BoardStart& start = session.starts()[slot];
            const BoardDesc& desc = session.description().boards[slot];
            json entry = {
                {"slot", slot},
                {"name", desc.name},
                {"location", {{"bus", desc.slot.location.bus}, {"device", desc.slot.location.device},
                              {"function", desc.slot.location.function}}},
                {"boardIdSwitch", desc.slot.boardIdSwitch},
                {"status", StatusName(start.status)},
                {"statusValue", Hex32(static_cast<uint32_t>(start.status))},
                {"started", start.started},
            };
            if (start.started) {
                entry["boardNumber"] = start.number;
                entry["kept"] = start.kept;
                if (const kor_board_info* info = infoOf(start.number)) {
                    entry["productId"] = info->product_id;
                    entry["portBase"] = info->port_base;
                    entry["portLength"] = info->port_length;
                    entry["interrupt"] = info->interrupt;
                    entry["locationText"] = info->location;
                    entry["devicePath"] = info->device_path;
                }
            } else {
                entry["reason"] = session.FailureReason(slot);
            }
            boards.push_back(entry);
        }
        context.out << json{{"machine", session.description().source}, {"store", store.path()}, {"boards", boards}}
                           .dump(2)
                    << "\n";
        return kExitOk;
    }

    context.out << "machine: " << session.description().source << "; registry store: " << store.path() << "\n";
    for (size_t slot = 0; slot < session.slotCount(); ++slot) {
        const BoardStart& start = session.starts()[slot];
        context.out << session.StartLine(slot) << "\n";
        if (!start.started)
            continue;
        if (const kor_board_info* info = infoOf(start.number))
            context.out << "  ports " << HexPort(info->port_base) << ".." << HexPort(info->port_base + info->port_length - 1)
                        << ", interrupt level " << info->interrupt << ", " << info->location << "\n  "
                        << info->device_path << "\n";
    }
    for (const ForeignDesc& foreign : session.description().foreign)
        context.out << "foreign device \"" << foreign.name << "\" on interrupt " << foreign.interruptVector << "\n";
    return kExitOk;
}

int Read(Context& context, const ReadOptions& options)
{
    if (options.start > 3 || options.count > 4)
        throw BadInput("ports: start 0 to 3 and count 0 to 4");
    RegistryStore store = context.OpenStore();
    Session session(context.Description());
    ReportFailedStarts(session, context.err);
    const uint32_t number = ChosenBoard(session, options.board);
    const size_t slot = *session.SlotOfNumber(number);
    if (options.inputs)
        session.board(slot).SetInputs(*options.inputs);
    KorBoard board = OpenBoard(number, false);
    uint8_t ports[4] = {};
    Check(kor_read_ports(board.get(), options.start, options.count, ports), "reading the inputs");

    if (options.json) {
        json list = json::array();
        for (unsigned i = 0; i < options.count; ++i)
            list.push_back({{"port", (options.start + i) % 4}, {"value", ports[i]}});
        json result = {{"board", number}, {"ports", list}};
        if (options.start == 0 && options.count == 4)
            result["inputs"] = Hex32(ports[0] | ports[1] << 8 | ports[2] << 16 | uint32_t(ports[3]) << 24);
        context.out << result.dump(2) << "\n";
        return kExitOk;
    }
    context.out << "board " << number << " inputs:";
    for (unsigned i = 0; i < options.count; ++i)
        context.out << " port " << (options.start + i) % 4 << " " << Hex8(ports[i]) << " (" << Bits(ports[i]) << ")";
    context.out << "\n";
    return kExitOk;
}

int Arm(Context& context, const ArmOptions& options)
{
    CheckChannel(options.channel);
    RegistryStore store = context.OpenStore();
    Session session(context.Description());
    ReportFailedStarts(session, context.err);
    const uint32_t number = ChosenBoard(session, options.board);
    const size_t slot = *session.SlotOfNumber(number);
    sim::Mdx4208Board& hw = session.board(slot);
    KorBoard board = OpenBoard(number, true);
    const uint8_t edge = options.rising ? KOR_EDGE_RISING : KOR_EDGE_FALLING;
    Check(kor_arm(board.get(), options.channel, edge, options.scanStart, options.scanCount), "arming");
    context.out << "board " << number << " channel " << options.channel << " armed on the " << EdgeName(edge)
                << " edge, scanning " << options.scanCount << " port(s) from " << options.scanStart
                << "; enable register " << Hex8(EnableRegister(session, slot)) << "\n";
    for (unsigned k = 1; k <= options.pulses; ++k) {
        hw.Pulse(options.channel);
        uint8_t snapshot[4] = {};
        kor_status status = kor_wait_interrupt(board.get(), options.channel, options.timeoutMs, snapshot);
        if (status == KOR_E_TIMEOUT)
            throw Failed("no interrupt on channel " + std::to_string(options.channel) + " within " +
                         std::to_string(options.timeoutMs) + " ms of edge " + std::to_string(k));
        Check(status, "waiting for the interrupt");
        context.out << "event " << k << ": snapshot " << HexBytes(snapshot, 4) << " (edges the board saw: "
                    << hw.EdgesSeen(options.channel) << ")\n";
    }
    Check(kor_disarm(board.get(), options.channel), "disarming");
    return kExitOk;
}

int Disarm(Context& context, const DisarmOptions& options)
{
    CheckChannel(options.channel);
    RegistryStore store = context.OpenStore();
    Session session(context.Description());
    ReportFailedStarts(session, context.err);
    const uint32_t number = ChosenBoard(session, options.board);
    const size_t slot = *session.SlotOfNumber(number);
    sim::Mdx4208Board& hw = session.board(slot);
    KorBoard board = OpenBoard(number, true);
    if (options.armFirst)
        Check(kor_arm(board.get(), options.channel, KOR_EDGE_RISING, 0, 4), "arming");
    const uint8_t before = EnableRegister(session, slot);
    Check(kor_disarm(board.get(), options.channel), "disarming");
    const uint64_t latched = hw.LatchCount(options.channel);
    hw.Pulse(options.channel);
    const bool latchedAfter = hw.LatchCount(options.channel) != latched;
    context.out << "board " << number << " channel " << options.channel << " disarmed; enable register "
                << Hex8(before) << " -> " << Hex8(EnableRegister(session, slot)) << "; an edge on its pin "
                << (latchedAfter ? "still latched an interrupt" : "latched nothing") << "\n";
    return latchedAfter ? kExitFailed : kExitOk;
}

int Edges(Context& context, const EdgesOptions& options)
{
    if (options.edges.empty() || options.first + options.edges.size() > 4)
        throw BadInput("give one to four edges, for channels --first (" + std::to_string(options.first) +
                       ") on, ending at channel 3");
    std::vector<uint8_t> edges;
    for (const std::string& text : options.edges) {
        auto edge = ParseEdge(text);
        if (!edge)
            throw BadInput("\"" + text + "\" is not an edge (rising, falling, 1 or 0)");
        edges.push_back(*edge);
    }
    RegistryStore store = context.OpenStore();
    Session session(context.Description());
    ReportFailedStarts(session, context.err);
    const uint32_t number = ChosenBoard(session, options.board);
    const size_t slot = *session.SlotOfNumber(number);
    KorBoard board = OpenBoard(number, true);
    Check(kor_set_trigger_edges(board.get(), options.first, static_cast<uint32_t>(edges.size()), edges.data()),
          "setting the trigger edges");
    kor_shared_view view{};
    Check(kor_read_shared(board.get(), &view), "reading the shared block");
    context.out << "board " << number << " trigger edges:";
    for (unsigned channel = 0; channel < 4; ++channel)
        context.out << " " << channel << "=" << EdgeName(view.trig_edge[channel]);
    context.out << "; trigger-edge register "
                << Hex8(session.board(slot).Register(sim::mdx4208::kTriggerEdgeReg))
                << " (a channel takes its new edge when it is next armed)\n";
    return kExitOk;
}

int Ioctl(Context& context, const IoctlOptions& options)
{
    auto code = ParseControlCode(options.code);
    if (!code)
        throw BadInput("\"" + options.code + "\" is neither a control code name (IOCTL_READ_PORT) nor a number");
    auto input = ParseHexBytes(options.input);
    if (!input)
        throw BadInput("input \"" + options.input + "\" is not hex bytes (\"00 d0 00 00\")");
    RegistryStore store = context.OpenStore();
    Session session(context.Description());
    ReportFailedStarts(session, context.err);
    const uint32_t number = ChosenBoard(session, options.board);
    const size_t slot = *session.SlotOfNumber(number);
    RawHandle handle;
    int32_t opened = handle.Open(session.starts()[slot].devicePath,
                                 options.privileged ? kPrivilegedAccess : kSharedAccess);
    if (opened < 0)
        throw Failed("opening board " + std::to_string(number) + ": " + StatusText(opened));
    RawResult result = RawIoctl(handle.get(), *code, *input, options.outputLength);
    const std::string codeName = ControlCodeName(*code).value_or("not in the driver's table");
    const uint32_t shown = std::min<uint32_t>(result.bytes, static_cast<uint32_t>(result.output.size()));

    if (options.json) {
        context.out << json{{"board", number},
                            {"code", Hex32(*code)},
                            {"codeName", codeName},
                            {"status", StatusName(result.status)},
                            {"statusValue", Hex32(static_cast<uint32_t>(result.status))},
                            {"bytes", result.bytes},
                            {"output", HexBytes(result.output.data(), shown)}}
                           .dump(2)
                    << "\n";
    } else {
        context.out << Hex32(*code) << " (" << codeName << ") on board " << number << ": "
                    << StatusText(result.status) << ", " << result.bytes << " byte(s)\n";
        if (shown)
            context.out << "output: " << HexBytes(result.output.data(), shown) << "\n";
    }
    return result.status < 0 ? kExitFailed : kExitOk;
}

}  // namespace tool
