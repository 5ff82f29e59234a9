"""LeRobot's OpenArm motor list as dmsim plays it, and the configurations of
both robot types on vcan0 (left) and vcan1 (right)."""

IFACES = ("vcan0", "vcan1")
MODELS = ("dm8009", "dm8009", "dm4340", "dm4340", "dm4310", "dm4310", "dm4310", "dm4310")
SIM_MOTORS = [f"{i}:0x{0x10 + i:x}:{m}" for i, m in enumerate(MODELS, start=1)]
# MIT mode, as LeRobot expects its motors to be already.
SIM_ARGS = ["--mode", "1"]
# Generous: the emulated guest can stall a reply for tens of milliseconds.
TIMEOUT_MS = 400


def start_arms(start_dmsim, ifaces=IFACES, args=()):
    return [start_dmsim(*SIM_MOTORS, iface=i, args=[*SIM_ARGS, *args]) for i in ifaces]


def arm_config(cls, port, **kw):
    return cls(port=port, timeout_ms=TIMEOUT_MS, **kw)
