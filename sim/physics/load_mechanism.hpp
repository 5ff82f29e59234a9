#pragma once
// The physics model --model names, with each --motor bound to its @JOINT;
// nothing without --model. Built with MuJoCo's headers or without them, in
// which case --model says how to get them.

#include <expected>
#include <memory>
#include <string>

#include "sim/options.hpp"
#include "sim/physics/mechanism.hpp"

namespace torvane::sim {

std::expected<std::unique_ptr<Mechanism>, std::string> load_mechanism(const Options& o, MonoNanos start);

}  // namespace torvane::sim
