"""Gravity: joint torques that hold a MuJoCo model still, in motor order."""

from __future__ import annotations

import array
import math
import os
from collections.abc import Sequence
from typing import Any

try:
    import mujoco  # type: ignore[import-untyped]
    import numpy as np
except ImportError as e:  # numpy comes with mujoco
    raise ImportError(
        f"torvane_gravity needs MuJoCo ({e.name} is missing): pip install mujoco, "
        "or install torvane with its extra: pip install 'torvane[gravity]'") from e

_ONE_DOF = (int(mujoco.mjtJoint.mjJNT_HINGE), int(mujoco.mjtJoint.mjJNT_SLIDE))
_F64 = np.dtype(np.float64)


class Gravity:
    """The gravity torques of a model's joints, read and written in the
    user's motor order. `joints` names one joint per motor; None stands for a
    motor with no joint in the model (its torque is 0.0). The model's other
    joints stay at their qpos0.

    One instance keeps one MjData: share it between threads only under a lock.
    """

    def __init__(self, model_path: str | os.PathLike[str], joints: Sequence[str | None]) -> None:
        if isinstance(joints, (str, bytes)):
            raise TypeError("joints must be a sequence of joint names (or None), not a single string")
        self._joints = tuple(joints)
        model = mujoco.MjModel.from_xml_path(os.fspath(model_path))
        data = mujoco.MjData(model)
        ids = [self._joint_id(model, model_path, name) for name in self._joints]
        named_once: dict[int, int] = {}
        for k, i in enumerate(ids):
            if i is not None and named_once.setdefault(i, k) != k:
                raise ValueError(f"{self._joints[k]!r} is named by motors {named_once[i]} and {k}: "
                                 "one position cannot come from two motors")

        n, nv = len(self._joints), model.nv
        self._model, self._data = model, data
        self._bias = np.zeros(nv + 1)  # the slot past the dofs stays 0: motors without a joint
        self._rne_out = self._bias[:nv]
        qadr = [int(model.jnt_qposadr[i]) for i in ids if i is not None]
        dof = [nv if i is None else int(model.jnt_dofadr[i]) for i in ids]
        # The common layout, every motor a joint in model order, goes by slices:
        # q straight into qpos, the torques straight out of rne's result.
        self._qadr = None if _consecutive(qadr, n) else np.array(qadr, dtype=np.intp)
        self._q = data.qpos[qadr[0]:qadr[0] + n] if self._qadr is None and n else np.zeros(n)
        self._named = np.array([k for k, i in enumerate(ids) if i is not None], dtype=np.intp)
        self._dof = None if _consecutive(dof, n) else np.array(dof, dtype=np.intp)
        self._tau = self._bias[dof[0]:dof[0] + n] if self._dof is None and n else np.zeros(0)
        self._q_in = memoryview(self._q)
        # rne reads velocities and their products; held at zero, it returns gravity alone.
        data.qvel[:] = 0.0
        data.cvel[:] = 0.0
        data.cdof_dot[:] = 0.0

    @staticmethod
    def _joint_id(model: Any, path: Any, name: str | None) -> int | None:
        if name is None:
            return None
        if not isinstance(name, str):
            raise TypeError(f"a joint name must be a str or None, not {type(name).__name__}")
        i = mujoco.mj_name2id(model, mujoco.mjtObj.mjOBJ_JOINT, name)
        if i < 0 or int(model.jnt_type[i]) not in _ONE_DOF:
            known = ", ".join(model.joint(j).name for j in range(model.njnt)
                              if int(model.jnt_type[j]) in _ONE_DOF)
            why = "no joint" if i < 0 else "not a hinge or slide joint"
            raise ValueError(f"{name!r}: {why} of that name in {os.fspath(path)}; "
                             f"its hinge and slide joints: {known}")
        return int(i)

    @property
    def joints(self) -> tuple[str | None, ...]:
        return self._joints

    def __len__(self) -> int:
        return len(self._joints)

    def __repr__(self) -> str:
        return f"Gravity({len(self)} motors: {', '.join(str(j) for j in self._joints)})"

    def torques(self, q: Any, out: Any = None) -> Any:
        """The torque (N m; N for a slide joint) each motor must give to hold
        the arm still at positions q (rad or m, motor order). Fills `out` (a
        writable float64 buffer of len(self): array.array('d'), a numpy array,
        a memoryview) and returns it; with out=None, a new array.array('d')."""
        n = len(self._joints)
        if len(q) != n:
            raise ValueError(f"q has {len(q)} positions, this Gravity has {n} motors")
        qv = self._q
        if type(q) is list:
            qv[:] = q
        else:
            try:
                self._q_in[:] = q  # a buffer of doubles, copied without numpy's conversions
            except (TypeError, ValueError):
                qv[:] = q
        # Squares of finite positions stay finite; an inf or a nan makes the sum so.
        if not math.isfinite(qv.dot(qv)):
            finite = np.isfinite(qv)
            if not finite.all():
                bad = int(np.flatnonzero(~finite)[0])
                raise ValueError(f"q[{bad}] = {float(qv[bad])}: positions must be finite")
        if self._qadr is not None:
            self._data.qpos[self._qadr] = qv[self._named]
        m, d = self._model, self._data
        mujoco.mj_kinematics(m, d)
        mujoco.mj_comPos(m, d)
        mujoco.mj_rne(m, d, 0, self._rne_out)

        tau = self._tau if self._dof is None else self._bias[self._dof]
        if out is None:
            return array.array("d", tau.tobytes())
        _fill(out, tau)
        return out


def _consecutive(addresses: list[int], n: int) -> bool:
    """n addresses, each one past the one before."""
    return n > 0 and len(addresses) == n and addresses == list(range(addresses[0], addresses[0] + n))


def _fill(out: Any, tau: Any) -> None:
    """Copies tau into out, a writable one-dimensional buffer of doubles of its length."""
    if isinstance(out, np.ndarray):
        ok, length = out.dtype == _F64 and out.ndim == 1 and out.flags.writeable, len(out)
        target: Any = out
    else:
        try:
            target = memoryview(out)
        except TypeError:
            target = None  # not a buffer: filling a copy would leave out as it was
        ok = target is not None and target.format == "d" and target.ndim == 1 and not target.readonly
        length = len(target) if ok else 0
    if not ok:
        raise TypeError("out must be a writable one-dimensional buffer of float64 "
                        "(array.array('d'), a float64 numpy array, a memoryview of doubles), "
                        f"not {type(out).__name__}")
    if length != len(tau):
        raise ValueError(f"out has {length} slots, this Gravity has {len(tau)} motors")
    target[:] = tau
