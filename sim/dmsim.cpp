// dmsim: plays Damiao motors on SocketCAN interfaces, for tests and for
// trying programs without hardware. See usage() in options.cpp.

#include <linux/can.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sim/candump_log.hpp"
#include "sim/options.hpp"
#include "sim/physics/load_mechanism.hpp"
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

// One interface: its socket and its lines in the log.
struct Port {
    std::string name;
    can::SocketCanTransport bus;
    sim::FrameLog log;
};

class Loop {
public:
    Loop(const sim::Options& o, std::vector<Port> ports, sim::SavedMotors saved, can::MonoNanos start,
         std::unique_ptr<sim::Mechanism> mechanism)
        : opts_(o), ports_(std::move(ports)), sim_(o, std::move(saved), start) {
        sim_.attach(std::move(mechanism));
    }

    int run() {
        const can::MonoNanos start = can::mono_now();
        next_pace_ = start + kPaceEvery;
        const can::MonoNanos end =
            opts_.duration_s ? start + static_cast<can::MonoNanos>(*opts_.duration_s * 1e9) : 0;
        // Short enough that the physics and the comm-loss check keep up
        // with the clock while the bus is quiet.
        constexpr can::MonoNanos kPoll = 1'000'000;
        std::vector<pollfd> fds;
        for (const auto& p : ports_) fds.push_back({p.bus.fd(), POLLIN, 0});
        while (!g_stop) {
            can::MonoNanos now = can::mono_now();
            if (opts_.duration_s && now >= end) break;
            send_due(now);
            sim_.advance(now);
            report_physics(now);

            can::MonoNanos wait = kPoll;
            // Steps left over: come back at once, but still hear the bus.
            if (sim_.mechanism() && sim_.mechanism()->lagging(now)) wait = 0;
            if (const auto due = sim_.next_due()) wait = std::min(wait, *due - now);
            if (opts_.duration_s) wait = std::min(wait, end - now);
            const auto d = can::from_nanos(std::max<can::MonoNanos>(wait, 1'000));
            const timespec ts{static_cast<time_t>(d.secs), static_cast<long>(d.nanos)};
            for (auto& f : fds) f.revents = 0;
            // A signal cuts the wait short; the loop condition sees it.
            if (::ppoll(fds.data(), fds.size(), &ts, nullptr) < 0) {
                if (errno != EINTR) backend_trouble(can::TransportError::os(errno));
                continue;
            }
            // One frame from each ready socket per turn, so a busy bus
            // cannot starve a quiet one.
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                auto got = sim::receive_queued(fds[i].fd);
                if (!got) {
                    if (got.error().kind != can::TransportError::Kind::Timeout) backend_trouble(got.error(), i);
                    continue;
                }
                on_frame(i, *got);
            }
        }
        if (const auto* m = sim_.mechanism()) {
            const auto run = m->progress(can::mono_now());
            std::fprintf(stderr, "dmsim: physics at exit: %.1f s of model time in %.1f s, %s\n",
                         static_cast<double>(run.simulated) * 1e-9, static_cast<double>(run.wall) * 1e-9,
                         sim::describe(sim::pace_between({}, run), m->step()).c_str());
        }
        return 0;
    }

private:
    static constexpr can::MonoNanos kPaceEvery = 5'000'000'000;

    // Every 5 s the real-time factor, and at once whatever the physics had to undo.
    void report_physics(can::MonoNanos now) {
        auto* m = sim_.mechanism();
        if (!m) return;
        for (const auto& note : m->take_notes()) std::fprintf(stderr, "dmsim: %s\n", note.c_str());
        if (now < next_pace_) return;
        const auto sample = m->progress(now);
        const auto pace = sim::pace_between(last_pace_, sample);
        std::fprintf(stderr, "dmsim: physics %s\n", sim::describe(pace, m->step()).c_str());
        last_pace_ = sample;
        next_pace_ = now + kPaceEvery;
    }

    void on_frame(std::size_t port, const sim::Received& r) {
        ports_[port].log.write(r.frame, sim::WallTime::now(), r.remote);
        const auto heard = sim_.hear(port, r, can::mono_now());
        if (opts_.verbose) {
            for (int i = 0; i < heard.dropped; ++i) note("dropped the reply to", port, r);
            if (heard.why) note(heard.why, port, r);
        }
        if (heard.saved && opts_.state_path) {
            if (auto w = sim::write_state_file(*opts_.state_path, sim_.saved()); !w)
                std::fprintf(stderr, "dmsim: %s\n", w.error().c_str());
        }
        send_due(can::mono_now());
    }

    void send_due(can::MonoNanos now) {
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            for (const auto& e : sim_.take_errors(i, now)) send_error(i, e);
            for (const auto& f : sim_.take_due(i, now)) {
                if (auto sent = ports_[i].bus.send(f); sent) {
                    ports_[i].log.write(f, sim::WallTime::now());
                } else {
                    std::fprintf(stderr, "dmsim: send failed on %s: %s\n", ports_[i].name.c_str(),
                                 sent.error().to_string().c_str());
                }
            }
        }
    }

    // The transport sends no error identifier, so the raw record goes out here.
    void send_error(std::size_t port, const sim::Simulator::ErrorEvent& e) {
        can_frame raw{};
        raw.can_id = CAN_ERR_FLAG | e.frame.id.value;
        raw.len = static_cast<std::uint8_t>(e.frame.size());
        std::copy(e.frame.data().begin(), e.frame.data().end(), raw.data);
        const Port& p = ports_[port];
        if (::write(p.bus.fd(), &raw, sizeof raw) != static_cast<ssize_t>(sizeof raw)) {
            std::fprintf(stderr, "dmsim: error frame %.*s not written on %s: %s\n", static_cast<int>(e.kind.size()),
                         e.kind.data(), p.name.c_str(), std::strerror(errno));
            return;
        }
        p.log.write(e.frame, sim::WallTime::now());
        if (!opts_.verbose) return;
        std::fprintf(stderr, "dmsim: %s: error frame %.*s", p.name.c_str(), static_cast<int>(e.kind.size()),
                     e.kind.data());
        if (e.kind == "restarted")
            std::fprintf(stderr, " (%llu requests dropped while bus-off so far)",
                         static_cast<unsigned long long>(sim_.dropped_while_off(port)));
        std::fputc('\n', stderr);
    }

    void backend_trouble(const can::TransportError& e, std::optional<std::size_t> port = std::nullopt) {
        std::fprintf(stderr, "dmsim: receive failed%s%s: %s\n", port ? " on " : "",
                     port ? ports_[*port].name.c_str() : "", e.to_string().c_str());
        // Keep serving; an interface that went down may come back.
        timespec pause{0, 100'000'000};
        nanosleep(&pause, nullptr);
    }

    void note(const char* what, std::size_t port, const sim::Received& r) const {
        const auto line = sim::candump_line(r.frame, ports_[port].name, sim::WallTime::now(), r.remote);
        std::fprintf(stderr, "dmsim: %s: %s\n", what, line.c_str());
    }

    const sim::Options& opts_;
    std::vector<Port> ports_;
    sim::Simulator sim_;
    sim::PaceSample last_pace_{};
    can::MonoNanos next_pace_ = 0;
};

// "vcan0 with 2 motors" for each interface.
std::string ready_text(const sim::Options& o, const std::vector<std::string>& ifaces) {
    std::string out;
    for (const auto& name : ifaces) {
        const auto n = std::count_if(o.motors.begin(), o.motors.end(),
                                     [&](const sim::MotorArg& m) { return o.iface_of(m) == name; });
        if (!out.empty()) out += ", ";
        out += name + " with " + std::to_string(n) + (n == 1 ? " motor" : " motors");
    }
    return out;
}

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

    // Before the buses, so that a model that cannot run says so first.
    const can::MonoNanos start = can::mono_now();
    auto mechanism = sim::load_mechanism(opts, start);
    if (!mechanism) {
        std::fprintf(stderr, "dmsim: %s\n", mechanism.error().c_str());
        return 1;
    }

    const auto ifaces = opts.interfaces();
    std::vector<Port> ports;
    for (const auto& name : ifaces) {
        auto bus = can::SocketCanTransport::open(name);
        if (!bus) {
            std::fprintf(stderr, "dmsim: cannot open %s: %s\n", name.c_str(), bus.error().system_text().c_str());
            return 1;
        }
        ports.push_back({name, std::move(*bus), sim::FrameLog(log_file, name)});
    }
    const std::string physics = *mechanism ? "; " + (*mechanism)->summary() : "";
    install_signals();
    Loop sim(opts, std::move(ports), std::move(saved), start, std::move(*mechanism));
    std::fprintf(stderr, "dmsim: ready on %s%s\n", ready_text(opts, ifaces).c_str(), physics.c_str());
    std::fflush(stderr);
    const int rc = sim.run();
    if (log_file && log_file != stdout) std::fclose(log_file);
    return rc;
}
