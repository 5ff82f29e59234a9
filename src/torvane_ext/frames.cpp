// decode_frame and DecodedFrame: the core's reading of one frame, with the
// caller's containers as its lookups, and the names its values go by.

#include <Python.h>

#include <cstdio>
#include <type_traits>

#include "damiao/float_text.hpp"
#include "damiao/status.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

namespace {

NamedValue real(const char* name, float f) { return {name, true, f, 0}; }
NamedValue whole(const char* name, std::uint32_t i) { return {name, false, 0, i}; }

// `key in container`, the key's reference taken; after a failure, none is looked up.
bool holds(void* container, PyObject* key, bool& failed) {
    if (failed || !key) {
        Py_XDECREF(key);
        failed = true;
        return false;
    }
    const int found = PySequence_Contains(static_cast<PyObject*>(container), key);
    Py_DECREF(key);
    failed = found < 0;
    return found == 1;
}

}  // namespace

std::expected<DecodedFrame, PythonRaised> decode_frame(FrameId can_id, const FrameData& data,
                                                       const std::optional<MitLimits>& limits,
                                                       std::optional<std::uint16_t> feedback_of, const MotorIds& motors,
                                                       const AskedArg& asked) {
    bool failed = false;
    damiao::FrameContext context{limits.value_or(MitLimits{}), feedback_of, {}, {}};
    if (motors.container)
        context.known = [&](std::uint16_t id) { return holds(motors.container, PyLong_FromLong(id), failed); };
    if (asked.container)
        context.asked = [&](const damiao::AskedRegister& r) {
            const auto kind = r.op == damiao::kRegRead ? damiao::FrameKind::RegRead : damiao::FrameKind::RegWrite;
            PyObject* key = Py_BuildValue("(sII)", damiao::kind_name(kind), unsigned{r.motor_id}, unsigned{r.reg});
            return holds(asked.container, key, failed);
        };
    damiao::FrameReading r = damiao::read_frame(can_id.value, {data.bytes.data(), data.size}, context);
    if (failed) return std::unexpected(PythonRaised{});
    DecodedFrame out{r.kind, r.motor_id, std::move(r.values), {}, {}, {}};
    if (const auto* s = std::get_if<MotorState>(&out.values)) out.status.code = s->error;
    if (const auto* e = std::get_if<damiao::ErrorFields>(&out.values)) {
        out.error = can::error_text(e->classes, e->data);
        if (e->reading.state) out.state = StateName{*e->reading.state};
    }
    return out;
}

NamedValues named_values(const damiao::FrameValues& values) {
    NamedValues out;
    auto add = [&](NamedValue v) { out.items[out.size++] = v; };
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, damiao::MitSetpoint>) {
                for (NamedValue x : {real("q", v.q), real("dq", v.dq), real("kp", v.kp), real("kd", v.kd),
                                     real("tau", v.tau)})
                    add(x);
            } else if constexpr (std::is_same_v<T, damiao::PosVelCommand>) {
                add(real("q", v.q));
                add(real("dq", v.dq));
            } else if constexpr (std::is_same_v<T, damiao::VelCommand>) {
                add(real("dq", v.dq));
            } else if constexpr (std::is_same_v<T, damiao::ForcePosCommand>) {
                for (NamedValue x : {real("q", v.q), real("v_limit", v.v_limit), real("i_limit", v.i_limit)}) add(x);
            } else if constexpr (std::is_same_v<T, MotorState>) {
                for (NamedValue x : {real("position", v.position), real("velocity", v.velocity),
                                     real("torque", v.torque), whole("t_mos", v.t_mos), whole("t_rotor", v.t_rotor)})
                    add(x);
            } else if constexpr (std::is_same_v<T, damiao::RegisterField>) {
                add(whole("register", v.number));
                if (v.value && v.value->type == damiao::RegisterType::Float) add(real("value", v.value->as_float()));
                if (v.value && v.value->type == damiao::RegisterType::Uint32) add(whole("value", v.value->bits));
            } else if constexpr (std::is_same_v<T, damiao::ErrorFields>) {
                // linux/can/error.h's bytes: 0 arbitration bit, 1 controller, 2-3 protocol, 4 transceiver,
                // 6-7 error counters.
                const auto& d = v.data;
                for (NamedValue x : {whole("classes", v.classes), whole("arbitration_bit", d[0]),
                                     whole("controller", d[1]), whole("protocol", d[2]), whole("location", d[3]),
                                     whole("transceiver", d[4]), whole("tx_errors", d[6]), whole("rx_errors", d[7])})
                    add(x);
            }
        },
        values);
    return out;
}

std::string repr_text(const DecodedFrame& frame) {
    std::string s = std::string("DecodedFrame(kind='") + damiao::kind_name(frame.kind) + "', motor_id=";
    if (frame.motor_id) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%x", unsigned{*frame.motor_id});
        s += id;
    } else {
        s += "None";
    }
    s += ", values={";
    const NamedValues values = named_values(frame.values);
    for (std::size_t k = 0; k < values.size; ++k) {
        const NamedValue& v = values.items[k];
        s += (k ? ", '" : "'") + std::string(v.name) + "': " +
             (v.is_float ? damiao::float_text_with_fraction(v.f) : std::to_string(v.i));
    }
    if (frame.error) {
        (s += "}, error='") += *frame.error;
        if (!frame.state) return s += "', state=None)";
        return ((s += "', state='") += can::state_name(frame.state->state)) += "')";
    }
    s += "}, status=";
    if (!frame.status.code) {
        s += "None";
    } else if (const auto info = damiao::find_status(*frame.status.code)) {
        s += std::string(kStatusClass) + "." + info->name;
    } else {
        s += std::to_string(*frame.status.code);
    }
    return s + ")";
}

}  // namespace torvane::ext
