// arm_physics: what dmsim --model costs for one arm of eight motors, with no
// bus: the MuJoCo model steps at its 1 ms with each motor's MIT law at every
// step, as dmsim runs it, and the host's setpoints arrive as frames at
// 250 per second per motor. Time is passed in, so the run goes flat out.
//
//   arm_physics [--model FILE] [--seconds S] [--rounds R]
//
// Per round: processor time per step (thread CPU time; the motors' laws and
// the frames included), how many times faster than real time that is, and
// the share of a core one dmsim process spends on it at real time.

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/commands.hpp"
#include "damiao/driver.hpp"
#include "sim/physics/arm_model.hpp"

namespace {

using namespace torvane;
using sim::MonoNanos;

constexpr MonoNanos kMs = 1'000'000;
constexpr MonoNanos kSetpointEvery = 4 * kMs;  // a 250 Hz host loop

struct Joint {
    const char* name;
    const char* preset;
    float kp, kd, amplitude;
};

// The arm's joints and the motors on them: the large ones at the shoulder.
constexpr Joint kJoints[] = {
    {"joint1", "dm8009", 60, 2.0f, 0.3f}, {"joint2", "dm8009", 60, 2.0f, 0.3f},
    {"joint3", "dm4340", 40, 1.5f, 0.3f}, {"joint4", "dm4340", 40, 1.5f, 0.3f},
    {"joint5", "dm4310", 20, 0.5f, 0.3f}, {"joint6", "dm4310", 20, 0.5f, 0.3f},
    {"joint7", "dm4310", 20, 0.5f, 0.3f}, {"gripper", "dm4310", 300, 5.0f, 0.01f},
};

MonoNanos thread_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<MonoNanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "arm_physics: %s\nusage: arm_physics [--model FILE] [--seconds S] [--rounds R]\n", why);
    std::exit(2);
}

struct Round {
    double us_per_step, step_us, cpu_s;
    std::uint64_t steps;
    bool finite;
};

Round run(const sim::MujocoLibrary& lib, const std::string& path, double seconds) {
    std::vector<std::string> names;
    std::vector<sim::MotorModel> motors;
    for (std::size_t i = 0; i < std::size(kJoints); ++i) {
        names.push_back(kJoints[i].name);
        const auto id = static_cast<std::uint16_t>(i + 1);
        motors.emplace_back(sim::MotorConfig{id, static_cast<std::uint16_t>(0x10 + id),
                                             *sim::find_model(kJoints[i].preset), damiao::kModeMit},
                            0);
        motors.back().bind_to_joint();
    }
    auto arm = sim::ArmModel::load(lib, path, names, 0);
    if (!arm) usage(arm.error().c_str());
    for (auto& m : motors) m.handle(can::CanFrame(can::CanId::standard(m.cmd_id()), damiao::kCmdEnable), 0);

    const MonoNanos end = static_cast<MonoNanos>(seconds * 1e9);
    const MonoNanos began = thread_cpu();
    bool finite = true;
    for (MonoNanos now = kMs; now <= end; now += kMs) {
        if (now % kSetpointEvery == 0) {
            const double t = static_cast<double>(now) * 1e-9;
            for (std::size_t i = 0; i < motors.size(); ++i) {
                const auto& j = kJoints[i];
                const float q = j.amplitude * static_cast<float>(std::sin(M_PI * t + static_cast<double>(i))) +
                                (i == 7 ? 0.02f : 0.0f);
                const auto frame = damiao::encode(motors[i].config().model.limits, {q, 0, j.kp, j.kd, 0}).value();
                motors[i].handle(can::CanFrame(can::CanId::standard(motors[i].cmd_id()), frame), now);
            }
        }
        (*arm)->advance(now, motors);
        for (auto& m : motors) m.advance(now);
    }
    const MonoNanos cpu = thread_cpu() - began;
    for (const auto& m : motors) finite = finite && std::isfinite(m.position()) && std::isfinite(m.torque());
    const auto steps = (*arm)->steps();
    return {static_cast<double>(cpu) / 1e3 / static_cast<double>(steps), static_cast<double>((*arm)->step()) / 1e3,
            static_cast<double>(cpu) * 1e-9, steps,
            finite && (*arm)->take_notes().empty()};
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = TORVANE_ARM8_MODEL;
    double seconds = 20;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (i + 1 >= argc) usage("every option takes a value");
        if (a == "--model") path = argv[++i];
        else if (a == "--seconds") seconds = std::atof(argv[++i]);
        else if (a == "--rounds") rounds = std::atoi(argv[++i]);
        else usage("unknown option");
    }
    if (!(seconds > 0) || rounds < 1) usage("--seconds and --rounds must be positive");
    auto lib = sim::open_mujoco();
    if (!lib) usage(lib.error().c_str());

    std::printf("arm_physics: %s, %zu motors under MIT (setpoints at 250 Hz), %.0f s of model time, %d rounds\n",
                path.c_str(), std::size(kJoints), seconds, rounds);
    std::vector<double> per_step;
    double step_us = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto got = run(*lib, path, seconds);
        if (!got.finite) {
            std::printf("round %d: the state went non-finite\n", r + 1);
            return 1;
        }
        per_step.push_back(got.us_per_step);
        step_us = got.step_us;
        std::printf("round %d: %llu steps in %.3f s of processor time: %.2f us per %s step, real-time factor %.3g, "
                    "%.2f%% of a core at real time\n",
                    r + 1, static_cast<unsigned long long>(got.steps), got.cpu_s, got.us_per_step,
                    sim::step_text(static_cast<MonoNanos>(got.step_us * 1e3)).c_str(),
                    got.step_us / got.us_per_step, 100.0 * got.us_per_step / got.step_us);
    }
    std::sort(per_step.begin(), per_step.end());
    const double median = per_step[per_step.size() / 2];
    std::printf("median: %.2f us per step, real-time factor %.3g; one arm %.2f%% of a core at real time, "
                "two arms (two dmsim processes) %.2f%%\n",
                median, step_us / median, 100.0 * median / step_us, 200.0 * median / step_us);
    return 0;
}
