// watch: a live view of one board while the description's generators drive
// it. On a terminal the view is redrawn in place; otherwise each event is
// one line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <thread>

#include "commands.h"
#include "json_reader.h"
#include "library.h"
#include "names.h"
#include "session.h"
#include "tool_error.h"
#include "wdf/interrupt.h"

namespace tool {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterruptSignal(int) { gInterrupted.store(true); }

// SIGINT ends the watch instead of the process, for the watch's lifetime.
class InterruptSignal {
public:
    InterruptSignal()
    {
        gInterrupted = false;
        struct sigaction action = {};
        action.sa_handler = OnInterruptSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &saved_);
    }
    ~InterruptSignal() { sigaction(SIGINT, &saved_, nullptr); }

private:
    struct sigaction saved_ = {};
};

// The cursor is hidden while the view is redrawn and shown again at the end,
// whatever ends the watch.
class TerminalView {
public:
    TerminalView(std::ostream& out, bool active) : out_(out), active_(active)
    {
        if (active_)
            out_ << "\x1b[?25l" << std::flush;
    }
    ~TerminalView()
    {
        if (active_)
            out_ << "\x1b[?25h" << std::flush;
    }
    // Replaces the previous frame with `lines`.
    void Draw(const std::vector<std::string>& lines)
    {
        if (drawn_)
            out_ << "\x1b[" << drawn_ << "A";
        for (const std::string& line : lines)
            out_ << "\r" << line << "\x1b[K\n";
        out_ << std::flush;
        drawn_ = lines.size();
    }

private:
    std::ostream& out_;
    bool active_;
    size_t drawn_ = 0;
};

struct EventRecord {
    double seconds;
    unsigned channel;
    uint64_t number;
    uint64_t edgesSeen;
    uint8_t snapshot[4];
};

struct ChannelWatch {
    std::atomic<uint64_t> events{0};
    std::atomic<uint32_t> snapshot{0};  // the last one, ports 0..3 in bytes 0..3
    std::atomic<bool> seen{false};
    std::thread waiter;
};

std::string Bits(uint8_t value)
{
    std::string bits;
    for (int bit = 7; bit >= 0; --bit)
        bits.push_back(value >> bit & 1 ? '1' : '0');
    return bits;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// One board under watch: the privileged handle that arms its channels, a
// waiter thread per armed channel, and the view.
class BoardWatch {
public:
    BoardWatch(Context& context, const WatchOptions& options, Session& session, uint32_t number)
        : context_(context), options_(options), session_(session), number_(number),
          slot_(session.RequireStarted(number)), desc_(session.description().boards[slot_]),
          hw_(session.board(slot_)), board_(OpenBoard(number, true))
    {
    }
    ~BoardWatch() { StopWaiters(); }

    void Arm();
    void StartWaiters();
    // Redraws the view, or prints the events that came since the last call.
    void Show(TerminalView& view);
    // Waits for the interrupts already on their way, then stops the waiters.
    void Settle();
    // Edges against events per armed channel; disarms them.
    void Summary();
    kor_status failure() const { return failure_.load(); }
    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    void MarkStopped() { stoppedAt_ = elapsed(); }
    void PrintHeader();

private:
    void Wait(unsigned channel);
    void StopWaiters();
    std::vector<std::string> Frame();
    void FlushLines();

    Context& context_;
    const WatchOptions& options_;
    Session& session_;
    const uint32_t number_;
    const size_t slot_;
    const BoardDesc& desc_;
    sim::Mdx4208Board& hw_;
    KorBoard board_;
    bool armed_[4] = {};
    ChannelWatch channels_[4];
    std::atomic<bool> stopping_{false};
    std::atomic<kor_status> failure_{KOR_OK};
    std::mutex linesMutex_;
    std::vector<EventRecord> lines_;
    const Clock::time_point start_ = Clock::now();
    double stoppedAt_ = -1;  // seconds, once the generators have stopped
};

// The channels asked for, or those whose pins a generator drives.
void BoardWatch::Arm()
{
    for (unsigned channel : options_.channels)
        armed_[channel] = true;
    if (options_.channels.empty())
        for (const GeneratorDesc& g : desc_.generators)
            if (g.kind == GeneratorDesc::Kind::Square)
                armed_[g.pin] = true;
    if (std::find(std::begin(armed_), std::end(armed_), true) == std::end(armed_))
        context_.err << "mdx4208: no channel armed: no generator of board " << number_
                     << " drives an interrupt pin; arm channels with --channel\n";
    const uint8_t edge = options_.rising ? KOR_EDGE_RISING : KOR_EDGE_FALLING;
    for (unsigned channel = 0; channel < 4; ++channel)
        if (armed_[channel])
            Check(kor_arm(board_.get(), channel, edge, 0, 4), "arming channel " + std::to_string(channel));
}

void BoardWatch::StartWaiters()
{
    for (unsigned channel = 0; channel < 4; ++channel) {
        if (!armed_[channel])
            continue;
        // A first look registers the channel's event with the driver, so the
        // waiter is ready before the generators make the first edge.
        kor_status status = kor_wait_interrupt(board_.get(), channel, 0, nullptr);
        if (status != KOR_E_TIMEOUT)
            Check(status, "preparing to wait on channel " + std::to_string(channel));
        channels_[channel].waiter = std::thread([this, channel] { Wait(channel); });
    }
}

// A waiter does nothing but take interrupts, so that it keeps up; the view
// is drawn by the main thread.
void BoardWatch::Wait(unsigned channel)
{
    sim::ProcessScope scope(session_.process());
    ChannelWatch& watch = channels_[channel];
    while (!stopping_.load()) {
        uint8_t snapshot[4];
        kor_status status = kor_wait_interrupt(board_.get(), channel, 100, snapshot);
        if (status == KOR_E_TIMEOUT)
            continue;
        if (status < 0) {
            failure_ = status;
            return;
        }
        uint64_t count = watch.events.fetch_add(1) + 1;
        watch.snapshot = snapshot[0] | snapshot[1] << 8 | snapshot[2] << 16 | uint32_t(snapshot[3]) << 24;
        watch.seen = true;
        if (!options_.terminal) {
            EventRecord record{elapsed(), channel, count, hw_.EdgesSeen(channel), {}};
            std::copy(snapshot, snapshot + 4, record.snapshot);
            std::lock_guard<std::mutex> lock(linesMutex_);
            lines_.push_back(record);
        }
    }
}

void BoardWatch::StopWaiters()
{
    stopping_ = true;
    for (ChannelWatch& watch : channels_)
        if (watch.waiter.joinable())
            watch.waiter.join();
}

void BoardWatch::PrintHeader()
{
    if (options_.terminal)
        return;
    context_.out << "watching board " << number_ << " \"" << desc_.name << "\"; armed channels:";
    for (unsigned channel = 0; channel < 4; ++channel)
        if (armed_[channel])
            context_.out << " " << channel;
    context_.out << "\n" << std::flush;
}

void BoardWatch::Show(TerminalView& view)
{
    if (options_.terminal)
        view.Draw(Frame());
    else
        FlushLines();
}

void BoardWatch::FlushLines()
{
    std::vector<EventRecord> lines;
    {
        std::lock_guard<std::mutex> lock(linesMutex_);
        lines.swap(lines_);
    }
    for (const EventRecord& r : lines)
        context_.out << Format("%.6f board %u channel %u event %llu snapshot %s (board saw %llu edges)\n", r.seconds,
                               number_, r.channel, static_cast<unsigned long long>(r.number),
                               HexBytes(r.snapshot, 4).c_str(), static_cast<unsigned long long>(r.edgesSeen));
    context_.out << std::flush;
}

std::vector<std::string> BoardWatch::Frame()
{
    std::vector<std::string> lines;
    lines.push_back(Format("board %u \"%s\" at PCI %s, BoardID %u, interrupt %u", number_, desc_.name.c_str(),
                           LocationText(desc_.slot.location).c_str(), desc_.slot.boardIdSwitch,
                           desc_.slot.interruptVector));
    if (stoppedAt_ >= 0)
        lines.push_back(Format("stopped after %.1f s", stoppedAt_));
    else if (options_.duration > 0)
        lines.push_back(Format("%.1f s of %.1f s   (Ctrl-C stops)", elapsed(), options_.duration));
    else
        lines.push_back(Format("%.1f s   (Ctrl-C stops)", elapsed()));

    uint8_t ports[4] = {};
    kor_status read = kor_read_inputs(board_.get(), ports);
    lines.push_back("inputs     port 3   port 2   port 1   port 0");
    if (read < 0)
        lines.push_back("           " + StatusText(read));
    else
        lines.push_back(Format("           %s %s %s %s   0x%02X%02X%02X%02X", Bits(ports[3]).c_str(),
                               Bits(ports[2]).c_str(), Bits(ports[1]).c_str(), Bits(ports[0]).c_str(), ports[3],
                               ports[2], ports[1], ports[0]));

    kor_shared_view view{};
    kor_status shared = kor_read_shared(board_.get(), &view);
    const uint8_t enable = hw_.Register(sim::mdx4208::kIntEnableReg);
    lines.push_back("channel  armed  pending    events  board edges  last snapshot");
    for (unsigned channel = 0; channel < 4; ++channel) {
        const ChannelWatch& watch = channels_[channel];
        const uint32_t s = watch.snapshot.load();
        const std::string snapshot =
            watch.seen ? Format("%02x %02x %02x %02x", s & 0xFF, s >> 8 & 0xFF, s >> 16 & 0xFF, s >> 24) : "-";
        lines.push_back(Format("%-7u  %-5s  %-7s %9llu  %11llu  %s", channel,
                               enable & sim::mdx4208::ChannelBit(channel) ? "yes" : "no",
                               shared < 0 ? "?" : (view.int_pending[channel] ? "up" : "down"),
                               static_cast<unsigned long long>(watch.events.load()),
                               static_cast<unsigned long long>(hw_.EdgesSeen(channel)), snapshot.c_str()));
    }
    for (const GeneratorDesc& g : desc_.generators)
        lines.push_back("generator: " + DescribeGenerator(g));
    const auto& foreign = session_.description().foreign;
    for (size_t i = 0; i < foreign.size(); ++i)
        lines.push_back(Format("foreign \"%s\" on interrupt %u: %llu pulses", foreign[i].name.c_str(),
                               foreign[i].interruptVector, static_cast<unsigned long long>(session_.ForeignPulses(i))));
    sim::InterruptLine* line = sim::InterruptController::Instance().Line(desc_.slot.interruptVector);
    lines.push_back(Format("interrupt line %u: %llu service passes that no driver claimed", desc_.slot.interruptVector,
                           static_cast<unsigned long long>(line->unclaimed())));
    return lines;
}

// Until every edge has its event, or nothing has come for a while (edges
// merged into a pending interrupt never will).
void BoardWatch::Settle()
{
    uint64_t lastTotal = UINT64_MAX;
    auto quietSince = Clock::now();
    const auto giveUp = Clock::now() + std::chrono::milliseconds(1000);
    while (Clock::now() < giveUp) {
        bool caughtUp = true;
        uint64_t total = 0;
        for (unsigned channel = 0; channel < 4; ++channel) {
            const uint64_t events = channels_[channel].events.load();
            total += events;
            caughtUp = caughtUp && (!armed_[channel] || events >= hw_.EdgesSeen(channel));
        }
        if (total != lastTotal) {
            lastTotal = total;
            quietSince = Clock::now();
        }
        if (caughtUp || Clock::now() - quietSince > std::chrono::milliseconds(100))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopWaiters();
}

void BoardWatch::Summary()
{
    for (unsigned channel = 0; channel < 4; ++channel) {
        if (!armed_[channel])
            continue;
        const uint64_t events = channels_[channel].events.load();
        const uint64_t edges = hw_.EdgesSeen(channel);
        context_.out << "channel " << channel << ": the board saw " << edges << " edge(s), " << events
                     << " event(s) delivered";
        if (events < edges)
            context_.out << " (" << edges - events
                         << " edge(s) came while the channel's interrupt was still pending and were merged into it)";
        context_.out << "\n";
        Check(kor_disarm(board_.get(), channel), "disarming channel " + std::to_string(channel));
    }
}

}  // namespace

int Watch(Context& context, const WatchOptions& options)
{
    for (unsigned channel : options.channels)
        if (channel > 3)
            throw BadInput("channel " + std::to_string(channel) + " does not exist (0 to 3)");
    if (options.duration < 0)
        throw BadInput("--duration must not be negative");
    RegistryStore store = context.OpenStore();
    Session session(context.Description());
    for (size_t slot = 0; slot < session.slotCount(); ++slot)
        if (!session.starts()[slot].started)
            context.err << "mdx4208: " << session.StartLine(slot) << "\n";
    BoardWatch watch(context, options, session, options.board ? *options.board : session.FirstNumber());
    watch.Arm();
    watch.StartWaiters();
    {
        InterruptSignal signal;
        TerminalView view(context.out, options.terminal);
        watch.PrintHeader();
        session.StartGenerators();
        const auto period = std::chrono::milliseconds(options.terminal ? 100 : 50);
        for (;;) {
            const bool done = gInterrupted.load() || watch.failure() != KOR_OK ||
                              (options.duration > 0 && watch.elapsed() >= options.duration);
            if (done)
                break;
            watch.Show(view);
            std::this_thread::sleep_for(period);
        }
        session.StopGenerators();
        watch.MarkStopped();
        watch.Settle();
        watch.Show(view);
    }
    watch.Summary();
    if (watch.failure() != KOR_OK)
        throw Failed(CallFailure("waiting for interrupts", watch.failure()));
    return kExitOk;
}

}  // namespace tool
