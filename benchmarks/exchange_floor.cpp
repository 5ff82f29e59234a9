// exchange_floor: the MIT exchange from C++ through the driver, with no
// Python in between, as the floor that benchmarks/exchange.py compares the
// module against. Prints one JSON object on stdout.
//
//   exchange_floor --iface NAME --calls N [--block B] [--warmup W] [--queued] [--timings]
//
// After W untimed calls, N calls run back to back with a clock read after
// every B (block_ns, and total_ns for the whole loop; B defaults to 10 and
// must divide N); with --timings, N more calls follow, each timed on its own
// (per_call_ns).
//
// --queued   answer every exchange ahead of time: a second socket sends the
//            replies on the feedback identifier before the calls, and each
//            exchange consumes one (nothing is flushed). Without it a live
//            responder (the simulator) must answer.
//
// phase_mark() is entered right before and right after the back-to-back
// loop, so that `valgrind --tool=callgrind --dump-before=phase_mark`
// isolates it.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_cli.hpp"
#include "damiao/driver.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace torvane;
using bench::fail;

// The same motor, setpoint and reply bytes as the Python side uses.
constexpr std::uint16_t kMotorId = 0x01;
constexpr std::uint16_t kMasterId = 0x11;
constexpr damiao::MitSetpoint kSetpoint{1.0f, 2.0f, 50.0f, 1.0f, 0.5f};
constexpr std::uint8_t kReply[8] = {0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20};

struct Options {
    bench::Loop loop;
    bool queued = false;
    bool timings = false;
};

Options parse(int argc, char** argv) {
    Options o;
    bench::Args args("exchange_floor",
                     "exchange_floor --iface NAME --calls N [--block B] [--warmup W] [--queued] [--timings]",
                     argc, argv);
    while (args.next()) {
        if (args.loop_option(o.loop, "--calls")) continue;
        if (args.is("--queued")) o.queued = true;
        else if (args.is("--timings")) o.timings = true;
        else args.unknown();
    }
    args.check_loop(o.loop, "--calls");
    return o;
}

// A socket that only sends: with an empty filter list the kernel delivers it
// nothing, so the commands of the exchange do not pile up here.
int open_replier(const std::string& iface) {
    const unsigned index = if_nametoindex(iface.c_str());
    if (index == 0) return -1;
    const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return -1;
    if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) < 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool queue_replies(int fd, std::size_t n) {
    can_frame raw{};
    raw.can_id = kMasterId;
    raw.len = sizeof kReply;
    std::memcpy(raw.data, kReply, sizeof kReply);
    for (std::size_t i = 0; i < n; ++i)
        if (::send(fd, &raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto opened = can::SocketCanTransport::open(o.loop.iface);
    if (!opened) return fail("open: " + opened.error().to_string());
    can::SocketCanTransport bus = std::move(*opened);
    const damiao::Damiao motor{kMotorId, kMasterId, damiao::kPresets[1].limits, can::Duration::from_millis(1000)};

    int replier = -1;
    if (o.queued) {
        replier = open_replier(o.loop.iface);
        if (replier < 0 || !queue_replies(replier, o.loop.warmup + o.loop.count))
            return fail("queueing replies: " + can::os_error_text(errno));
    }

    float sink = 0;  // keeps the decoded states live
    for (std::size_t i = 0; i < o.loop.warmup; ++i) {
        auto r = motor.mit_control(bus, kSetpoint);
        if (!r) return fail("warm-up: " + r.error().to_string());
        sink += r->position;
    }

    std::vector<std::int64_t> marks(o.loop.count / o.loop.block + 1);
    bench::phase_mark();
    marks[0] = static_cast<std::int64_t>(can::mono_now());
    for (std::size_t b = 1; b < marks.size(); ++b) {
        for (std::size_t i = 0; i < o.loop.block; ++i) {
            auto r = motor.mit_control(bus, kSetpoint);
            if (!r) return fail("call " + std::to_string((b - 1) * o.loop.block + i) + ": " + r.error().to_string());
            sink += r->position;
        }
        marks[b] = static_cast<std::int64_t>(can::mono_now());
    }
    bench::phase_mark();

    std::vector<std::int64_t> stamps;
    if (o.timings) {
        if (replier >= 0 && !queue_replies(replier, o.loop.count))
            return fail("queueing replies: " + can::os_error_text(errno));
        stamps.resize(o.loop.count + 1);
        stamps[0] = static_cast<std::int64_t>(can::mono_now());
        for (std::size_t i = 1; i <= o.loop.count; ++i) {
            auto r = motor.mit_control(bus, kSetpoint);
            stamps[i] = static_cast<std::int64_t>(can::mono_now());
            if (!r) return fail("timed call " + std::to_string(i) + ": " + r.error().to_string());
            sink += r->position;
        }
    }
    if (replier >= 0) ::close(replier);

    std::printf("{\"calls\": %zu, \"total_ns\": %lld, \"check\": %.6g, \"block_ns\": [", o.loop.count,
                static_cast<long long>(marks.back() - marks.front()), static_cast<double>(sink));
    for (std::size_t b = 1; b < marks.size(); ++b)
        std::printf("%s%lld", b > 1 ? ", " : "", static_cast<long long>(marks[b] - marks[b - 1]));
    std::printf("]");
    if (o.timings) {
        std::printf(", \"per_call_ns\": [");
        for (std::size_t i = 1; i <= o.loop.count; ++i)
            std::printf("%s%lld", i > 1 ? ", " : "", static_cast<long long>(stamps[i] - stamps[i - 1]));
        std::printf("]");
    }
    std::printf("}\n");
    return 0;
}
