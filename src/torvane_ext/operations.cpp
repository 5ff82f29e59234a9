// torvane_ext's operations: each one core call, or a few, on a locked bus.
// Plain C++; they run with the interpreter lock released.

#include <cmath>
#include <limits>

#include "damiao/scan.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

using can::CanTransport;

Result<MitLimits> read_limits(CanTransport& bus, const Damiao& m) { return m.read_limits(bus); }

Result<damiao::RegisterValue> read_register(CanTransport& bus, const Damiao& m, RegisterArg reg) {
    return m.get_register(bus, reg.number);
}

std::optional<damiao::RegisterValue> register_value(const damiao::RegisterInfo& info, const NumberArg& value) {
    if (info.type == damiao::RegisterType::Float)
        return damiao::RegisterValue::f32(static_cast<float>(value.is_float ? value.f : static_cast<double>(value.i)));
    if (value.is_float) return damiao::RegisterValue::f32(static_cast<float>(value.f));  // refused by the core
    if (value.i < 0 || value.i > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return damiao::RegisterValue::u32(static_cast<std::uint32_t>(value.i));
}

Result<void> write_register(CanTransport& bus, const Damiao& m, RegisterArg reg, NumberArg value, VerifyArg verify) {
    const auto info = damiao::find_register(m.registers, reg.number);
    if (!info) return std::unexpected(damiao::Error(damiao::Error::NoSuchRegister{reg.number}));
    // The range was checked with the arguments: the value exists.
    return m.set_register(bus, reg.number, *register_value(*info, value),
                          verify.on ? damiao::Verify::Yes : damiao::Verify::No);
}

Result<void> save_parameters(CanTransport& bus, const Damiao& m) { return m.save_parameters(bus); }

Result<void> set_control_mode(CanTransport& bus, const Damiao& m, ModeArg mode) {
    return m.ensure_control_mode(bus, mode.mode);
}

// A register reply on the motor's feedback id is no state (run_for_state).
Result<MotorState> pos_vel(CanTransport& bus, const Damiao& m, float q, float dq) {
    return m.run_for_state(bus, m.make_pos_vel({q, dq}));
}

Result<MotorState> vel(CanTransport& bus, const Damiao& m, float dq) { return m.run_for_state(bus, m.make_vel({dq})); }

Result<MotorState> force_pos(CanTransport& bus, const Damiao& m, float q, float v_limit, float i_limit) {
    return m.run_for_state(bus, m.make_force_pos({q, v_limit, i_limit}));
}

Result<MotorState> refresh(CanTransport& bus, const Damiao& m) { return m.run_for_state(bus, m.make_refresh()); }

// The batch probe finds who answers; each is then read register by register,
// addressed by the command id it answered for. The feedback id reported is
// register 7's value: the identifier the motor answers its commands on,
// which a Damiao built from this record must listen to.
Result<std::vector<MotorInfo>> scan(CanTransport& bus, const ScanIds& ids, ScanTimeout timeout) {
    const auto wait = can::Duration::from_millis(timeout.ms);
    auto found = damiao::scan(bus, ids.ids, wait);
    if (!found) return std::unexpected(std::move(found.error()));
    std::vector<MotorInfo> out;
    out.reserve(found->size());
    for (const damiao::ProbeReply& p : *found) {
        Damiao m;
        m.motor_id = p.motor_id;
        m.master_id = static_cast<std::uint16_t>(p.master_id & 0x7FF);
        m.timeout = wait;
        MotorInfo info;
        info.motor_id = p.motor_id;
        info.master_id = p.master_id;
        std::uint32_t* words[4] = {&info.mode.mode, &info.hw_ver, &info.sw_ver, &info.serial};
        const std::uint8_t regs[4] = {damiao::kRegControlMode, 13, 14, 15};
        for (int i = 0; i < 4; ++i) {
            auto v = m.get_register(bus, regs[i]);
            if (!v) return std::unexpected(std::move(v.error()));
            *words[i] = v->bits;
        }
        auto limits = m.read_limits(bus);
        if (!limits) return std::unexpected(std::move(limits.error()));
        info.limits = *limits;
        out.push_back(info);
    }
    return out;
}

}  // namespace torvane::ext
