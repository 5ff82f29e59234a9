// group_tick: a control tick of seven motors, as one group exchange or as
// seven single exchanges, from C++ through the core with no Python in
// between. Prints one JSON object on stdout.
//
//   group_tick --iface NAME --ticks N [--block B] [--warmup W] [--way group|singles|multi]
//              [--iface2 NAME] [--transport batch|per-frame|filter] [--fd] [--health]
//              (--echo | --dmsim COMMAND)
//
// After W untimed ticks, N ticks run back to back with a clock read after
// every B (block_ns; B defaults to 10 and must divide N). Every tick sends
// each motor an MIT setpoint; a tick that misses a reply counts in "missing".
//
// --echo     replies queued without a responder: the socket receives its own
//            frames (CAN_RAW_RECV_OWN_MSGS) and each motor's feedback
//            identifier is its command identifier, so every command is its
//            own reply, queued by the time the send returns. Replies queued
//            ahead of the calls by another socket (exchange_floor's way)
//            would be dropped by the group's drain, which is there for that.
// --dmsim    start this simulator command line (split at spaces) with
//            --iface, --mode 1 and one --motor per motor appended, wait until
//            it is ready, and stop it with SIGINT at the end.
// --transport how the group reaches the socket: batch (the backend as it is:
//            sendmmsg, recvmmsg), per-frame (one send and one non-blocking
//            recv per frame, ppoll to wait), filter (batch, with a kernel
//            receive filter for the group's identifiers set before and
//            cleared after every tick).
// --fd       the group sends CAN FD frames with bit-rate switch.
// --way multi  two groups of seven, the second on --iface2, in one
//            multi-bus exchange (with --echo only); "motors" is then 14.
// --health   the sockets take error frames and count their traffic in their
//            interfaces' BusHealth records, as torvane_ext's do.
//
// phase_mark() is entered right before and right after the back-to-back
// loop, so that `valgrind --tool=callgrind --dump-before=phase_mark`
// isolates it.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_cli.hpp"
#include "damiao/group.hpp"
#include "damiao/multi_bus.hpp"
#include "transport/socketcan_backend.hpp"

extern char** environ;

namespace {

using namespace torvane;
using bench::fail;

constexpr std::size_t kMotors = 7;
// Three sizes, as an arm mixes them.
constexpr const char* kModels[kMotors] = {"dm8009", "dm8009", "dm4340", "dm4340", "dm4310", "dm4310", "dm4310"};
constexpr can::Duration kTimeout = can::Duration::from_millis(1000);

struct Options {
    bench::Loop loop;
    std::string way = "group";
    std::string iface2;
    std::string transport = "batch";
    bool fd = false;
    bool health = false;
    bool echo = false;
    std::string dmsim;
};

Options parse(int argc, char** argv) {
    Options o;
    bench::Args args("group_tick",
                     "group_tick --iface NAME --ticks N [--block B] [--warmup W] [--way group|singles] "
                     "[--transport batch|per-frame|filter] [--fd] [--health] (--echo | --dmsim COMMAND)",
                     argc, argv);
    while (args.next()) {
        if (args.loop_option(o.loop, "--ticks")) continue;
        if (args.is("--way")) o.way = args.value();
        else if (args.is("--iface2")) o.iface2 = args.value();
        else if (args.is("--transport")) o.transport = args.value();
        else if (args.is("--fd")) o.fd = true;
        else if (args.is("--health")) o.health = true;
        else if (args.is("--echo")) o.echo = true;
        else if (args.is("--dmsim")) o.dmsim = args.value();
        else args.unknown();
    }
    args.check_loop(o.loop, "--ticks");
    if (o.way != "group" && o.way != "singles" && o.way != "multi") args.error("--way is group, singles or multi");
    if ((o.way == "multi") != !o.iface2.empty() || (o.way == "multi" && !o.echo))
        args.error("--way multi takes --iface2 and --echo, and only it takes --iface2");
    if (o.transport != "batch" && o.transport != "per-frame" && o.transport != "filter")
        args.error("--transport is batch, per-frame or filter");
    if (o.echo == !o.dmsim.empty()) args.error("give exactly one of --echo and --dmsim");
    return o;
}

// One send and one non-blocking recv per frame: what the group costs
// without sendmmsg and recvmmsg, waiting the same way.
class PerFrame final : public can::CanTransport {
public:
    explicit PerFrame(can::SocketCanTransport& bus) : bus_(bus) {}
    can::Result<void> send(const can::CanFrame& f) override { return bus_.send(f); }
    can::Result<can::CanFrame> recv(can::Duration timeout) override { return bus_.recv(timeout); }
    int descriptor() const override { return bus_.fd(); }

    can::Result<std::size_t> recv_batch(std::span<can::CanFrame> out, can::Duration wait) override {
        std::size_t n = 0;
        while (n < out.size()) {
            canfd_frame raw;
            const ssize_t got = ::recv(bus_.fd(), &raw, sizeof raw, MSG_DONTWAIT);
            if (got < 0) {
                if (errno != EAGAIN) return std::unexpected(can::TransportError::os(errno));
                if (n > 0 || (wait.secs == 0 && wait.nanos == 0)) break;
                pollfd p{bus_.fd(), POLLIN, 0};
                const timespec ts = can::to_timespec(wait);
                const int ready = ::ppoll(&p, 1, &ts, nullptr);
                if (ready < 0) return std::unexpected(can::TransportError::os(errno));
                if (ready == 0) break;
                wait = {};
                continue;
            }
            auto f = can::parse_record({reinterpret_cast<const std::uint8_t*>(&raw), static_cast<std::size_t>(got)});
            if (!f) return std::unexpected(f.error());
            out[n++] = *f;
        }
        return n;
    }

private:
    can::SocketCanTransport& bus_;
};

bool set_filter(int fd, std::span<const can_filter> filters) {
    return ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(),
                        static_cast<socklen_t>(filters.size_bytes())) == 0;
}

// The simulator, started and stopped by this program.
class Simulator {
public:
    bool start(const std::string& command, const std::string& iface, const std::vector<damiao::Damiao>& motors) {
        std::vector<std::string> words;
        for (std::size_t at = 0; at < command.size();) {
            const std::size_t end = std::min(command.find(' ', at), command.size());
            if (end > at) words.emplace_back(command, at, end - at);
            at = end + 1;
        }
        words.insert(words.end(), {"--iface", iface, "--mode", "1"});
        for (std::size_t i = 0; i < motors.size(); ++i) {
            char spec[64];
            std::snprintf(spec, sizeof spec, "%u:0x%x:%s", motors[i].motor_id, motors[i].master_id, kModels[i]);
            words.insert(words.end(), {"--motor", spec});
        }
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);

        int pipe_fds[2];
        if (::pipe(pipe_fds) < 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        if (rc != 0) {
            ::close(pipe_fds[0]);
            pid_ = -1;
            return false;
        }
        // Wait for the ready line, then keep the pipe drained so that the
        // simulator never blocks on a full one.
        std::string seen;
        char buf[256];
        while (seen.find("dmsim: ready on") == std::string::npos) {
            const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
            if (n <= 0) {
                std::fprintf(stderr, "%s", seen.c_str());
                ::close(pipe_fds[0]);
                return false;
            }
            seen.append(buf, static_cast<std::size_t>(n));
        }
        reader_ = std::thread([fd = pipe_fds[0]] {
            char sink[256];
            while (::read(fd, sink, sizeof sink) > 0) {
            }
            ::close(fd);
        });
        return true;
    }

    ~Simulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGINT);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (reader_.joinable()) reader_.join();
    }

private:
    pid_t pid_ = -1;
    std::thread reader_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto opened = can::SocketCanTransport::open(o.loop.iface);
    if (!opened) return fail("open: " + opened.error().to_string());
    can::SocketCanTransport bus = std::move(*opened);
    if (o.health)
        if (auto w = bus.watch_health(); !w) return fail("watch_health: " + w.error().to_string());

    std::vector<damiao::Damiao> motors;
    std::vector<damiao::MitSetpoint> setpoints;
    for (std::size_t i = 0; i < kMotors; ++i) {
        const auto id = static_cast<std::uint16_t>(i + 1);
        const auto* preset = std::ranges::find_if(damiao::kPresets, [&](const auto& p) {
            return std::string_view(p.name) == kModels[i];
        });
        motors.push_back({id, static_cast<std::uint16_t>(o.echo ? id : 0x10 + id), preset->limits, kTimeout});
        // Echoed, a command is its own reply, taken as the motor's state only when
        // byte 0 names the motor in its low nibble: the position's top byte is 0x80 + id.
        const float p = preset->limits.p_max;
        const float q = o.echo ? static_cast<float>((0x80 + id) * 256 + 0x80) * 2 * p / 65535 - p
                               : 0.1f * static_cast<float>(i);
        setpoints.push_back({q, 1.0f, 20.0f, 0.5f, 0.25f});
    }

    Simulator sim;
    if (o.echo) {
        const int on = 1;
        if (::setsockopt(bus.fd(), SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on) < 0)
            return fail("CAN_RAW_RECV_OWN_MSGS: " + can::os_error_text(errno));
    } else if (!sim.start(o.dmsim, o.loop.iface, motors)) {
        return fail("dmsim did not start: " + o.dmsim);
    }

    auto made = damiao::MotorGroup::make(motors, kTimeout, o.fd);
    if (!made) return fail(made.error().to_string());
    const damiao::MotorGroup group = std::move(*made);
    PerFrame per_frame(bus);
    can::CanTransport& path = o.transport == "per-frame" ? static_cast<can::CanTransport&>(per_frame) : bus;
    std::vector<can_filter> group_ids;
    for (const auto& m : motors) group_ids.push_back({m.master_id, CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG});
    const can_filter all[] = {{0, 0}};  // the socket's default: everything
    const bool filter = o.transport == "filter";

    std::vector<damiao::MotorGroup::Slot> slots(kMotors);
    // The second bus of --way multi: the same arm again, answering itself.
    std::optional<can::SocketCanTransport> bus2;
    std::vector<damiao::MotorGroup::Slot> slots2(kMotors);
    std::optional<damiao::MultiBusExchange> multi;
    if (o.way == "multi") {
        auto second = can::SocketCanTransport::open(o.iface2);
        if (!second) return fail("open " + o.iface2 + ": " + second.error().to_string());
        bus2.emplace(std::move(*second));
        if (o.health)
            if (auto w = bus2->watch_health(); !w) return fail("watch_health: " + w.error().to_string());
        const int on = 1;
        if (::setsockopt(bus2->fd(), SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on) < 0)
            return fail("CAN_RAW_RECV_OWN_MSGS: " + can::os_error_text(errno));
        auto m = damiao::MultiBusExchange::make({{&bus, &group, slots}, {&*bus2, &group, slots2}}, {kTimeout});
        if (!m) return fail(m.error().to_string());
        multi.emplace(std::move(*m));
    }
    const std::size_t total = multi ? 2 * kMotors : kMotors;
    float sink = 0;
    std::size_t missing = 0;
    std::string error;
    auto tick = [&]() -> bool {
        if (o.way == "singles") {
            for (std::size_t i = 0; i < kMotors; ++i) {
                auto r = motors[i].mit_control(bus, setpoints[i]);
                if (!r) {
                    if (r.error().get<can::TransportError>() &&
                        r.error().get<can::TransportError>()->kind == can::TransportError::Kind::Timeout) {
                        ++missing;
                        continue;
                    }
                    error = r.error().to_string();
                    return false;
                }
                sink += r->position;
            }
            return true;
        }
        for (std::size_t i = 0; i < kMotors; ++i) {
            auto c = motors[i].make_mit(setpoints[i]);
            if (!c) {
                error = c.error().to_string();
                return false;
            }
            slots[i].command = slots2[i].command = *c;
        }
        if (multi) {
            auto r = multi->run();
            if (!r) {
                error = r.error().error.to_string();
                return false;
            }
            missing += total - *r;
            for (const auto* all : {&slots, &slots2})
                for (const auto& s : *all)
                    if (s.state) sink += s.state->position;
            return true;
        }
        if (filter && !set_filter(bus.fd(), group_ids)) {
            error = "CAN_RAW_FILTER: " + can::os_error_text(errno);
            return false;
        }
        auto r = group.exchange(path, slots);
        if (filter && !set_filter(bus.fd(), all)) {
            error = "CAN_RAW_FILTER: " + can::os_error_text(errno);
            return false;
        }
        if (!r) {
            error = r.error().to_string();
            return false;
        }
        missing += kMotors - *r;
        for (const auto& s : slots)
            if (s.state) sink += s.state->position;
        return true;
    };

    for (std::size_t i = 0; i < o.loop.warmup; ++i)
        if (!tick()) return fail("warm-up: " + error);
    missing = 0;

    std::vector<std::int64_t> marks(o.loop.count / o.loop.block + 1);
    bench::phase_mark();
    marks[0] = static_cast<std::int64_t>(can::mono_now());
    for (std::size_t b = 1; b < marks.size(); ++b) {
        for (std::size_t i = 0; i < o.loop.block; ++i)
            if (!tick()) return fail("tick " + std::to_string((b - 1) * o.loop.block + i) + ": " + error);
        marks[b] = static_cast<std::int64_t>(can::mono_now());
    }
    bench::phase_mark();

    std::printf("{\"way\": \"%s\", \"transport\": \"%s\", \"fd\": %s, \"motors\": %zu, \"ticks\": %zu, "
                "\"missing\": %zu, \"check\": %.6g, \"block_ns\": [",
                o.way.c_str(), o.transport.c_str(), o.fd ? "true" : "false", total, o.loop.count, missing,
                static_cast<double>(sink));
    for (std::size_t b = 1; b < marks.size(); ++b)
        std::printf("%s%lld", b > 1 ? ", " : "", static_cast<long long>(marks[b] - marks[b - 1]));
    std::printf("]}\n");
    return 0;
}
