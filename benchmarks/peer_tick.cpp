// The baseline a hand-written controller sets: per tick, each arm's MIT
// frames written one by one on its own raw socket, then every arm's replies
// read until all are in, with poll() between reads. No torvane code: the
// plain system calls, so torvane's exchange is measured against what a
// careful user would write without it.
//
//   peer_tick --iface vcan0 --iface vcan1 [--motors 8] [--ticks 2000] [--warmup 200]
//
// Motor i (1..motors) answers on feedback id 0x10 + i, as dmsim's --motor
// i:0x1i:MODEL does. Prints one JSON line: ticks per second, voluntary
// context switches per tick, ticks with a reply missing.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_cli.hpp"

namespace {

constexpr int kTimeoutMs = 100;

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int open_raw(const std::string& iface) {
    const int s = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) return -1;
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex(iface.c_str()));
    if (addr.can_ifindex == 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// MIT at rest: position, velocity and torque at their codes' middles, no gains.
can_frame mit_frame(unsigned motor) {
    can_frame f{};
    f.can_id = motor;
    f.len = 8;
    const unsigned char data[8] = {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF};
    std::memcpy(f.data, data, 8);
    return f;
}

long voluntary_switches() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw;
}

}  // namespace

int main(int argc, char** argv) {
    torvane::bench::Args args("peer_tick", "peer_tick --iface NAME [--iface NAME]... [--motors N] [--ticks N] [--warmup N]",
                              argc, argv);
    std::vector<std::string> ifaces;
    std::size_t motors = 8, ticks = 2000, warmup = 200;
    while (args.next()) {
        if (args.is("--iface")) ifaces.emplace_back(args.value());
        else if (args.is("--motors")) motors = args.count();
        else if (args.is("--ticks")) ticks = args.count();
        else if (args.is("--warmup")) warmup = args.count();
        else args.error("unknown option");
    }
    if (ifaces.empty() || motors == 0 || motors > 15 || ticks == 0) args.error("need --iface, 1..15 motors, ticks");
    std::vector<pollfd> polls;
    for (const std::string& name : ifaces) {
        const int s = open_raw(name);
        if (s < 0) {
            std::printf("{\"error\": \"cannot open %s: %s\"}\n", name.c_str(), std::strerror(errno));
            return 1;
        }
        polls.push_back({s, POLLIN, 0});
    }
    std::vector<std::array<bool, 16>> got(ifaces.size());
    std::size_t missed_ticks = 0;
    auto tick = [&] {
        for (pollfd& p : polls)
            for (unsigned m = 1; m <= motors; ++m) {
                const can_frame f = mit_frame(m);
                if (::write(p.fd, &f, sizeof f) != static_cast<ssize_t>(sizeof f)) std::perror("write");
            }
        for (auto& g : got) g.fill(false);
        std::size_t left = motors * polls.size();
        const double deadline = now_s() + kTimeoutMs / 1000.0;
        while (left > 0) {
            const int wait = static_cast<int>((deadline - now_s()) * 1000.0);
            if (wait < 0 || ::poll(polls.data(), polls.size(), wait) <= 0) break;
            for (std::size_t b = 0; b < polls.size(); ++b) {
                if (!(polls[b].revents & POLLIN)) continue;
                can_frame f{};
                while (::recv(polls[b].fd, &f, sizeof f, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof f)) {
                    const unsigned m = f.can_id - 0x10;
                    if (f.can_id & CAN_ERR_FLAG || m < 1 || m > motors || got[b][m]) continue;
                    got[b][m] = true;
                    --left;
                }
            }
        }
        if (left > 0) ++missed_ticks;
    };
    for (std::size_t i = 0; i < warmup; ++i) tick();
    missed_ticks = 0;
    const long switches = voluntary_switches();
    const double start = now_s();
    for (std::size_t i = 0; i < ticks; ++i) tick();
    const double took = now_s() - start;
    std::printf("{\"ticks_per_s\": %.1f, \"switches_per_tick\": %.3f, \"missed_ticks\": %zu}\n",
                static_cast<double>(ticks) / took,
                static_cast<double>(voluntary_switches() - switches) / static_cast<double>(ticks), missed_ticks);
    for (const pollfd& p : polls) ::close(p.fd);
    return 0;
}
