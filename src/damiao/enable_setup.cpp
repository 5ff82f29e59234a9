#include "damiao/enable_setup.hpp"

namespace torvane::damiao {

std::expected<std::vector<WrongMode>, SetupFailure> set_up_for_enable(can::CanTransport& bus,
                                                                      std::span<const Damiao> motors,
                                                                      const EnableSetup& setup,
                                                                      std::span<std::optional<std::uint32_t>> before) {
    std::vector<WrongMode> wrong;
    for (std::size_t i = 0; i < motors.size(); ++i) {
        const Damiao& m = motors[i];
        auto fail = [&](Error&& e) { return std::unexpected(SetupFailure{i, std::move(e)}); };
        if (setup.mode) {
            auto mode = m.get_register(bus, kRegControlMode);
            if (!mode) return fail(std::move(mode.error()));
            if (mode->bits != *setup.mode) {
                if (!setup.set_mode)
                    wrong.push_back({i, mode->bits});
                else if (auto set = m.ensure_control_mode(bus, *setup.mode); !set)
                    return fail(std::move(set.error()));
            }
        }
        if (setup.watchdog_ms) {
            // RAM only, never saved: the next power cycle brings the motor's own setting back.
            const std::uint32_t units = *setup.watchdog_ms * kWatchdogUnitsPerMs;
            auto now = m.get_register(bus, kRegTimeout);
            if (!now) return fail(std::move(now.error()));
            if (now->bits != units) {
                if (auto set = m.set_register(bus, kRegTimeout, RegisterValue::u32(units), Verify::Yes); !set)
                    return fail(std::move(set.error()));
                before[i] = now->bits;
            }
        }
    }
    return wrong;
}

}  // namespace torvane::damiao
