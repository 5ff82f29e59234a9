// dmsim's --model end to end without sockets: options, loading, binding, and
// frames answered from the joints' state.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim/physics/load_mechanism.hpp"
#include "sim/simulator.hpp"
#include "sim/tests/arm_rig.hpp"

namespace torvane::sim {
namespace {

using namespace sim_test;

std::expected<Options, std::string> options(std::vector<std::string> args) {
    std::vector<std::string_view> views(args.begin(), args.end());
    return parse_options(views);
}

Received mit_frame(std::uint16_t id, const MitSetpoint& sp) {
    return {CanFrame(CanId::standard(id), damiao::encode(model("dm4310").limits, sp).value()), false};
}
Received fixed_frame(std::uint16_t id, const Frame8& d) { return {CanFrame(CanId::standard(id), d), false}; }

damiao::MotorState answer(Simulator& sim, const Received& r, MonoNanos now) {
    sim.hear(0, r, now);
    const auto out = sim.take_due(0, now);
    EXPECT_EQ(out.size(), 1u);
    if (out.empty()) return {};
    return damiao::decode(model("dm4310").limits, out[0].data()).value_or(damiao::MotorState{});
}

TEST(ModelOption, TheBoundMotorReportsItsJointFallingWhileARotorOfItsOwnStaysPut) {
    if (!mujoco()) return;
    const std::vector<std::string> motors{"--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310"};
    auto with_model = options({"--model", kPendulum, "--mode", "1", "--motor", "1:0x11:dm4310@swing", "--motor",
                               "2:0x12:dm4310@turn"});
    auto without = options({"--mode", "1", "--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4310"});
    ASSERT_TRUE(with_model) << with_model.error();
    ASSERT_TRUE(without) << without.error();
    auto mech = load_mechanism(*with_model, 0);
    ASSERT_TRUE(mech) << mech.error();
    ASSERT_TRUE(*mech);
    EXPECT_EQ((*mech)->summary(), "model " + kPendulum + ", 2 joints bound, step 1 ms");
    auto none = load_mechanism(*without, 0);
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);

    Simulator arm(*with_model, {}, 0), rotor(*without, {}, 0);
    arm.attach(std::move(*mech));
    // Both motors told to hold 1 rad; only the one on the model feels gravity.
    for (auto* sim : {&arm, &rotor}) {
        answer(*sim, fixed_frame(1, damiao::kCmdEnable), 0);
        answer(*sim, mit_frame(1, {1.0f, 0, 20.0f, 1.0f, 0}), 0);
    }
    for (MonoNanos t = ms(1); t <= ms(3000); t += ms(1)) {
        arm.advance(t);
        rotor.advance(t);
    }
    const auto on_arm = answer(arm, mit_frame(1, {1.0f, 0, 20.0f, 1.0f, 0}), ms(3000));
    const auto on_rotor = answer(rotor, mit_frame(1, {1.0f, 0, 20.0f, 1.0f, 0}), ms(3000));
    EXPECT_NEAR(on_rotor.position, 1.0, 0.01);
    EXPECT_NEAR(on_rotor.torque, 0.0, 0.05);
    // Sagging under its weight: the spring's push, kp x the error, holds it.
    EXPECT_LT(on_arm.position, 1.0 - 0.05);
    EXPECT_NEAR(on_arm.torque, 20.0 * (1.0 - on_arm.position), 0.05);
    EXPECT_EQ(arm.mechanism()->progress(ms(3000)).simulated, ms(3000));
}

struct StartCase {
    const char* name;
    std::vector<std::string> args;  // "MODEL" stands for the test model's path
    const char* error;              // a part of the message
};

class ModelStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(ModelStart, IsRefusedWithAClearMessage) {
    if (!mujoco()) return;
    // Models of our own: a step too coarse for the motors' loop, an integrator that cannot take their torques.
    const auto coarse = std::filesystem::temp_directory_path() / "dmsim_coarse_step.xml";
    std::ofstream(coarse) << "<mujoco><option timestep=\"0.002\"/><worldbody><body>"
                             "<joint name=\"j\" type=\"hinge\"/><geom size=\"0.1\" mass=\"1\"/>"
                             "</body></worldbody></mujoco>";
    const auto rk4 = std::filesystem::temp_directory_path() / "dmsim_rk4.xml";
    std::ofstream(rk4) << "<mujoco><option timestep=\"0.001\" integrator=\"RK4\"/><worldbody><body>"
                          "<joint name=\"j\" type=\"hinge\"/><geom size=\"0.1\" mass=\"1\"/>"
                          "</body></worldbody></mujoco>";
    std::vector<std::string> args;
    for (const auto& a : GetParam().args)
        args.push_back(a == "MODEL" ? kPendulum : a == "COARSE" ? coarse.string() : a == "RK4" ? rk4.string() : a);
    auto o = options(args);
    std::string error;
    if (!o) {
        error = o.error();
    } else {
        auto m = load_mechanism(*o, 0);
        ASSERT_FALSE(m) << "started with " << (*m ? (*m)->summary() : "no model");
        error = m.error();
    }
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
    std::filesystem::remove(coarse);
    std::filesystem::remove(rk4);
}

INSTANTIATE_TEST_SUITE_P(
    Physics, ModelStart,
    ::testing::Values(
        StartCase{"MotorWithoutJoint",
                  {"--model", "MODEL", "--motor", "1:0x11:dm4310@swing", "--motor", "2:0x12:dm4310"},
                  "--motor '2:0x12:dm4310': with --model every motor drives a joint: add @JOINT"},
        StartCase{"JointWithoutModel", {"--motor", "1:0x11:dm4310@swing"}, "@swing names a joint, but no --model"},
        StartCase{"TwoMotorsOnOneJoint",
                  {"--model", "MODEL", "--motor", "1:0x11:dm4310@swing", "--motor", "vcan1:2:0x12:dm4340@swing"},
                  "joint 'swing' already has motor '1:0x11:dm4310@swing'"},
        StartCase{"EmptyJoint", {"--model", "MODEL", "--motor", "1:0x11:dm4310@"}, "expected a joint name after '@'"},
        StartCase{"UnknownJoint", {"--model", "MODEL", "--motor", "1:0x11:dm4310@elbow"},
                  "joint 'elbow' is not in " },
        StartCase{"UnknownJointListsTheModels", {"--model", "MODEL", "--motor", "1:0x11:dm4310@elbow"},
                  "its joints: swing, turn"},
        StartCase{"MissingFile", {"--model", "/nonexistent/robot.xml", "--motor", "1:0x11:dm4310@swing"},
                  "--model: cannot load model /nonexistent/robot.xml"},
        StartCase{"CoarseStep", {"--model", "COARSE", "--motor", "1:0x11:dm4310@j"},
                  "steps by 2 ms; the motors' control needs 1 ms or finer"},
        StartCase{"RungeKutta", {"--model", "RK4", "--motor", "1:0x11:dm4310@j"},
                  "integrates with RK4, which cannot take the motors' torques at every step"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelStart, AWrongLibraryIsRefusedByName) {
    setenv("TORVANE_MUJOCO_LIB", "/nonexistent/libmujoco.so", 1);
    auto lib = open_mujoco();
    unsetenv("TORVANE_MUJOCO_LIB");
    ASSERT_FALSE(lib);
    EXPECT_NE(lib.error().find("/nonexistent/libmujoco.so"), std::string::npos) << lib.error();
    EXPECT_NE(lib.error().find("TORVANE_MUJOCO_LIB"), std::string::npos) << lib.error();
}

}  // namespace
}  // namespace torvane::sim
