// The driver's two reply loops, fed by a scripted bus with frames, receive
// errors and passing time taken from the input: a register read (the reply
// is the first frame of exactly 8 bytes with 0x33 and the register number)
// and a one-frame command exchange (the reply is the first frame on the
// feedback identifier, decoded). Each call must end with the value of the
// right frame, the error the bus gave, or a timeout once the deadline has
// passed, having sent exactly its request and never waited past the deadline.
//
// Input: mode (bit 0: command exchange, bit 1: the send fails), motor_id,
// master_id, register, timeout in ms, limits; then steps, each a header
// (bits 0-1: 1 receive timeout, 2 receive error, else a frame; bit 2:
// extended id; bit 3: FD), the time the step takes in 1/4 ms, and for a
// frame its identifier, length and bytes.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "check.hpp"
#include "damiao/driver.hpp"
#include "damiao/registers.hpp"
#include "scripted_bus.hpp"

using namespace torvane;
using can::CanFrame;
using can::CanId;
using can::MonoNanos;
using can::TransportError;

namespace {

constexpr MonoNanos kQuarterMs = 250'000;
constexpr std::size_t kMaxSteps = 64;

struct Step {
    std::optional<TransportError> error;
    CanFrame frame;
    MonoNanos takes = 0;
};

// The call failed with exactly this transport error.
bool failed_with(const damiao::Error& e, const TransportError& want) {
    const TransportError* got = e.get<TransportError>();
    return got && got->kind == want.kind && got->os_errno == want.os_errno && got->length == want.length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in({data, size});
    const std::uint8_t mode = in.u8();
    const bool command = mode & 1, send_fails = mode & 2;
    damiao::Damiao motor;
    motor.motor_id = in.u16();
    motor.master_id = in.u16();
    const std::uint8_t reg = in.u8();
    motor.timeout = can::Duration::from_millis(in.u8());
    motor.limits = fuzz::take_limits(in);

    std::vector<Step> steps;
    while (!in.empty() && steps.size() < kMaxSteps) {
        const std::uint8_t h = in.u8();
        Step s;
        s.takes = in.u8() * kQuarterMs;
        if ((h & 3) == 1) {
            s.error = TransportError::timeout();
        } else if ((h & 3) == 2) {
            s.error = TransportError::os(EIO);
        } else {
            const bool ext = h & 4, fd = h & 8;
            // Received identifiers are always in range.
            const CanId id = ext ? CanId::extended(in.u32() & can::kExtendedMax)
                                 : CanId::standard(static_cast<std::uint16_t>(in.u16() & can::kStandardMax));
            const std::size_t len = in.u8() % (fd ? 65 : 9);
            std::vector<std::uint8_t> bytes(len);
            for (auto& b : bytes) b = in.u8();
            s.frame = CanFrame(id, bytes, fd, fd && (h & 16));
        }
        steps.push_back(std::move(s));
    }

    test::ScriptedBus bus;
    if (send_fails) bus.send_results.push_back(TransportError::os(ENOBUFS));
    for (const Step& s : steps) {
        if (s.error) bus.fail(*s.error, s.takes);
        else bus.reply(s.frame, s.takes);
    }

    const MonoNanos start = bus.clock;
    const damiao::Frame8 request = command ? damiao::kCmdEnable
                                           : damiao::register_request(motor.motor_id, damiao::kRegRead, reg, 0);
    const CanId request_id = CanId::standard(command ? motor.motor_id & 0x7FF : 0x7FF);
    const auto* info = std::find_if(damiao::kRegisters.begin(), damiao::kRegisters.end(),
                                    [&](const damiao::RegisterInfo& r) { return r.number == reg; });
    const bool known = info != damiao::kRegisters.end();
    const CanId feedback_id = CanId::standard(motor.master_id & 0x7FF);
    auto is_reply = [&](const CanFrame& f) {
        if (command) return f.id == feedback_id;
        const auto d = f.data();
        return d.size() == 8 && d[2] == 0x33 && d[3] == reg;
    };

    // What the call must give, worked out from the script: the index of the
    // step that ends it (steps.size() for the quiet bus after the script),
    // or none when the deadline passes first.
    std::optional<std::size_t> ends_at;
    std::vector<can::Duration> waits;
    const MonoNanos deadline = start + can::to_nanos(motor.timeout);
    MonoNanos now = start;
    for (std::size_t i = 0; i <= steps.size(); ++i) {
        const MonoNanos left = deadline - now;
        if (left < 0) break;
        waits.push_back(can::from_nanos(left));
        if (i == steps.size() || steps[i].error || is_reply(steps[i].frame)) {
            ends_at = i;
            break;
        }
        now += steps[i].takes;
    }

    // The frame that ends the call, or else the error it ends with.
    const CanFrame* reply = nullptr;
    TransportError bus_error = TransportError::timeout();
    if (ends_at && *ends_at < steps.size()) {
        if (steps[*ends_at].error) bus_error = *steps[*ends_at].error;
        else reply = &steps[*ends_at].frame;
    }

    if (command) {
        const auto got = motor.enable(bus);
        if (send_fails) {
            FUZZ_CHECK(!got && bus.log == "s" && bus.sent.empty());
            FUZZ_CHECK(failed_with(got.error(), TransportError::os(ENOBUFS)));
            return 0;
        }
        FUZZ_CHECK(bus.waits == waits);
        if (!reply) {
            FUZZ_CHECK(!got && failed_with(got.error(), bus_error));
        } else if (const auto want = damiao::decode(motor.limits, reply->data()); !want) {
            FUZZ_CHECK(!got && got.error().get<damiao::ShortFeedback>());
            FUZZ_CHECK(got.error().get<damiao::ShortFeedback>()->length == reply->size());
        } else {
            FUZZ_CHECK(got.has_value());
            FUZZ_CHECK(got->motor_id == want->motor_id && got->error == want->error);
            FUZZ_CHECK(fuzz::same_bits(got->position, want->position));
            FUZZ_CHECK(fuzz::same_bits(got->velocity, want->velocity));
            FUZZ_CHECK(fuzz::same_bits(got->torque, want->torque));
            FUZZ_CHECK(got->t_mos == want->t_mos && got->t_rotor == want->t_rotor);
        }
    } else {
        const auto got = motor.read_register(bus, reg);
        if (!known) {
            FUZZ_CHECK(!got && got.error().get<damiao::Error::NoSuchRegister>());
            FUZZ_CHECK(bus.log.empty());
            return 0;
        }
        if (send_fails) {
            FUZZ_CHECK(!got && bus.log == "s" && bus.sent.empty());
            FUZZ_CHECK(failed_with(got.error(), TransportError::os(ENOBUFS)));
            return 0;
        }
        FUZZ_CHECK(bus.waits == waits);
        if (!reply) {
            FUZZ_CHECK(!got && failed_with(got.error(), bus_error));
        } else {
            const auto d = reply->data();
            FUZZ_CHECK(got.has_value());
            FUZZ_CHECK(got->type == info->type);
            FUZZ_CHECK(got->bits == (d[4] | d[5] << 8 | d[6] << 16 | std::uint32_t{d[7]} << 24));
        }
    }
    // Exactly the request went out, once.
    FUZZ_CHECK(bus.sent.size() == 1);
    FUZZ_CHECK(bus.sent[0].id == request_id && !bus.sent[0].fd && bus.sent[0].size() == 8);
    FUZZ_CHECK(std::equal(request.begin(), request.end(), bus.sent[0].data().begin()));
    return 0;
}
