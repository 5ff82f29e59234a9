// group_loop: a group of motors at a fixed rate, one exchange per period.
//
//   group_loop [--iface NAME] [--rate HZ] [--duration S] [--motor CMD:FB:MODEL ...]
//
// Defaults: vcan0, 500 Hz, 2 s, seven dm4310 motors 1:0x11 to 7:0x17. Each
// motor is switched to MIT mode and enabled, holds the position it reported
// on enable and moves a small sine around it; all are disabled at the end, and
// on SIGINT or SIGTERM. Prints ticks per second, missed replies and the worst
// deviation of a period from the nominal one.

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <torvane/damiao/group.hpp>
#include <torvane/transport/socketcan_backend.hpp>

namespace {

using namespace torvane;

struct Options {
    std::string iface = "vcan0";
    unsigned rate_hz = 500;
    double duration_s = 2.0;
    std::vector<damiao::Damiao> motors;
};

constexpr float kAmplitude = 0.1f;  // rad
constexpr float kSineHz = 0.5f;
constexpr float kKp = 20.0f, kKd = 0.5f;
constexpr int kDisableTries = 3;
// For the one-motor requests around the loop (mode, enable, disable), which
// are not held to the period; the group's timeout is half a period.
constexpr auto kSetupTimeout = can::Duration::from_millis(200);

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// Decimal or 0x-hex, the whole text.
bool parse_uint(std::string_view text, unsigned& out) {
    const int base = text.starts_with("0x") ? 16 : 10;
    if (base == 16) text.remove_prefix(2);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return !text.empty() && ec == std::errc{} && end == text.data() + text.size();
}

bool parse_seconds(std::string_view text, double& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc{} && end == text.data() + text.size() && out > 0 && out < 1e6;
}

// CMD:FB:MODEL, as dmsim takes it: ids decimal or 0x-hex, a preset name.
std::expected<damiao::Damiao, std::string> parse_motor(std::string_view text) {
    const auto c1 = text.find(':'), c2 = text.find(':', c1 + 1);
    unsigned cmd = 0, fb = 0;
    if (c1 == text.npos || c2 == text.npos || !parse_uint(text.substr(0, c1), cmd) ||
        !parse_uint(text.substr(c1 + 1, c2 - c1 - 1), fb) || cmd >= 0x7FF || fb > 0x7FF)
        return std::unexpected("--motor " + std::string(text) + ": expected CMD:FB:MODEL, e.g. 1:0x11:dm4340");
    const auto model = text.substr(c2 + 1);
    const auto preset = std::ranges::find_if(damiao::kPresets, [&](const auto& p) { return p.name == model; });
    if (preset == damiao::kPresets.end()) return std::unexpected("--motor " + std::string(text) + ": unknown model");
    return damiao::Damiao{.motor_id = std::uint16_t(cmd), .master_id = std::uint16_t(fb), .limits = preset->limits,
                          .timeout = kSetupTimeout};
}

std::expected<Options, std::string> parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) return std::unexpected(std::string(arg) + " needs a value");
        const std::string_view value = argv[++i];
        if (arg == "--iface") {
            o.iface = value;
        } else if (arg == "--rate") {
            if (!parse_uint(value, o.rate_hz) || o.rate_hz == 0 || o.rate_hz > 10'000)
                return std::unexpected("--rate: a whole number of Hz, 1 to 10000");
        } else if (arg == "--duration") {
            if (!parse_seconds(value, o.duration_s))
                return std::unexpected("--duration: seconds, more than 0");
        } else if (arg == "--motor") {
            auto m = parse_motor(value);
            if (!m) return std::unexpected(m.error());
            o.motors.push_back(*m);
        } else {
            return std::unexpected("unknown option " + std::string(arg));
        }
    }
    if (o.motors.empty())
        for (std::uint16_t id = 1; id <= 7; ++id)
            o.motors.push_back({.motor_id = id, .master_id = std::uint16_t(0x10 + id), .timeout = kSetupTimeout});
    return o;
}

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until(std::int64_t deadline_ns) {
    const timespec ts{static_cast<time_t>(deadline_ns / 1'000'000'000),
                      static_cast<long>(deadline_ns % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);  // EINTR: the loop checks g_stop
}

// Every motor off: the group first, then one by one whoever did not answer.
bool disable_all(const damiao::MotorGroup& group, can::CanTransport& bus,
                 std::vector<damiao::MotorGroup::Slot>& slots) {
    for (std::size_t i = 0; i < slots.size(); ++i)
        slots[i].command = group.motors()[i].make_command(damiao::kCmdDisable);
    if (auto r = group.exchange(bus, slots); !r)
        std::fprintf(stderr, "group_loop: disable: %s\n", r.error().to_string().c_str());
    std::size_t off = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const auto& m = group.motors()[i];
        bool answered = slots[i].state.has_value();
        for (int t = 0; !answered && t < kDisableTries; ++t) answered = m.disable(bus).has_value();
        if (answered) ++off;
        else std::fprintf(stderr, "group_loop: motor %u did not confirm the disable\n", unsigned{m.motor_id});
    }
    std::printf("disabled: %zu of %zu\n", off, slots.size());
    return off == slots.size();
}

}  // namespace

int main(int argc, char** argv) {
    const auto opts = parse_options(argc, argv);
    if (!opts) {
        std::fprintf(stderr, "group_loop: %s\n", opts.error().c_str());
        return 2;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;  // no SA_RESTART: a signal ends the sleep at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    auto bus = can::SocketCanTransport::open(opts->iface);
    if (!bus) {
        std::fprintf(stderr, "group_loop: %s: %s\n", opts->iface.c_str(), bus.error().to_string().c_str());
        return 1;
    }
    const std::int64_t period_ns = 1'000'000'000 / opts->rate_hz;
    // A reply later than half a period counts as missed: the next tick is due.
    auto group = damiao::MotorGroup::make(opts->motors, can::Duration{0, static_cast<std::uint32_t>(period_ns / 2)});
    if (!group) {
        std::fprintf(stderr, "group_loop: %s\n", group.error().to_string().c_str());
        return 1;
    }
    for (const auto& m : group->motors()) {
        if (auto r = m.ensure_control_mode(*bus, damiao::kModeMit); !r) {
            std::fprintf(stderr, "group_loop: motor %u: %s\n", unsigned{m.motor_id}, r.error().to_string().c_str());
            return 1;
        }
    }

    // Enabled one by one, each with its own timeout: the answer gives the
    // position to hold.
    std::vector<damiao::MotorGroup::Slot> slots(group->size());
    std::vector<float> hold;
    for (const auto& m : group->motors()) {
        auto state = m.enable(*bus);
        if (!state) {
            std::fprintf(stderr, "group_loop: enable motor %u: %s\n", unsigned{m.motor_id},
                         state.error().to_string().c_str());
            disable_all(*group, *bus, slots);
            return 1;
        }
        hold.push_back(state->position);
    }

    std::printf("group_loop: %zu motors on %s, %u Hz for %g s\n", slots.size(), opts->iface.c_str(), opts->rate_hz,
                opts->duration_s);
    std::fflush(stdout);  // shown at once, also through a pipe
    const auto ticks_wanted = static_cast<std::uint64_t>(opts->duration_s * opts->rate_hz);
    std::uint64_t ticks = 0, missed = 0;
    std::int64_t worst_error_ns = 0;
    bool failed = false;
    const std::int64_t start = now_ns();
    std::int64_t deadline = start, last = start;
    while (ticks < ticks_wanted && !g_stop) {
        const std::int64_t t = now_ns();
        if (ticks > 0) worst_error_ns = std::max(worst_error_ns, std::abs(t - last - period_ns));
        last = t;

        const float t_s = static_cast<float>(ticks) / static_cast<float>(opts->rate_hz);
        const float offset = kAmplitude * std::sin(2.0f * 3.14159265f * kSineHz * t_s);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const damiao::MitSetpoint sp{.q = hold[i] + offset, .kp = kKp, .kd = kKd};
            auto cmd = group->motors()[i].make_mit(sp);
            if (!cmd) {
                std::fprintf(stderr, "group_loop: %s\n", cmd.error().to_string().c_str());
                failed = true;
                break;
            }
            slots[i].command = *cmd;
        }
        if (failed) break;
        auto answered = group->exchange(*bus, slots);
        // A signal ends the exchange's wait (EINTR) so that a stop is not
        // held up: that is the stop, not a failure.
        const auto* bus_error = answered ? nullptr : answered.error().get<can::TransportError>();
        if (g_stop && bus_error && bus_error->os_errno == EINTR) break;
        if (!answered) {
            std::fprintf(stderr, "group_loop: exchange: %s\n", answered.error().to_string().c_str());
            failed = true;
            break;
        }
        missed += slots.size() - *answered;
        ++ticks;
        deadline += period_ns;  // absolute: a late tick does not shift the ones after it
        sleep_until(deadline);
    }
    const double elapsed_s = static_cast<double>(now_ns() - start) / 1e9;
    std::printf("ticks: %llu in %.3f s (%.1f ticks/s), missed replies: %llu, worst period error: %lld us\n",
                static_cast<unsigned long long>(ticks), elapsed_s, static_cast<double>(ticks) / elapsed_s,
                static_cast<unsigned long long>(missed), static_cast<long long>(worst_error_ns / 1000));
    if (g_stop) std::printf("stopped by signal\n");

    const bool off = disable_all(*group, *bus, slots);
    return failed || !off ? 1 : 0;
}
