// demo: the machine booted over the registry store, its boards with their
// numbers, their inputs, one channel armed and driven, and a board's record.
#include <cstdio>
#include <ostream>

#include "commands.h"
#include "json_reader.h"
#include "library.h"
#include "names.h"
#include "registry/sim_registry.h"
#include "session.h"
#include "tool_error.h"

namespace tool {

namespace {

constexpr unsigned kDemoChannel = 0;
constexpr unsigned kDemoEdges = 3;
constexpr uint32_t kEventTimeoutMs = 2000;

std::string PortsText(const uint8_t ports[4])
{
    char text[64];
    std::snprintf(text, sizeof text, "port 0 0x%02X, port 1 0x%02X, port 2 0x%02X, port 3 0x%02X", ports[0],
                  ports[1], ports[2], ports[3]);
    return text;
}

void ShowBoards(Session& session, std::ostream& out)
{
    const MachineDescription& description = session.description();
    out << "booting " << description.source << ": " << description.boards.size() << " board(s)";
    if (!description.foreign.empty())
        out << ", " << description.foreign.size() << " foreign device(s) on shared interrupt lines";
    out << "\n";
    for (size_t slot = 0; slot < session.slotCount(); ++slot)
        out << "  " << session.StartLine(slot) << "\n";
}

void ShowWhatTheApplicationFinds(std::ostream& out)
{
    kor_board_info infos[16];
    uint32_t count = 0;
    Check(kor_list_boards(infos, 16, &count), "listing the boards");
    out << "\nwhat an application finds (kor_list_boards): " << count << " board(s)\n";
    for (uint32_t i = 0; i < count && i < 16; ++i) {
        const kor_board_info& b = infos[i];
        char line[200];
        std::snprintf(line, sizeof line, "  board %u: product 0x%02X, BoardID %u, %s, ports 0x%04X..0x%04X\n",
                      b.board_number, b.product_id, b.board_id, b.location, b.port_base,
                      b.port_base + b.port_length - 1);
        out << line;
    }
}

void DriveOneChannel(Session& session, uint32_t number, std::ostream& out)
{
    const size_t slot = *session.SlotOfNumber(number);
    sim::Mdx4208Board& hw = session.board(slot);
    KorBoard board = OpenBoard(number, true);
    Check(kor_arm(board.get(), kDemoChannel, KOR_EDGE_RISING, 0, 4), "arming channel 0");
    out << "\nboard " << number << ": channel " << kDemoChannel
        << " armed through the privileged handle (rising edge, snapshot of ports 0..3)\n";
    const uint64_t edgesBefore = hw.EdgesSeen(kDemoChannel);
    unsigned delivered = 0;
    for (unsigned k = 1; k <= kDemoEdges; ++k) {
        const uint8_t value = static_cast<uint8_t>(0x10 * k + k);
        hw.SetInputPort(0, value);
        hw.Pulse(kDemoChannel);
        uint8_t snapshot[4] = {};
        kor_status status = kor_wait_interrupt(board.get(), kDemoChannel, kEventTimeoutMs, snapshot);
        if (status == KOR_E_TIMEOUT)
            throw Failed("board " + std::to_string(number) + ": no interrupt came within " +
                         std::to_string(kEventTimeoutMs) + " ms of edge " + std::to_string(k));
        Check(status, "waiting for the interrupt");
        ++delivered;
        kor_shared_view view{};
        Check(kor_read_shared(board.get(), &view), "reading the shared block");
        char line[160];
        std::snprintf(line, sizeof line,
                      "  edge %u: port 0 set to 0x%02X, pin %u pulsed -> event, snapshot %s, pending flag now %u\n", k,
                      value, kDemoChannel, HexBytes(snapshot, 4).c_str(), view.int_pending[kDemoChannel]);
        out << line;
    }
    out << "  the board saw " << hw.EdgesSeen(kDemoChannel) - edgesBefore << " edge(s); " << delivered
        << " event(s) were delivered\n";
    Check(kor_disarm(board.get(), kDemoChannel), "disarming channel 0");
    out << "  channel " << kDemoChannel << " disarmed\n";
}

}  // namespace

int Demo(Context& context)
{
    RegistryStore store = context.OpenStore();
    context.out << "mdx4208 demo: a simulated machine with MDX-4208 boards and their driver\n"
                << "registry store: " << store.path() << "\n\n";
    Session session(context.Description());
    ShowBoards(session, context.out);
    const uint32_t first = session.FirstNumber();

    ShowWhatTheApplicationFinds(context.out);

    context.out << "\ninputs, read through shared handles:\n";
    for (size_t slot = 0; slot < session.slotCount(); ++slot) {
        const BoardStart& start = session.starts()[slot];
        if (!start.started)
            continue;
        KorBoard board = OpenBoard(start.number, false);
        uint8_t ports[4] = {};
        Check(kor_read_inputs(board.get(), ports), "reading the inputs");
        context.out << "  board " << start.number << ": " << PortsText(ports) << "\n";
    }

    DriveOneChannel(session, first, context.out);

    context.out << "\nthe registry record of board " << first << ":\n"
                << sim::Registry::Instance().Export(DeviceKeyPath(first));
    if (auto entry = sim::Registry::Instance().GetValue(std::string(kServiceKey) + "\\MapEntry",
                                                         std::to_string(first))) {
        std::string path;
        for (size_t i = 0; i + 1 < entry->data.size(); i += 2)
            path.push_back(static_cast<char>(entry->data[i]));
        context.out << "map entry " << first << ": " << path << "\n";
    }
    context.out << "\nshutting the machine down; run the demo again and the boards keep their numbers.\n";
    return kExitOk;
}

}  // namespace tool
