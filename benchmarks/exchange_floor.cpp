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
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/driver.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace torvane;

// The same motor, setpoint and reply bytes as the Python side uses.
constexpr std::uint16_t kMotorId = 0x01;
constexpr std::uint16_t kMasterId = 0x11;
constexpr damiao::MitSetpoint kSetpoint{1.0f, 2.0f, 50.0f, 1.0f, 0.5f};
constexpr std::uint8_t kReply[8] = {0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20};

struct Options {
    std::string iface = "vcan0";
    std::size_t calls = 0;
    std::size_t block = 10;
    std::size_t warmup = 0;
    bool queued = false;
    bool timings = false;
};

[[noreturn]] void usage_error(const char* what) {
    std::fprintf(stderr, "exchange_floor: %s\nusage: exchange_floor --iface NAME --calls N [--block B] [--warmup W] "
                         "[--queued] [--timings]\n", what);
    std::exit(2);
}

std::size_t parse_count(const char* text) {
    std::size_t v = 0;
    const std::string_view s(text);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || end != s.data() + s.size()) usage_error("not a count");
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a(argv[i]);
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage_error("option needs a value");
            return argv[++i];
        };
        if (a == "--iface") o.iface = value();
        else if (a == "--calls") o.calls = parse_count(value());
        else if (a == "--block") o.block = parse_count(value());
        else if (a == "--warmup") o.warmup = parse_count(value());
        else if (a == "--queued") o.queued = true;
        else if (a == "--timings") o.timings = true;
        else usage_error("unknown option");
    }
    if (o.block == 0 || o.calls == 0 || o.calls % o.block != 0)
        usage_error("--calls must be a positive multiple of --block");
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

extern "C" __attribute__((noinline)) void phase_mark() { asm volatile(""); }

int fail(const std::string& what) {
    std::printf("{\"error\": \"%s\"}\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto opened = can::SocketCanTransport::open(o.iface);
    if (!opened) return fail("open: " + opened.error().to_string());
    can::SocketCanTransport bus = std::move(*opened);
    const damiao::Damiao motor{kMotorId, kMasterId, damiao::kPresets[1].limits, can::Duration::from_millis(1000)};

    int replier = -1;
    if (o.queued) {
        replier = open_replier(o.iface);
        if (replier < 0 || !queue_replies(replier, o.warmup + o.calls))
            return fail("queueing replies: " + can::os_error_text(errno));
    }

    float sink = 0;  // keeps the decoded states live
    for (std::size_t i = 0; i < o.warmup; ++i) {
        auto r = motor.mit_control(bus, kSetpoint);
        if (!r) return fail("warm-up: " + r.error().to_string());
        sink += r->position;
    }

    std::vector<std::int64_t> marks(o.calls / o.block + 1);
    phase_mark();
    marks[0] = static_cast<std::int64_t>(can::mono_now());
    for (std::size_t b = 1; b < marks.size(); ++b) {
        for (std::size_t i = 0; i < o.block; ++i) {
            auto r = motor.mit_control(bus, kSetpoint);
            if (!r) return fail("call " + std::to_string((b - 1) * o.block + i) + ": " + r.error().to_string());
            sink += r->position;
        }
        marks[b] = static_cast<std::int64_t>(can::mono_now());
    }
    phase_mark();

    std::vector<std::int64_t> stamps;
    if (o.timings) {
        if (replier >= 0 && !queue_replies(replier, o.calls))
            return fail("queueing replies: " + can::os_error_text(errno));
        stamps.resize(o.calls + 1);
        stamps[0] = static_cast<std::int64_t>(can::mono_now());
        for (std::size_t i = 1; i <= o.calls; ++i) {
            auto r = motor.mit_control(bus, kSetpoint);
            stamps[i] = static_cast<std::int64_t>(can::mono_now());
            if (!r) return fail("timed call " + std::to_string(i) + ": " + r.error().to_string());
            sink += r->position;
        }
    }
    if (replier >= 0) ::close(replier);

    std::printf("{\"calls\": %zu, \"total_ns\": %lld, \"check\": %.6g, \"block_ns\": [", o.calls,
                static_cast<long long>(marks.back() - marks.front()), static_cast<double>(sink));
    for (std::size_t b = 1; b < marks.size(); ++b)
        std::printf("%s%lld", b > 1 ? ", " : "", static_cast<long long>(marks[b] - marks[b - 1]));
    std::printf("]");
    if (o.timings) {
        std::printf(", \"per_call_ns\": [");
        for (std::size_t i = 1; i <= o.calls; ++i)
            std::printf("%s%lld", i > 1 ? ", " : "", static_cast<long long>(stamps[i] - stamps[i - 1]));
        std::printf("]");
    }
    std::printf("}\n");
    return 0;
}
