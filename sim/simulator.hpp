#pragma once
// What dmsim does with every frame it hears, without the socket: the motors,
// the reply latency, the wire model, replies dropped on purpose and the
// saved registers. Time is passed in, as to the motor model.

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "sim/motor_model.hpp"
#include "sim/options.hpp"
#include "sim/raw_receive.hpp"
#include "sim/state_file.hpp"
#include "sim/wire.hpp"

namespace torvane::sim {

class Simulator {
public:
    // `saved`: what the state file held at start; motors found in it power up
    // with their saved registers.
    Simulator(const Options& o, SavedMotors saved, MonoNanos start);

    struct Heard {
        const char* why = nullptr;  // no motor answered or saved: the reason
        int dropped = 0;            // replies left unsent on purpose
        bool saved = false;         // a motor saved: saved() changed
    };
    Heard hear(const Received& r, MonoNanos now);

    // Runs the motors' physics up to `now`.
    void advance(MonoNanos now);
    // The replies due by `now`, in the order they go out.
    std::vector<can::CanFrame> take_due(MonoNanos now);
    // When the next reply goes on the wire or out; nothing when none waits.
    std::optional<MonoNanos> next_due() const;

    // Every motor's flash by key, with the sections of the state file that
    // belong to motors not simulated in this run.
    const SavedMotors& saved() const { return saved_; }
    std::span<const MotorModel> motors() const { return motors_; }

private:
    struct Pending {
        MonoNanos ready;                    // the motor has its reply ready
        std::optional<MonoNanos> carried;   // the wire has carried it
        can::CanFrame frame;
    };
    // Replies ready by `now` take their turn on the wire.
    void commit(MonoNanos now);

    MonoNanos latency_;
    double drop_probability_;
    std::vector<MotorModel> motors_;
    std::vector<std::string> keys_;
    SavedMotors saved_;
    Wire wire_;
    std::deque<Pending> pending_;  // in order of `ready`
    std::mt19937_64 rng_;
    std::uniform_real_distribution<double> drop_{0.0, 1.0};
};

}  // namespace torvane::sim
