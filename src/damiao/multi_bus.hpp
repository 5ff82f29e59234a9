#pragma once
// The multi-bus exchange: groups on several buses served in one tick. Every
// bus is drained of stale replies, every group's commands go out back to
// back, then one wait on all the buses together until every motor has
// answered or one deadline has passed. The buses are independent wires, so
// a tick takes about as long as the slowest of them, not their sum.
//
// A group's own exchange (MotorGroup::exchange) is this with one share.

#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/settle.hpp"

namespace torvane::damiao {

// One group's part of an exchange: its bus and a slot per motor.
struct Share {
    can::CanTransport* bus = nullptr;
    const MotorGroup* group = nullptr;
    std::span<MotorGroup::Slot> slots;
};

// The share whose bus failed (or whose slots did not fit), and the error.
struct ShareError {
    std::size_t share = 0;
    Error error;
};

template <typename T>
using ShareResult = std::expected<T, ShareError>;

struct Pace {
    can::Duration timeout;
    // How long the wait for replies looks without sleeping before it sleeps
    // for the rest: a sleeping wait costs a wake-up per reply burst.
    can::Duration spin{};
    // Where the exchange learns when its replies can all have come, and
    // sleeps until then before it reads (settle.hpp); none: it waits reply
    // by reply. The caller's, kept from tick to tick.
    SettleTime* settle = nullptr;
};

// Per share, what one exchange has done so far.
struct Progress {
    std::size_t sent = 0;
    std::size_t answered = 0;
    // Frames on a motor's feedback identifier that were not its state: a
    // register reply (another program's, maybe) or another motor's feedback.
    std::size_t skipped = 0;
    // Found by the drain: the group's motors' states that came after their
    // tick ended (stale), and other frames; while reading, frames that were
    // no motor's reply (skipped ones among them). Error frames are neither.
    std::size_t stale = 0;
    std::size_t unsolicited = 0;
    std::size_t tx_waits = 0;  // waits for room in a full transmit queue
    std::size_t waits = 0;     // blocking waits for replies while this share owed some
    bool bus_off = false;      // an error frame said so
};

// Fills every slot's state (and answered_at); returns how many answered.
// One deadline, `pace.timeout` from the start, for sending and replies.
// An error frame is never a reply: it is noted in the bus's BusHealth
// record, and one that reports bus-off ends the exchange at once with
// Error::BusOff for its share. The progress counters are added to each
// bus's record however the exchange ends.
// `progress` and `waiting` hold one entry per share: the caller's storage,
// so that a tick allocates nothing. The clock, and the wait on the buses
// still owing replies (CanTransport::wait_any), are the first share's bus's.
ShareResult<std::size_t> exchange(std::span<const Share> shares, Pace pace, std::span<Progress> progress,
                                  std::span<can::CanTransport*> waiting);

// Shares made once and run every tick.
class MultiBusExchange {
public:
    // Refused (SharedBus) when two shares are on the same bus: one group
    // could take the other's replies; and past kWaitMax buses.
    // The exchange learns its replies' timing (Pace::settle) unless `learn`
    // is false.
    static Result<MultiBusExchange> make(std::vector<Share> shares, Pace pace, bool learn = true);

    ShareResult<std::size_t> run() { return exchange(shares_, pace_, progress_, waiting_); }

    std::span<const Share> shares() const { return shares_; }
    // What the last run did, per share.
    std::span<const Progress> progress() const { return progress_; }
    const Pace& pace() const { return pace_; }

private:
    MultiBusExchange(std::vector<Share> shares, Pace pace, bool learn)
        : shares_(std::move(shares)),
          progress_(shares_.size()),
          waiting_(shares_.size()),
          pace_(pace),
          settle_(std::make_unique<SettleTime>()) {
        pace_.settle = learn ? settle_.get() : nullptr;
    }

    std::vector<Share> shares_;
    std::vector<Progress> progress_;
    std::vector<can::CanTransport*> waiting_;
    Pace pace_;
    std::unique_ptr<SettleTime> settle_;  // where pace_ points: stays put when this moves
};

}  // namespace torvane::damiao
