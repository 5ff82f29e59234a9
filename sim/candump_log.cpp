#include "sim/candump_log.hpp"

#include <linux/can.h>

#include <ctime>

namespace torvane::sim {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void put_hex(std::string& out, std::uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

}  // namespace

WallTime WallTime::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec / 1000)};
}

std::string candump_line(const can::CanFrame& frame, std::string_view iface, WallTime at, bool remote) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "(%lld.%06u) ", static_cast<long long>(at.secs), at.micros);
    std::string out(stamp);
    out.append(iface);
    out += ' ';
    // An error frame as candump shows it: the flag in its eight digits.
    if (frame.id.is_error())
        put_hex(out, CAN_ERR_FLAG | frame.id.value, 8);
    else
        put_hex(out, frame.id.value, frame.id.is_extended() ? 8 : 3);
    out += '#';
    if (remote) {
        out += 'R';
        if (frame.size() > 0) out += kHex[frame.size() & 0xF];
        return out;
    }
    if (frame.fd) {
        out += '#';
        out += kHex[frame.brs ? 1 : 0];
    }
    for (std::uint8_t b : frame.data()) put_hex(out, b, 2);
    return out;
}

void FrameLog::write(const can::CanFrame& frame, WallTime at, bool remote) const {
    if (!out_) return;
    const std::string line = candump_line(frame, iface_, at, remote);
    std::fprintf(out_, "%s\n", line.c_str());
    // Flushed per line so a log can be followed while the simulator runs.
    std::fflush(out_);
}

}  // namespace torvane::sim
