#include "sim/physics/arm_model.hpp"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace torvane::sim {

namespace {

// A divergence this soon after the last recovery: the last good pose is not
// good enough, so the model goes back to where it started.
constexpr std::uint64_t kRelapseSteps = 100;

MonoNanos thread_cpu() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<MonoNanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool all_finite(const mjtNum* v, mjtSize n) {
    return std::all_of(v, v + n, [](mjtNum x) { return std::isfinite(x); });
}

std::string quoted(const std::string& s) { return '\'' + s + '\''; }

std::string joint_names(const MujocoLibrary& lib, const mjModel* m) {
    std::string out;
    for (int j = 0; j < m->njnt; ++j) {
        const char* name = lib.id2name(m, mjOBJ_JOINT, j);
        if (!out.empty()) out += ", ";
        out += name && *name ? name : "(unnamed)";
    }
    return out.empty() ? "none" : out;
}

std::expected<BoundJoint, std::string> bind_joint(const MujocoLibrary& lib, const mjModel* m, const std::string& name,
                                                  const std::string& path) {
    const int id = lib.name2id(m, mjOBJ_JOINT, name.c_str());
    if (id < 0) return std::unexpected("joint " + quoted(name) + " is not in " + path + "; its joints: " +
                                       joint_names(lib, m));
    const int type = m->jnt_type[id];
    if (type != mjJNT_HINGE && type != mjJNT_SLIDE)
        return std::unexpected("joint " + quoted(name) + " in " + path +
                               " is a free or ball joint; a motor drives a hinge or a slide joint");
    BoundJoint j{name, id, m->jnt_qposadr[id], m->jnt_dofadr[id]};
    // The inertia matrix is lower-triangular by rows: the diagonal ends each row.
    j.m_diag = m->M_rowadr[j.dof] + m->M_rownnz[j.dof] - 1;
    j.limited = m->jnt_limited[id];
    j.lower = m->jnt_range[2 * id];
    j.upper = m->jnt_range[2 * id + 1];
    return j;
}

}  // namespace

std::expected<std::unique_ptr<ArmModel>, std::string> ArmModel::load(const MujocoLibrary& lib,
                                                                      const std::string& path,
                                                                      const std::vector<std::string>& names,
                                                                      MonoNanos start) {
    char error[1000] = "";
    mjModel* m = lib.load_xml(path.c_str(), nullptr, error, sizeof error);
    if (!m) return std::unexpected("cannot load model " + path + ": " + (*error ? error : "unknown error"));
    const auto fail = [&](std::string why) {
        lib.delete_model(m);
        return std::unexpected(std::move(why));
    };
    const double dt = m->opt.timestep;
    if (!(dt > 0) || dt > static_cast<double>(kLongestStep) * 1e-9 * (1 + 1e-9)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g ms", dt * 1e3);
        return fail(path + " steps by " + buf +
                    "; the motors' control needs 1 ms or finer: set <option timestep=\"0.001\"/>");
    }
    // The motors' torques go in between the two halves of a step, which the
    // engine splits for every integrator but Runge-Kutta.
    if (m->opt.integrator == mjINT_RK4)
        return fail(path + " integrates with RK4, which cannot take the motors' torques at every step: use "
                    "integrator=\"implicitfast\" or \"Euler\"");
    // Sleeping trees skip their dynamics; every bound joint is driven at every step.
    m->opt.enableflags &= ~mjENBL_SLEEP;
    std::vector<BoundJoint> joints;
    for (const auto& name : names) {
        if (std::any_of(joints.begin(), joints.end(), [&](const BoundJoint& j) { return j.name == name; }))
            return fail("joint " + quoted(name) + " has two motors");
        auto j = bind_joint(lib, m, name, path);
        if (!j) return fail(j.error());
        joints.push_back(std::move(*j));
    }
    mjData* d = lib.make_data(m);
    if (!d) return fail("cannot allocate the state of model " + path);
    lib.forward(m, d);
    return std::unique_ptr<ArmModel>(new ArmModel(lib, path, m, d, std::move(joints), start));
}

ArmModel::ArmModel(const MujocoLibrary& lib, std::string path, mjModel* m, mjData* d, std::vector<BoundJoint> joints,
                   MonoNanos start)
    : lib_(lib),
      path_(std::move(path)),
      m_(m),
      d_(d),
      joints_(std::move(joints)),
      clock_(start, std::llround(m->opt.timestep * 1e9),
             static_cast<std::uint64_t>(kMostPerCall / std::max<MonoNanos>(std::llround(m->opt.timestep * 1e9), 1))),
      dt_(m->opt.timestep) {
    remember();
    warnings_seen_ = engine_warnings();
}

ArmModel::~ArmModel() {
    lib_.delete_data(d_);
    lib_.delete_model(m_);
}

void ArmModel::advance(MonoNanos now, std::span<MotorModel> motors) {
    if (const auto n = clock_.due(now); n > 0) {
        const MonoNanos began = thread_cpu();
        for (std::uint64_t i = 0; i < n; ++i) one_step(motors);
        busy_ += thread_cpu() - began;
    }
    report_to(motors);
}

void ArmModel::one_step(std::span<MotorModel> motors) {
    // Positions and velocities first, so each motor's law sees the joint as
    // it is at the start of the step and its torque acts through the step.
    lib_.step1(m_, d_);
    for (std::size_t i = 0; i < joints_.size() && i < motors.size(); ++i) {
        const auto& j = joints_[i];
        const double dq = d_->qvel[j.dof], b = m_->dof_damping[j.dof];
        motors[i].joint_moved(d_->qpos[j.qpos], dq);
        // Everything but the motor and the joint's damping: gravity and the
        // velocity's forces now, the end stops and contacts as the last step
        // left them.
        const double load = d_->qfrc_passive[j.dof] + b * dq - d_->qfrc_bias[j.dof] + d_->qfrc_constraint[j.dof];
        d_->qfrc_applied[j.dof] = motors[i].joint_torque(d_->M[j.m_diag], b, load, dt_);
    }
    lib_.step2(m_, d_);
    clock_.took(1);
    if (sound())
        remember();
    else
        recover();
}

int ArmModel::engine_warnings() const {
    // The engine resets the state to its start by itself when it meets one of these.
    return d_->warning[mjWARN_BADQPOS].number + d_->warning[mjWARN_BADQVEL].number +
           d_->warning[mjWARN_BADQACC].number;
}

bool ArmModel::sound() const {
    return engine_warnings() == warnings_seen_ && all_finite(d_->qpos, m_->nq) && all_finite(d_->qvel, m_->nv) &&
           all_finite(d_->qacc, m_->nv);
}

void ArmModel::remember() { good_qpos_.assign(d_->qpos, d_->qpos + m_->nq); }

void ArmModel::recover() {
    const std::uint64_t at = clock_.steps();
    const bool relapse = recovered_at_ != 0 && at - recovered_at_ < kRelapseSteps;
    lib_.reset_data(m_, d_);
    if (!relapse) std::copy(good_qpos_.begin(), good_qpos_.end(), d_->qpos);
    remember();
    warnings_seen_ = engine_warnings();
    recovered_at_ = at;
    char when[48];
    std::snprintf(when, sizeof when, "%.3f s", static_cast<double>(clock_.simulated()) * 1e-9);
    const char* done = relapse ? "again, so the model is back at its starting pose (qpos0), at rest"
                               : "the model is back at its last good pose, at rest";
    notes_.push_back(std::string("physics diverged at model time ") + when +
                     " (a position, velocity or acceleration was not a number); " + done);
}

void ArmModel::report_to(std::span<MotorModel> motors) const {
    for (std::size_t i = 0; i < joints_.size() && i < motors.size(); ++i)
        motors[i].joint_moved(d_->qpos[joints_[i].qpos], d_->qvel[joints_[i].dof]);
}

PaceSample ArmModel::progress(MonoNanos now) const {
    return {now - clock_.start(), clock_.simulated(), clock_.steps(), busy_};
}

std::string ArmModel::summary() const {
    const auto n = joints_.size();
    return "model " + path_ + ", " + std::to_string(n) + (n == 1 ? " joint" : " joints") + " bound, step " +
           step_text(clock_.step());
}

std::vector<std::string> ArmModel::take_notes() { return std::exchange(notes_, {}); }

double ArmModel::position(std::size_t joint) const { return d_->qpos[joints_.at(joint).qpos]; }
double ArmModel::velocity(std::size_t joint) const { return d_->qvel[joints_.at(joint).dof]; }
double ArmModel::applied(std::size_t joint) const { return d_->qfrc_applied[joints_.at(joint).dof]; }

void ArmModel::place(std::size_t joint, double q, double dq) {
    d_->qpos[joints_.at(joint).qpos] = q;
    d_->qvel[joints_.at(joint).dof] = dq;
}

std::vector<double> ArmModel::holding_torques() {
    // Inverse dynamics needs the positions' kinematics, which a step leaves
    // one step old.
    lib_.forward(m_, d_);
    std::vector<mjtNum> bias(static_cast<std::size_t>(m_->nv));
    lib_.rne(m_, d_, 0, bias.data());
    std::vector<double> out;
    for (const auto& j : joints_) out.push_back(bias[static_cast<std::size_t>(j.dof)]);
    return out;
}

}  // namespace torvane::sim
