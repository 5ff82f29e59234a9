"""CAN frames on the wire, and the pure-Python MIT codec that the
python-can side of benchmarks/exchange.py runs."""

# dm4310 limits: position, velocity, kp, kd, torque.
P_MAX, V_MAX, KP_MAX, KD_MAX, T_MAX = 12.5, 30.0, 500.0, 5.0, 10.0

# One classic data frame with an 11-bit identifier and 8 data bytes: SOF 1,
# identifier 11, RTR 1, IDE 1, r0 1, DLC 4, data 64, CRC 15, CRC delimiter 1,
# ACK 2, EOF 7, intermission 3. Stuff bits can be inserted from SOF to the end
# of the CRC (98 bits), at most one after every four equal bits.
FRAME_BITS = 111
STUFFED_MAX = (1 + 11 + 1 + 1 + 1 + 4 + 64 + 15 - 1) // 4
BITRATE = 1_000_000


def _symmetric(x, m, k):
    if x < -m:
        x = -m
    elif x > m:
        x = m
    return int((x + m) * k / (m + m))


def _one_sided(x, m):
    if x < 0.0:
        x = 0.0
    elif x > m:
        x = m
    return int(x * 4095.0 / m)


def encode_setpoint(q, dq, kp, kd, tau):
    """The 8 command bytes of an MIT setpoint, dm4310 limits."""
    p = _symmetric(q, P_MAX, 65535.0)
    v = _symmetric(dq, V_MAX, 4095.0)
    kpc = _one_sided(kp, KP_MAX)
    kdc = _one_sided(kd, KD_MAX)
    t = _symmetric(tau, T_MAX, 4095.0)
    return bytes((p >> 8, p & 0xFF, v >> 4, ((v & 0xF) << 4) | (kpc >> 8), kpc & 0xFF,
                  kdc >> 4, ((kdc & 0xF) << 4) | (t >> 8), t & 0xFF))


def decode_feedback(d):
    """(motor_id, error, position, velocity, torque, t_mos, t_rotor) of a feedback frame."""
    p = (d[1] << 8) | d[2]
    v = (d[3] << 4) | (d[4] >> 4)
    t = ((d[4] & 0xF) << 8) | d[5]
    return (d[0] & 0xF, d[0] >> 4,
            p * (P_MAX + P_MAX) / 65535.0 - P_MAX,
            v * (V_MAX + V_MAX) / 4095.0 - V_MAX,
            t * (T_MAX + T_MAX) / 4095.0 - T_MAX,
            d[6], d[7])
