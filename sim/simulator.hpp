#pragma once
// What dmsim does with every frame it hears, without the sockets: the motors,
// the reply latency and its jitter, a wire model per interface, replies
// dropped on purpose, faults on schedule and the saved registers. Time is
// passed in, as to the motor model.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "sim/motor_model.hpp"
#include "sim/options.hpp"
#include "sim/physics/mechanism.hpp"
#include "sim/raw_receive.hpp"
#include "sim/state_file.hpp"
#include "sim/wire.hpp"

namespace torvane::sim {

class Simulator {
public:
    // `saved`: what the state file held at start; motors found in it power up
    // with their saved registers.
    Simulator(const Options& o, SavedMotors saved, MonoNanos start);

    // The buses, by index: Options::interfaces(). Each is its own wire, and
    // its motors hear only its frames.
    std::span<const std::string> interfaces() const { return ifaces_; }

    struct Heard {
        const char* why = nullptr;  // no motor answered or saved: the reason
        int dropped = 0;            // replies left unsent on purpose
        bool saved = false;         // a motor saved: saved() changed
        bool bus_off = false;       // dropped unheard: the bus is off
    };
    Heard hear(std::size_t iface, const Received& r, MonoNanos now);

    // Runs the motors' physics up to `now`.
    void advance(MonoNanos now);
    // From now on every motor drives its joint of `m` (motor i the joint
    // bound to motor i), which advance() steps with the clock.
    void attach(std::unique_ptr<Mechanism> m);
    Mechanism* mechanism() const { return mechanism_.get(); }
    // The replies due on one interface by `now`, in the order they go out.
    std::vector<can::CanFrame> take_due(std::size_t iface, MonoNanos now);
    // When the next reply on any interface goes on the wire or out; nothing
    // when none waits.
    std::optional<MonoNanos> next_due() const;

    // An error frame due on a bus: those of --bus-error, and bus-off and
    // restarted at each end of a --bus-off stretch.
    struct ErrorEvent {
        MonoNanos at;
        std::string_view kind;
        can::CanFrame frame;
    };
    // The error frames due on one interface by `now`, in time order.
    std::vector<ErrorEvent> take_errors(std::size_t iface, MonoNanos now);
    // Requests dropped on an interface because it was bus-off, so far.
    std::uint64_t dropped_while_off(std::size_t iface) const { return buses_.at(iface).dropped_off; }

    // Every motor's flash by key, with the sections of the state file that
    // belong to motors not simulated in this run.
    const SavedMotors& saved() const { return saved_; }
    std::span<const MotorModel> motors() const { return motors_; }
    // The interface index of each motor, in the order of motors().
    std::span<const std::size_t> motor_ifaces() const { return iface_of_; }

private:
    struct Pending {
        MonoNanos ready;                    // the motor has its reply ready
        std::optional<MonoNanos> carried;   // the wire has carried it
        can::CanFrame frame;
    };
    struct Bus {
        Wire wire;
        std::deque<Pending> pending;  // in order of `ready`
        std::vector<ErrorEvent> errors;  // by time; the first `errors_sent` are out
        std::size_t errors_sent = 0;
        std::vector<std::pair<MonoNanos, MonoNanos>> off;  // bus-off from, until
        std::uint64_t dropped_off = 0;
        bool off_at(MonoNanos t) const;
    };
    // Replies ready by `now` take their turn on the wire.
    void commit(Bus& bus, MonoNanos now);
    MonoNanos jitter();

    MonoNanos latency_;
    std::uint64_t jitter_ns_;
    double drop_probability_;
    FdReplies fd_replies_;
    std::vector<std::string> ifaces_;
    std::vector<Bus> buses_;
    std::vector<MotorModel> motors_;
    std::unique_ptr<Mechanism> mechanism_;
    std::vector<std::size_t> iface_of_;
    std::vector<MonoNanos> last_ready_;  // per motor: its replies never overtake each other
    std::vector<std::string> keys_;
    SavedMotors saved_;
    std::mt19937_64 rng_, jitter_rng_;
    std::uniform_real_distribution<double> drop_{0.0, 1.0};
};

}  // namespace torvane::sim
