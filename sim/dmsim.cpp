// dmsim: plays Damiao motors on a SocketCAN interface, for tests and for
// trying programs without hardware. See usage() in options.cpp.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "sim/candump_log.hpp"
#include "sim/motor_model.hpp"
#include "sim/options.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace torvane;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_signal(int) { g_stop = 1; }

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a pending wait ends at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

struct Pending {
    can::MonoNanos due;
    can::CanFrame frame;
};

class Simulator {
public:
    Simulator(const sim::Options& o, can::SocketCanTransport bus, sim::FrameLog log)
        : opts_(o), bus_(std::move(bus)), log_(std::move(log)), rng_(o.seed) {
        const can::MonoNanos start = can::mono_now();
        for (const auto& m : o.motors)
            motors_.emplace_back(sim::MotorConfig{m.cmd_id, m.fb_id, m.model, o.mode}, start);
    }

    int run() {
        const can::MonoNanos start = can::mono_now();
        const can::MonoNanos end =
            opts_.duration_s ? start + static_cast<can::MonoNanos>(*opts_.duration_s * 1e9) : 0;
        // Short enough that the physics and the comm-loss check keep up
        // with the clock while the bus is quiet.
        constexpr can::MonoNanos kPoll = 1'000'000;
        while (!g_stop) {
            can::MonoNanos now = can::mono_now();
            if (opts_.duration_s && now >= end) break;
            flush_due(now);
            for (auto& m : motors_) m.advance(now);

            can::MonoNanos wait = kPoll;
            if (!pending_.empty()) wait = std::min(wait, pending_.front().due - now);
            if (opts_.duration_s) wait = std::min(wait, end - now);
            auto got = bus_.recv(can::from_nanos(std::max<can::MonoNanos>(wait, 1'000)));
            if (!got) {
                const auto& e = got.error();
                // A signal cuts the wait short; the loop condition sees it.
                const bool interrupted = e.kind == can::TransportError::Kind::Backend && e.os_errno == EINTR;
                if (e.kind != can::TransportError::Kind::Timeout && !interrupted) backend_trouble(e);
                continue;
            }
            on_frame(*got);
        }
        return 0;
    }

private:
    void on_frame(const can::CanFrame& frame) {
        const can::MonoNanos now = can::mono_now();
        log_.write(frame, sim::WallTime::now());
        const char* why = "not addressed to any simulated motor";
        for (auto& m : motors_) {
            auto out = m.handle(frame, now);
            if (out.kind == sim::Outcome::Kind::NotMine) continue;
            if (out.kind == sim::Outcome::Kind::Ignored) {
                why = out.why;
                continue;
            }
            why = nullptr;
            if (opts_.drop_probability > 0 && drop_(rng_) < opts_.drop_probability) {
                if (opts_.verbose) note("dropped the reply to", frame);
                continue;
            }
            const auto due = now + static_cast<can::MonoNanos>(opts_.latency_us) * 1000;
            pending_.push_back({due, std::move(*out.reply)});
        }
        if (why && opts_.verbose) note(why, frame);
        flush_due(can::mono_now());
    }

    // The latency is one constant, so the queue stays in due order.
    void flush_due(can::MonoNanos now) {
        while (!pending_.empty() && pending_.front().due <= now) {
            const auto& f = pending_.front().frame;
            if (auto sent = bus_.send(f); sent) {
                log_.write(f, sim::WallTime::now());
            } else {
                std::fprintf(stderr, "dmsim: send failed: %s\n", sent.error().to_string().c_str());
            }
            pending_.pop_front();
        }
    }

    void backend_trouble(const can::TransportError& e) {
        std::fprintf(stderr, "dmsim: receive failed: %s\n", e.to_string().c_str());
        // Keep serving; an interface that went down may come back.
        timespec pause{0, 100'000'000};
        nanosleep(&pause, nullptr);
    }

    void note(const char* what, const can::CanFrame& frame) const {
        const auto line = sim::candump_line(frame, opts_.iface, sim::WallTime::now());
        std::fprintf(stderr, "dmsim: %s: %s\n", what, line.c_str());
    }

    const sim::Options& opts_;
    can::SocketCanTransport bus_;
    sim::FrameLog log_;
    std::vector<sim::MotorModel> motors_;
    std::deque<Pending> pending_;
    std::mt19937_64 rng_;
    std::uniform_real_distribution<double> drop_{0.0, 1.0};
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    auto parsed = sim::parse_options(args);
    if (!parsed) {
        std::fprintf(stderr, "dmsim: %s\n%sTry 'dmsim --help' for more.\n", parsed.error().c_str(),
                     sim::synopsis().c_str());
        return 2;
    }
    const sim::Options& opts = *parsed;
    if (opts.help) {
        std::fputs(sim::usage().c_str(), stdout);
        return 0;
    }

    std::FILE* log_file = nullptr;
    if (opts.log_path) {
        log_file = *opts.log_path == "-" ? stdout : std::fopen(opts.log_path->c_str(), "w");
        if (!log_file) {
            std::fprintf(stderr, "dmsim: cannot open log %s: %s\n", opts.log_path->c_str(), std::strerror(errno));
            return 1;
        }
    }

    auto bus = can::SocketCanTransport::open(opts.iface);
    if (!bus) {
        std::fprintf(stderr, "dmsim: cannot open %s: %s\n", opts.iface.c_str(), bus.error().system_text().c_str());
        return 1;
    }
    install_signals();
    Simulator sim(opts, std::move(*bus), sim::FrameLog(log_file, opts.iface));
    std::fprintf(stderr, "dmsim: ready on %s with %zu motor%s\n", opts.iface.c_str(), opts.motors.size(),
                 opts.motors.size() == 1 ? "" : "s");
    std::fflush(stderr);
    const int rc = sim.run();
    if (log_file && log_file != stdout) std::fclose(log_file);
    return rc;
}
