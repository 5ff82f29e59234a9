"""torvane_gravity and its models: the torques against an independent sum
over the model's bodies, a simulated arm held by them, the motors' peaks,
motor order, buffers and errors. Natively, no bus."""

import array
import itertools
import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

try:
    import mujoco
    import numpy as np
except ImportError as e:
    pytest.fail(f"{e.name} is missing from this venv: tools/run-tests installs it "
                "(tools/lib/python.sh prepare_venv, from requirements-test.txt)", pytrace=False)

import torvane_gravity as tg

REPO = Path(__file__).resolve().parents[2]
ARM_JOINTS = [*(f"joint{i}" for i in range(1, 8)), "gripper"]
BOTH_ARMS = [f"{side}_{j}" for side in ("left", "right") for j in ARM_JOINTS]
# Each joint's motor and its peak torque (N m): dm8009, dm4340, dm4310.
PEAK = {"joint1": 40.0, "joint2": 40.0, "joint3": 28.0, "joint4": 28.0,
        "joint5": 10.0, "joint6": 10.0, "joint7": 10.0, "gripper": 10.0}
HORIZONTAL = {"joint2": math.pi / 2}


def load(path):
    m = mujoco.MjModel.from_xml_path(str(path))
    return m, mujoco.MjData(m)


def pose(**q):
    return [q.get(j, 0.0) for j in ARM_JOINTS]


def random_poses(m, count, seed):
    rng = np.random.default_rng(seed)
    lo, hi = m.jnt_range[:, 0], m.jnt_range[:, 1]
    return [lo + (hi - lo) * rng.random(m.njnt) for _ in range(count)]


def subtree(m, body):
    inside = {body}
    for b in range(body + 1, m.nbody):  # parents come before their children
        if m.body_parentid[b] in inside:
            inside.add(b)
    return inside


def holding_torque(m, q, joint):
    """What the motor of `joint` must give against gravity at q: the moment
    of every body's weight about the joint's axis, from the bodies' masses and
    centres of mass; no dynamics call."""
    d = mujoco.MjData(m)
    d.qpos[:] = q
    mujoco.mj_kinematics(m, d)
    j = m.joint(joint).id
    up = -np.asarray(m.opt.gravity)
    return sum(m.body_mass[b] * np.dot(np.cross(d.xipos[b] - d.xanchor[j], up), d.xaxis[j])
               for b in subtree(m, m.jnt_bodyid[j]))


@pytest.fixture(scope="module")
def arm():
    return load(tg.ARM)[0]


@pytest.fixture(scope="module")
def grav():
    return tg.Gravity(tg.ARM, ARM_JOINTS)


# ---- the models -----------------------------------------------------------------

def test_the_shipped_models_are_in_the_installed_package():
    for path in (tg.ARM, tg.TWO_ARMS):
        assert path.is_file() and path.parent == Path(tg.__file__).resolve().parent / "models"
        assert path.read_text() == (REPO / "models" / path.name).read_text()


def test_the_arm_s_joints_are_the_motors_in_order(arm):
    assert [arm.joint(i).name for i in range(arm.njnt)] == ARM_JOINTS
    assert all(arm.jnt_type == mujoco.mjtJoint.mjJNT_HINGE)
    assert all(arm.jnt_limited) and all(arm.jnt_range[:, 0] < 0) and all(arm.jnt_range[:, 1] > 0)
    assert all(arm.dof_damping > 0) and all(arm.dof_armature > 0)
    assert arm.opt.timestep <= 0.001 and arm.opt.integrator == mujoco.mjtIntegrator.mjINT_IMPLICITFAST
    assert arm.nu == 0 and arm.nmesh == 0


@pytest.mark.parametrize("a, b, length", [
    ("link2", "link4", 0.30),   # shoulder to elbow
    ("link4", "link6", 0.25),   # elbow to wrist
    ("link6", "tcp", 0.08),     # wrist to the jaw tips
])
def test_the_arm_s_lengths(arm, a, b, length):
    d = mujoco.MjData(arm)
    mujoco.mj_kinematics(arm, d)
    where = lambda name: d.site_xpos[arm.site(name).id] if name == "tcp" else d.xpos[arm.body(name).id]
    assert np.linalg.norm(where(a) - where(b)) == pytest.approx(length, abs=1e-9)


def test_the_arm_weighs_a_few_kilograms(arm):
    moving = sum(arm.body_mass[b] for b in subtree(arm, arm.body("link1").id))
    assert 3.0 < moving < 6.0


def test_two_arms_are_the_arm_twice_0_4_m_apart(arm):
    m, d = load(tg.TWO_ARMS)
    assert [m.joint(i).name for i in range(m.njnt)] == BOTH_ARMS
    for field in ("jnt_range", "dof_damping", "dof_armature"):
        assert np.array_equal(getattr(m, field), np.concatenate([getattr(arm, field)] * 2))
    mujoco.mj_kinematics(m, d)
    gap = d.xpos[m.body("left_base").id] - d.xpos[m.body("right_base").id]
    assert gap == pytest.approx([0.0, 0.4, 0.0])


# ---- the torques against the sum over the bodies ---------------------------------

@pytest.mark.parametrize("q, joint", [
    (HORIZONTAL, "joint2"),
    (HORIZONTAL, "joint4"),
    (HORIZONTAL, "joint6"),
    (dict(joint2=math.pi / 2, joint4=-0.05), "joint2"),
    (dict(joint2=0.3, joint4=math.pi / 2 - 0.3), "joint4"),  # forearm level, upper arm not
])
def test_a_horizontal_arm_needs_the_sum_of_its_weights_times_their_levers(arm, grav, q, joint):
    d = mujoco.MjData(arm)
    d.qpos[:] = pose(**q)
    mujoco.mj_kinematics(arm, d)
    j = arm.joint(joint).id
    # Levers along x: the arm reaches out along +x and the pitch axes lie along -y.
    g = -arm.opt.gravity[2]
    expected = sum(arm.body_mass[b] * g * (d.xipos[b][0] - d.xanchor[j][0])
                   for b in subtree(arm, arm.jnt_bodyid[j]))
    assert expected > 0.05
    assert grav.torques(pose(**q))[ARM_JOINTS.index(joint)] == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize("q", [
    {},                                                   # hanging straight down
    dict(joint1=1.0, joint3=-2.0, joint5=0.7, joint7=2.0),  # hanging, rolled about itself
    dict(joint2=math.pi / 2, joint4=math.pi / 2),          # forearm straight up: elbow and wrist free
])
def test_a_vertical_chain_needs_no_torque(grav, q):
    tau = grav.torques(pose(**q))
    vertical = ARM_JOINTS if "joint4" not in q else ["joint4", "joint5", "joint6", "joint7", "gripper"]
    for joint in vertical:
        assert abs(tau[ARM_JOINTS.index(joint)]) < 1e-9, joint
    if q.get("joint2"):
        assert tau[1] > 1.0  # the upper arm is level


def test_any_pose_matches_the_sum_over_the_bodies(arm, grav):
    for q in random_poses(arm, 40, seed=1):
        tau = grav.torques(q)
        for k, joint in enumerate(ARM_JOINTS):
            assert tau[k] == pytest.approx(holding_torque(arm, q, joint), rel=1e-6, abs=1e-9), (joint, q)


# ---- the torques hold a simulated arm --------------------------------------------

POSES = [
    dict(joint2=math.pi / 2),
    dict(joint1=0.5, joint2=1.0, joint3=0.8, joint4=1.2, joint5=-0.6, joint6=0.7, joint7=1.0, gripper=0.6),
    dict(joint2=2.2, joint3=-1.4, joint4=0.6, joint5=1.5, joint6=-1.1, gripper=0.3),
]


def simulate(m, q0, grav, seconds=1.0):
    d = mujoco.MjData(m)
    d.qpos[:] = q0
    mujoco.mj_forward(m, d)
    for _ in range(round(seconds / m.opt.timestep)):
        if grav is not None:
            grav.torques(d.qpos, out=d.qfrc_applied)
        mujoco.mj_step(m, d)
    return np.abs(d.qpos - q0).max()


@pytest.mark.parametrize("q", POSES)
def test_the_torques_hold_the_arm_and_without_them_it_falls(arm, grav, q):
    q0 = np.array(pose(**q))
    assert simulate(arm, q0, grav) < 1e-3
    assert simulate(arm, q0, None) > 0.05


# ---- the motors' peaks ------------------------------------------------------------

def test_no_pose_within_the_limits_needs_more_than_a_motor_s_peak(arm, grav):
    steps = dict(joint1=3, joint2=9, joint3=5, joint4=7, joint5=5, joint6=7, joint7=3, gripper=2)
    axes = [np.linspace(lo, hi, steps[j]) for j, (lo, hi) in zip(ARM_JOINTS, arm.jnt_range)]
    most = np.zeros(len(ARM_JOINTS))
    out = np.zeros(len(ARM_JOINTS))
    for q in itertools.product(*axes):
        np.maximum(most, np.abs(grav.torques(q, out)), out=most)
    peaks = np.array([PEAK[j] for j in ARM_JOINTS])
    assert all(most <= peaks), dict(zip(ARM_JOINTS, most))
    # The grid reached the arm held level, the shoulder's worst case.
    assert most[1] >= grav.torques(pose(**HORIZONTAL))[1] * 0.99


# ---- motor order, None, unnamed joints ---------------------------------------------

@pytest.mark.parametrize("order", [
    ["gripper", "joint4", "joint1", "joint7", "joint2", "joint6", "joint3", "joint5"],
    [None, "joint6", "joint2", None, "joint4", "gripper", None, "joint3", "joint1", "joint5", "joint7"],
    ["joint2", None],                       # the rest stay at qpos0
    [*ARM_JOINTS, None],
    [],
])
def test_motors_in_any_order_get_their_own_joint_s_torque(arm, grav, order):
    g = tg.Gravity(tg.ARM, order)
    assert g.joints == tuple(order) and len(g) == len(order)
    for full in random_poses(arm, 5, seed=2):
        mine = [0.0 if j is None else full[ARM_JOINTS.index(j)] for j in order]
        # The joints no motor names sit at qpos0, here 0.
        full = [v if j in order else 0.0 for j, v in zip(ARM_JOINTS, full)]
        reference = grav.torques(full)
        tau = g.torques(mine)
        for k, j in enumerate(order):
            assert tau[k] == (0.0 if j is None else reference[ARM_JOINTS.index(j)]), (k, j)


def test_unnamed_joints_stay_at_their_qpos0_not_at_zero(tmp_path):
    bent = tmp_path / "arm.xml"
    bent.write_text(tg.ARM.read_text().replace('<joint name="joint4"', '<joint name="joint4" ref="0.8"'))
    m, _ = load(bent)
    assert m.qpos0[3] == pytest.approx(0.8)
    some = tg.Gravity(bent, ["joint2"])
    every = tg.Gravity(bent, ARM_JOINTS)
    q = np.array(m.qpos0)
    q[1] = 1.1
    assert some.torques([1.1])[0] == every.torques(q)[1]
    q[3] = 0.0
    assert some.torques([1.1])[0] != pytest.approx(every.torques(q)[1])


# ---- buffers and errors ---------------------------------------------------------------

Q = pose(joint2=1.2, joint4=0.7, joint6=-0.4, gripper=0.5)


@pytest.mark.parametrize("make", [
    list, tuple,
    lambda v: array.array("d", v),
    lambda v: np.array(v),
    lambda v: memoryview(array.array("d", v)),
    lambda v: np.repeat(v, 2)[::2],          # strided
    lambda v: np.array(v, dtype=np.float32),  # converted, not copied as bytes
    lambda v: np.array(v, dtype=object),
])
def test_q_may_be_any_sequence_or_buffer_of_floats(grav, make):
    q = make(Q)
    assert grav.torques(q) == grav.torques([float(x) for x in q])
    assert grav.torques(q) == pytest.approx(grav.torques(Q), rel=1e-6, abs=1e-6)


@pytest.mark.parametrize("make", [
    lambda n: array.array("d", [7.0] * n),
    lambda n: np.full(n, 7.0),
    lambda n: memoryview(array.array("d", [7.0] * n)),
    lambda n: np.full(2 * n, 7.0)[::2],
])
def test_out_is_filled_in_place_and_returned(grav, make):
    out = make(len(ARM_JOINTS))
    assert grav.torques(Q, out) is out
    assert list(out) == list(grav.torques(Q))
    assert isinstance(grav.torques(Q), array.array) and grav.torques(Q).typecode == "d"


def nan_at(k, value=math.nan):
    return Q[:k] + [value] + Q[k + 1:]


OUT = "a fresh array.array('d') of 8"


@pytest.mark.parametrize("q, out, error, words", [
    (Q[:-1], OUT, ValueError, "q has 7 positions"),
    (Q + [0.0], OUT, ValueError, "q has 9 positions"),
    ([], None, ValueError, "q has 0 positions"),
    (nan_at(3), OUT, ValueError, "q[3] = nan"),
    (nan_at(5, math.inf), OUT, ValueError, "q[5] = inf"),
    (nan_at(0, -math.inf), None, ValueError, "q[0] = -inf"),
    (Q, array.array("d", [7.0] * 7), ValueError, "out has 7 slots"),
    (Q, np.full(9, 7.0), ValueError, "out has 9 slots"),
    (Q, array.array("f", [7.0] * 8), TypeError, "float64"),
    (Q, np.full(8, 7.0, dtype=np.float32), TypeError, "float64"),
    (Q, np.full((8, 1), 7.0), TypeError, "one-dimensional"),
    (Q, [7.0] * 8, TypeError, "not list"),
    (Q, bytes(64), TypeError, "writable"),
])
def test_bad_q_or_out_raise_and_leave_out_alone(grav, q, out, error, words):
    if out is OUT:
        out = array.array("d", [7.0] * 8)
    snapshot = lambda: None if out is None else list(out) if isinstance(out, list) else bytes(memoryview(out))
    before = snapshot()
    with pytest.raises(error, match=re.escape(words)):
        grav.torques(q, out)
    assert snapshot() == before


@pytest.mark.parametrize("joints, words", [
    (["joint2", "elbow"], "'elbow': no joint of that name"),
    (["joint2", "joint2"], "named by motors 0 and 1"),
    (["joint1", 3], "must be a str or None"),
    ("joint1", "not a single string"),
])
def test_bad_joint_names_raise(joints, words):
    with pytest.raises((ValueError, TypeError), match=words) as e:
        tg.Gravity(tg.ARM, joints)
    if "no joint" in words:
        assert "its hinge and slide joints: " + ", ".join(ARM_JOINTS) in str(e.value)


# ---- two arms ---------------------------------------------------------------------

def test_left_and_right_need_what_one_arm_does(arm, grav):
    both = tg.Gravity(tg.TWO_ARMS, BOTH_ARMS)
    for q in random_poses(arm, 10, seed=3):
        tau = both.torques(np.concatenate([q, q]))
        assert list(tau[:8]) == pytest.approx(list(tau[8:]), rel=1e-12, abs=1e-12)
        assert list(tau[:8]) == pytest.approx(list(grav.torques(q)), rel=1e-12, abs=1e-12)
        assert max(abs(t) for t in tau) > 0.1


# ---- imports, and the cost of a call -----------------------------------------------

def run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_torvane_and_torvane_ext_import_neither_mujoco_nor_numpy():
    r = run("import sys, torvane, torvane_ext\n"
            "print(sorted(m for m in ('mujoco', 'numpy', 'torvane_gravity') if m in sys.modules))")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[]"


@pytest.mark.parametrize("missing", ["mujoco", "numpy"])
def test_without_mujoco_the_import_says_how_to_install_it(missing):
    r = run(f"import sys; sys.modules[{missing!r}] = None\nimport torvane_gravity")
    assert r.returncode != 0
    assert "ImportError: torvane_gravity needs MuJoCo" in r.stderr and "pip install mujoco" in r.stderr
    assert "torvane[gravity]" in r.stderr


def test_calls_with_out_keep_no_memory(grav):
    out = np.zeros(len(ARM_JOINTS))
    q = array.array("d", Q)
    for _ in range(1000):
        grav.torques(q, out)
    before = sys.getallocatedblocks()
    for _ in range(20000):
        assert grav.torques(q, out) is out
    assert sys.getallocatedblocks() - before < 20


def test_the_benchmark_runs_and_reports_a_time_per_call():
    r = subprocess.run([sys.executable, str(REPO / "benchmarks" / "gravity.py"), "--calls", "2000",
                        "--rounds", "2", "--callgrind-calls", "0", "--output", "-"], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "µs per call" in r.stdout and "16 joints" in r.stdout
