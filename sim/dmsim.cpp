// dmsim: plays Damiao motors on a SocketCAN interface, for tests and for
// trying programs without hardware. See usage() in options.cpp.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/candump_log.hpp"
#include "sim/options.hpp"
#include "sim/raw_receive.hpp"
#include "sim/simulator.hpp"
#include "sim/state_file.hpp"
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

class Loop {
public:
    Loop(const sim::Options& o, can::SocketCanTransport bus, sim::FrameLog log, sim::SavedMotors saved)
        : opts_(o), bus_(std::move(bus)), log_(std::move(log)), sim_(o, std::move(saved), can::mono_now()) {}

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
            send_due(now);
            sim_.advance(now);

            can::MonoNanos wait = kPoll;
            if (const auto due = sim_.next_due()) wait = std::min(wait, *due - now);
            if (opts_.duration_s) wait = std::min(wait, end - now);
            auto got = sim::receive(bus_.fd(), can::from_nanos(std::max<can::MonoNanos>(wait, 1'000)));
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
    void on_frame(const sim::Received& r) {
        log_.write(r.frame, sim::WallTime::now(), r.remote);
        const auto heard = sim_.hear(r, can::mono_now());
        if (opts_.verbose) {
            for (int i = 0; i < heard.dropped; ++i) note("dropped the reply to", r);
            if (heard.why) note(heard.why, r);
        }
        if (heard.saved && opts_.state_path) {
            if (auto w = sim::write_state_file(*opts_.state_path, sim_.saved()); !w)
                std::fprintf(stderr, "dmsim: %s\n", w.error().c_str());
        }
        send_due(can::mono_now());
    }

    void send_due(can::MonoNanos now) {
        for (const auto& f : sim_.take_due(now)) {
            if (auto sent = bus_.send(f); sent) {
                log_.write(f, sim::WallTime::now());
            } else {
                std::fprintf(stderr, "dmsim: send failed: %s\n", sent.error().to_string().c_str());
            }
        }
    }

    void backend_trouble(const can::TransportError& e) {
        std::fprintf(stderr, "dmsim: receive failed: %s\n", e.to_string().c_str());
        // Keep serving; an interface that went down may come back.
        timespec pause{0, 100'000'000};
        nanosleep(&pause, nullptr);
    }

    void note(const char* what, const sim::Received& r) const {
        const auto line = sim::candump_line(r.frame, opts_.iface, sim::WallTime::now(), r.remote);
        std::fprintf(stderr, "dmsim: %s: %s\n", what, line.c_str());
    }

    const sim::Options& opts_;
    can::SocketCanTransport bus_;
    sim::FrameLog log_;
    sim::Simulator sim_;
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

    sim::SavedMotors saved;
    if (opts.state_path) {
        auto read = sim::read_state_file(*opts.state_path);
        if (!read) {
            std::fprintf(stderr, "dmsim: %s\n", read.error().c_str());
            return 1;
        }
        saved = std::move(*read);
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
    Loop sim(opts, std::move(*bus), sim::FrameLog(log_file, opts.iface), std::move(saved));
    std::fprintf(stderr, "dmsim: ready on %s with %zu motor%s\n", opts.iface.c_str(), opts.motors.size(),
                 opts.motors.size() == 1 ? "" : "s");
    std::fflush(stderr);
    const int rc = sim.run();
    if (log_file && log_file != stdout) std::fclose(log_file);
    return rc;
}
