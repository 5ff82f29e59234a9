#pragma once
// Frame logs in the line format candump -L writes and canplayer reads:
//   (1700000000.123456) vcan0 123#DEADBEEF
// so the usual tools can replay, filter and diff a simulator session.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "transport/can_frame.hpp"

namespace torvane::sim {

struct WallTime {
    std::int64_t secs = 0;
    std::uint32_t micros = 0;  // 0..999'999

    static WallTime now();  // CLOCK_REALTIME, as candump stamps frames
};

// One log line without its newline. Standard ids as 3 hex digits, extended as
// 8; CAN FD frames as ID##<flags><data>, the flags nibble carrying BRS (1);
// remote frames as ID#R with the length code after it unless it is 0.
std::string candump_line(const can::CanFrame& frame, std::string_view iface, WallTime at, bool remote = false);

// Appends lines to a stream; a null stream logs nothing.
class FrameLog {
public:
    FrameLog() = default;
    FrameLog(std::FILE* out, std::string iface) : out_(out), iface_(std::move(iface)) {}

    explicit operator bool() const { return out_ != nullptr; }
    void write(const can::CanFrame& frame, WallTime at, bool remote = false) const;

private:
    std::FILE* out_ = nullptr;
    std::string iface_;
};

}  // namespace torvane::sim
