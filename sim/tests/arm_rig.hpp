#pragma once
// Motors on the joints of a MuJoCo model, driven by hand: frames built with
// the project's codec, replies decoded with it, time passed in. libmujoco
// missing is a failure that names the fix, never a skip.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "damiao/commands.hpp"
#include "damiao/driver.hpp"
#include "sim/physics/arm_model.hpp"
#include "sim/tests/bench.hpp"

namespace torvane::sim::sim_test {

inline const std::string kPendulum = std::string(TORVANE_SIM_TESTS) + "/pendulum.xml";
inline const std::string kArm8 = std::string(TORVANE_SIM_TESTS) + "/arm8.xml";
inline constexpr char kMujocoFix[] =
    "tools/lib/python.sh prepare_venv installs mujoco (requirements-test.txt); build these tests with "
    "-DPython_EXECUTABLE=<that venv's python>, or set TORVANE_MUJOCO_LIB to libmujoco's path";

inline std::optional<MujocoLibrary> mujoco() {
    auto lib = open_mujoco();
    if (!lib) ADD_FAILURE() << "libmujoco is not available: " << lib.error() << "\nFix: " << kMujocoFix;
    return lib ? std::optional(*lib) : std::nullopt;
}

// One motor per joint, all of one preset and starting mode.
struct Rig {
    std::unique_ptr<ArmModel> arm;
    std::vector<MotorModel> motors;
    MonoNanos now = 0;

    Rig(const std::string& path, const std::vector<std::string>& joints, std::string_view preset = "dm4310",
        std::uint32_t mode = damiao::kModeMit) {
        const auto lib = mujoco();
        if (!lib) return;
        auto loaded = ArmModel::load(*lib, path, joints, 0);
        if (!loaded) {
            ADD_FAILURE() << loaded.error();
            return;
        }
        arm = std::move(*loaded);
        for (std::size_t i = 0; i < joints.size(); ++i) {
            const auto id = static_cast<std::uint16_t>(i + 1);
            motors.emplace_back(MotorConfig{id, static_cast<std::uint16_t>(0x10 + id), model(preset), mode}, 0);
            motors.back().bind_to_joint();
        }
        arm->advance(0, motors);
    }
    bool ok() const { return arm != nullptr; }

    // As dmsim's event loop does on a quiet bus: the clock read every millisecond.
    void run_for(MonoNanos d) {
        for (const MonoNanos end = now + d; now < end;) {
            now = std::min(now + ms(1), end);
            arm->advance(now, motors);
            for (auto& m : motors) m.advance(now);
        }
    }
    // Runs `d` in steps of `every`, calling `probe` after each.
    template <class F>
    void run_for(MonoNanos d, MonoNanos every, F&& probe) {
        for (MonoNanos end = now + d; now < end;) {
            run_for(every);
            probe();
        }
    }

    damiao::MotorState send(std::size_t i, std::uint32_t id, const Frame8& data) {
        auto out = motors[i].handle(CanFrame(CanId::standard(id), data), now);
        EXPECT_EQ(out.kind, Outcome::Kind::Answered);
        if (!out.reply) return {};
        const auto s = damiao::decode(motors[i].config().model.limits, out.reply->data());
        EXPECT_TRUE(s.has_value());
        return s.value_or(damiao::MotorState{});
    }
    damiao::MotorState enable(std::size_t i) { return send(i, motors[i].cmd_id(), damiao::kCmdEnable); }
    damiao::MotorState disable(std::size_t i) { return send(i, motors[i].cmd_id(), damiao::kCmdDisable); }
    damiao::MotorState set_zero(std::size_t i) { return send(i, motors[i].cmd_id(), damiao::kCmdSetZero); }
    damiao::MotorState refresh(std::size_t i) {
        return send(i, damiao::kRegisterId, damiao::system_request(motors[i].cmd_id(), damiao::kOpRefresh));
    }
    damiao::MotorState mit(std::size_t i, const MitSetpoint& sp) {
        return send(i, motors[i].cmd_id(), damiao::encode(motors[i].config().model.limits, sp).value());
    }
    damiao::MotorState command(std::size_t i, const Command& c) {
        const auto id = motors[i].cmd_id();
        if (const auto* p = std::get_if<damiao::PosVelCommand>(&c))
            return send(i, damiao::kPosVelBase + id, damiao::encode(*p));
        if (const auto* v = std::get_if<damiao::VelCommand>(&c)) return send(i, damiao::kVelBase + id, damiao::encode(*v));
        if (const auto* f = std::get_if<damiao::ForcePosCommand>(&c))
            return send(i, damiao::kForcePosBase + id, damiao::encode(*f));
        return mit(i, std::get<MitSetpoint>(c));
    }
};

}  // namespace torvane::sim::sim_test
