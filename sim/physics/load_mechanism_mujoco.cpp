#include "sim/physics/arm_model.hpp"
#include "sim/physics/load_mechanism.hpp"

namespace torvane::sim {

std::expected<std::unique_ptr<Mechanism>, std::string> load_mechanism(const Options& o, MonoNanos start) {
    if (!o.model_path) return nullptr;
    auto lib = open_mujoco();
    if (!lib) return std::unexpected("--model: " + lib.error());
    std::vector<std::string> joints;
    for (const auto& m : o.motors) joints.push_back(m.joint);
    auto arm = ArmModel::load(*lib, *o.model_path, joints, start);
    if (!arm) return std::unexpected("--model: " + arm.error());
    return std::unique_ptr<Mechanism>(std::move(*arm));
}

}  // namespace torvane::sim
