#pragma once
// The velocity profiles of the POS_VEL, VEL and FORCE_POS modes, one physics
// step at a time. Rates are magnitudes in rad/s^2; a zero rate holds the
// velocity where it is, an infinite one reaches the target in one step.

namespace torvane::sim {

// A register's rate as a magnitude: the firmware keeps DEC negative, and
// NaN gives 0.
double rate_of(float reg);

// The velocity after one step of `dt` toward `target`, changing by at most
// `acc` x dt while speeding up and `dec` x dt while slowing down.
double velocity_toward(double v, double target, double acc, double dec, double dt);

// The fastest velocity at which a rotor `distance` (signed) from its target
// can still stop on it braking at `dec`, counting the step it is about to
// take; capped by `v_limit` and by landing on the target within this step.
double approach_velocity(double distance, double v_limit, double dec, double dt);

}  // namespace torvane::sim
