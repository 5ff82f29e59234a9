#include "sim/physics/load_mechanism.hpp"

namespace torvane::sim {

std::expected<std::unique_ptr<Mechanism>, std::string> load_mechanism(const Options& o, MonoNanos) {
    if (!o.model_path) return nullptr;
    return std::unexpected(std::string("--model: this dmsim was built without MuJoCo: pip install mujoco, then "
                                       "reinstall torvane (its build finds MuJoCo through the Python it runs with)"));
}

}  // namespace torvane::sim
