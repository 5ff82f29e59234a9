#pragma once
// A robot in MuJoCo whose joints the simulated motors drive. Each motor's
// control law runs at every physics step, as a motor's current loop runs far
// faster than its bus, and its torque goes onto its joint; the joint's state
// is what the motor reports. Joint limits are the end stops. Steps are
// fixed, follow the clock passed in, and never run ahead of it.

#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "sim/physics/mechanism.hpp"
#include "sim/physics/mujoco_library.hpp"

namespace torvane::sim {

struct BoundJoint {
    std::string name;
    int id = 0;       // in the model
    int qpos = 0;     // its address in qpos
    int dof = 0;      // in qvel, qfrc_applied
    int m_diag = 0;   // its diagonal entry in the inertia matrix M
    bool limited = false;
    double lower = 0, upper = 0;
};

class ArmModel final : public Mechanism {
public:
    // A coarser step would no longer be the motors' fast loop.
    static constexpr MonoNanos kLongestStep = 1'000'000;
    // Work one advance() may do: the event loop must get back to the bus.
    static constexpr MonoNanos kMostPerCall = 5'000'000;

    // Motor i drives joints[i]. Every name must be a hinge or slide joint of
    // the model, each named once.
    static std::expected<std::unique_ptr<ArmModel>, std::string> load(const MujocoLibrary& lib,
                                                                        const std::string& path,
                                                                        const std::vector<std::string>& joints,
                                                                        MonoNanos start);
    ~ArmModel() override;
    ArmModel(const ArmModel&) = delete;
    ArmModel& operator=(const ArmModel&) = delete;

    void advance(MonoNanos now, std::span<MotorModel> motors) override;
    bool lagging(MonoNanos now) const override { return clock_.due(now) > 0 && clock_.behind(now) > clock_.step(); }
    PaceSample progress(MonoNanos now) const override;
    MonoNanos step() const override { return clock_.step(); }
    std::string summary() const override;
    std::vector<std::string> take_notes() override;

    const std::vector<BoundJoint>& joints() const { return joints_; }
    std::uint64_t steps() const { return clock_.steps(); }
    double position(std::size_t joint) const;
    double velocity(std::size_t joint) const;
    // The torque the motor put on the joint at the last step.
    double applied(std::size_t joint) const;
    // Puts a joint there, at rest or moving; what the next step makes of it.
    void place(std::size_t joint, double q, double dq = 0.0);
    // The torque each bound joint needs to hold the robot still where it is,
    // from the engine's inverse dynamics.
    std::vector<double> holding_torques();

private:
    ArmModel(const MujocoLibrary& lib, std::string path, mjModel* m, mjData* d, std::vector<BoundJoint> joints,
             MonoNanos start);
    void one_step(std::span<MotorModel> motors);
    bool sound() const;
    int engine_warnings() const;
    void recover();
    void remember();
    void report_to(std::span<MotorModel> motors) const;

    MujocoLibrary lib_;
    std::string path_;
    mjModel* m_;
    mjData* d_;
    std::vector<BoundJoint> joints_;
    StepClock clock_;
    double dt_;
    MonoNanos busy_ = 0;
    std::vector<double> good_qpos_;  // the state after the last sound step
    int warnings_seen_ = 0;
    std::uint64_t recovered_at_ = 0;  // step of the last recovery; 0: none
    std::vector<std::string> notes_;
};

}  // namespace torvane::sim
