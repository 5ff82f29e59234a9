#include "sim/options.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "damiao/registers.hpp"
#include "sim/bus_errors.hpp"
#include "sim/parse_number.hpp"
#include "sim/state_file.hpp"

namespace torvane::sim {

namespace {

std::optional<double> parse_double(std::string_view s) {
    const auto value = parse_real<double>(s);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return value;
}

std::string model_names() {
    std::string out;
    for (const auto& m : models()) {
        if (!out.empty()) out += ", ";
        out.append(m.name);
    }
    return out;
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '\'';
    out.append(s);
    out += '\'';
    return out;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (std::size_t from = 0;;) {
        const auto to = s.find(sep, from);
        out.push_back(s.substr(from, to == std::string_view::npos ? to : to - from));
        if (to == std::string_view::npos) return out;
        from = to + 1;
    }
}

// What SocketCAN takes: IFNAMSIZ less the terminator.
bool valid_iface(std::string_view name) { return !name.empty() && name.size() < 16; }

constexpr std::pair<std::string_view, Fault> kFaultNames[] = {
    {"overvoltage", Fault::OverVoltage},   {"undervoltage", Fault::UnderVoltage},
    {"overcurrent", Fault::OverCurrent},   {"overload", Fault::Overload},
    {"mos_overtemp", Fault::MosOverTemp},  {"rotor_overtemp", Fault::RotorOverTemp},
};

std::string fault_names() {
    std::string out;
    for (const auto& [name, f] : kFaultNames) {
        if (!out.empty()) out += ", ";
        out.append(name);
    }
    return out;
}

}  // namespace

std::expected<MotorArg, std::string> parse_motor(std::string_view text) {
    const auto bad = [&](std::string why) {
        return std::unexpected("--motor " + quoted(text) + ": " + why);
    };
    // A joint's name may hold any character but '@'.
    const auto at = text.find('@');
    const std::string_view joint = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
    if (at != std::string_view::npos && (joint.empty() || joint.find('@') != std::string_view::npos))
        return bad("expected a joint name after '@', e.g. 2:0x12:dm8009@joint2");
    auto fields = split(text.substr(0, at), ':');
    if (fields.size() != 3 && fields.size() != 4)
        return bad("expected [IFACE:]CMD:FB:MODEL, e.g. 1:0x11:dm4310 or vcan1:1:0x11:dm4310");
    std::string_view iface;
    if (fields.size() == 4) {
        iface = fields[0];
        fields.erase(fields.begin());
        if (!valid_iface(iface)) return bad("not an interface name: " + quoted(iface));
    }
    const auto cmd = parse_uint<std::uint32_t>(fields[0]);
    const auto fb = parse_uint<std::uint32_t>(fields[1]);
    const auto model = find_model(fields[2]);
    // Commands travel on the 11-bit id; 0x7FF is the register channel.
    if (!cmd || *cmd >= 0x7FF) return bad("command id must be a number from 0 to 0x7FE");
    if (!fb || *fb > 0x7FF) return bad("feedback id must be a number from 0 to 0x7FF");
    if (!model) return bad("unknown model; known: " + model_names());
    return MotorArg{static_cast<std::uint16_t>(*cmd), static_cast<std::uint16_t>(*fb), *model, std::string(iface),
                    std::string(joint)};
}

std::optional<Fault> find_fault(std::string_view name) {
    for (const auto& [n, f] : kFaultNames)
        if (n == name) return f;
    return std::nullopt;
}

namespace {

// "[IFACE:]ID:NAME", the head --fault and --register share; the reason when
// it is not one.
struct IdHead {
    std::string_view iface;
    std::uint16_t cmd = 0;
    std::string_view name;
};

std::expected<IdHead, std::string> parse_id_head(std::string_view head, const char* shape) {
    auto fields = split(head, ':');
    if (fields.size() != 2 && fields.size() != 3) return std::unexpected(std::string("expected ") + shape);
    IdHead out;
    if (fields.size() == 3) {
        out.iface = fields[0];
        fields.erase(fields.begin());
        if (!valid_iface(out.iface)) return std::unexpected("not an interface name: " + quoted(out.iface));
    }
    const auto cmd = parse_uint<std::uint32_t>(fields[0]);
    if (!cmd || *cmd >= 0x7FF) return std::unexpected(std::string("command id must be a number from 0 to 0x7FE"));
    out.cmd = static_cast<std::uint16_t>(*cmd);
    out.name = fields[1];
    return out;
}

}  // namespace

std::expected<FaultArg, std::string> parse_fault(std::string_view text) {
    const auto bad = [&](std::string why) {
        return std::unexpected("--fault " + quoted(text) + ": " + why);
    };
    constexpr const char* kShape = "[IFACE:]ID:NAME@SECONDS, e.g. 1:overcurrent@2.5";
    const auto at = text.rfind('@');
    if (at == std::string_view::npos) return bad(std::string("expected ") + kShape);
    const auto head = parse_id_head(text.substr(0, at), kShape);
    if (!head) return bad(head.error());
    const auto fault = find_fault(head->name);
    if (!fault) return bad("unknown fault; known: " + fault_names());
    const auto seconds = parse_double(text.substr(at + 1));
    if (!seconds || *seconds < 0.0 || *seconds > 1e9) return bad("expected seconds after start, e.g. @2.5");
    return FaultArg{head->cmd, *fault, *seconds, std::string(head->iface)};
}

std::expected<BusErrorArg, std::string> parse_bus_error(std::string_view text) {
    const auto bad = [&](std::string why) {
        return std::unexpected("--bus-error " + quoted(text) + ": " + why);
    };
    const auto at = text.rfind('@');
    auto fields = split(text.substr(0, at), ':');
    if (at == std::string_view::npos || fields.size() > 2)
        return bad("expected [IFACE:]KIND@SECONDS, e.g. no-ack@1.5 or vcan1:bus-off@2");
    std::string_view iface;
    if (fields.size() == 2) {
        iface = fields[0];
        if (!valid_iface(iface)) return bad("not an interface name: " + quoted(iface));
    }
    if (!bus_error_frame(fields.back())) return bad("unknown kind; known: " + bus_error_kind_names());
    const auto seconds = parse_double(text.substr(at + 1));
    if (!seconds || *seconds < 0.0 || *seconds > 1e9) return bad("expected seconds after start, e.g. @1.5");
    return BusErrorArg{std::string(fields.back()), *seconds, std::string(iface)};
}

std::expected<BusOffArg, std::string> parse_bus_off(std::string_view text) {
    const auto bad = [&](std::string why) {
        return std::unexpected("--bus-off " + quoted(text) + ": " + why);
    };
    const auto fields = split(text, ':');
    if (fields.size() > 2) return bad("expected [IFACE:]SECONDS+DURATION, e.g. 0.5+0.5 or vcan1:2+1");
    std::string_view iface, times = fields.back();
    if (fields.size() == 2) {
        iface = fields[0];
        if (!valid_iface(iface)) return bad("not an interface name: " + quoted(iface));
    }
    const auto plus = times.rfind('+');
    if (plus == std::string_view::npos) return bad("expected SECONDS+DURATION, e.g. 0.5+0.5");
    const auto at = parse_double(times.substr(0, plus));
    const auto duration = parse_double(times.substr(plus + 1));
    if (!at || *at < 0.0 || *at > 1e9) return bad("expected seconds after start before '+', e.g. 0.5+0.5");
    if (!duration || *duration <= 0.0 || *duration > 1e9) return bad("expected a positive duration after '+'");
    return BusOffArg{*at, *duration, std::string(iface)};
}

std::expected<RegisterArg, std::string> parse_register(std::string_view text) {
    const auto bad = [&](std::string why) {
        return std::unexpected("--register " + quoted(text) + ": " + why);
    };
    constexpr const char* kShape = "[IFACE:]ID:NAME=VALUE, e.g. 1:TIMEOUT=0";
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) return bad(std::string("expected ") + kShape);
    const auto head = parse_id_head(text.substr(0, eq), kShape);
    if (!head) return bad(head.error());
    const auto info = damiao::find_register_named(damiao::kRegisters, head->name);
    // The table is long; say where to see it rather than print it.
    if (!info) return bad("no register named " + quoted(head->name) + " ('dmtool info ID' lists every register)");
    if (info->read_only) return bad(std::string(info->name) + " is read-only");
    const auto value = parse_register_value(info->type, text.substr(eq + 1));
    if (!value)
        return bad(std::string(info->name) + " takes " +
                   (info->type == damiao::RegisterType::Float ? "a number" : "an integer from 0 to 4294967295"));
    if (info->number == damiao::kRegControlMode && (*value < damiao::kModeMit || *value > damiao::kModeForcePos))
        return bad("CTRL_MODE must be 1 (MIT), 2 (POS_VEL), 3 (VEL) or 4 (FORCE_POS)");
    return RegisterArg{head->cmd, info->number, *value, std::string(head->iface)};
}

std::vector<std::string> Options::interfaces() const {
    std::vector<std::string> out;
    for (const auto& m : motors)
        if (std::find(out.begin(), out.end(), iface_of(m)) == out.end()) out.push_back(iface_of(m));
    return out;
}

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args) {
    Options o;
    // For messages about the arguments as the user wrote them.
    std::vector<std::string_view> motor_texts, fault_texts, register_texts, bus_texts;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::optional<std::string_view> inline_value;
        if (arg.starts_with("--")) {
            if (const auto eq = arg.find('='); eq != std::string_view::npos) {
                inline_value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
            }
        }
        const auto flag = [&]() -> std::expected<void, std::string> {
            if (inline_value) return std::unexpected(std::string(arg) + " takes no value");
            return {};
        };
        const auto value = [&]() -> std::expected<std::string_view, std::string> {
            if (inline_value) return *inline_value;
            if (i + 1 >= args.size()) return std::unexpected(std::string(arg) + " needs a value");
            return args[++i];
        };
        const auto invalid = [&](std::string_view v, const char* what) {
            return std::unexpected(std::string(arg) + " " + quoted(v) + ": " + what);
        };

        if (arg == "--help" || arg == "-h") {
            if (auto f = flag(); !f) return std::unexpected(f.error());
            o.help = true;
        } else if (arg == "--verbose" || arg == "-v") {
            if (auto f = flag(); !f) return std::unexpected(f.error());
            o.verbose = true;
        } else if (arg == "--iface") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            if (!valid_iface(*v)) return invalid(*v, "not an interface name");
            o.iface = std::string(*v);
        } else if (arg == "--motor") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            auto m = parse_motor(*v);
            if (!m) return std::unexpected(m.error());
            o.motors.push_back(std::move(*m));
            motor_texts.push_back(*v);
        } else if (arg == "--mode") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            const auto n = parse_uint<std::uint32_t>(*v);
            if (!n || *n < damiao::kModeMit || *n > damiao::kModeForcePos)
                return invalid(*v, "mode must be 1 (MIT), 2 (POS_VEL), 3 (VEL) or 4 (FORCE_POS)");
            o.mode = *n;
        } else if (arg == "--latency-us") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            const auto n = parse_uint<std::uint64_t>(*v);
            if (!n || *n > 60'000'000) return invalid(*v, "expected microseconds, at most 60000000");
            o.latency_us = *n;
        } else if (arg == "--latency-jitter-us") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            const auto n = parse_uint<std::uint64_t>(*v);
            if (!n || *n > 60'000'000) return invalid(*v, "expected microseconds, at most 60000000");
            o.latency_jitter_us = *n;
        } else if (arg == "--fault") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            auto f = parse_fault(*v);
            if (!f) return std::unexpected(f.error());
            o.faults.push_back(std::move(*f));
            fault_texts.push_back(*v);
        } else if (arg == "--bus-error") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            auto e = parse_bus_error(*v);
            if (!e) return std::unexpected(e.error());
            o.bus_errors.push_back(std::move(*e));
        } else if (arg == "--bus-off") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            auto b = parse_bus_off(*v);
            if (!b) return std::unexpected(b.error());
            o.bus_offs.push_back(std::move(*b));
            bus_texts.push_back(*v);
        } else if (arg == "--fd-replies") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            if (*v == "fd") o.fd_replies = FdReplies::Fd;
            else if (*v == "classic") o.fd_replies = FdReplies::Classic;
            else if (*v == "none") o.fd_replies = FdReplies::None;
            else return invalid(*v, "expected fd, classic or none");
        } else if (arg == "--shared-id") {
            if (auto f = flag(); !f) return std::unexpected(f.error());
            o.shared_id = true;
        } else if (arg == "--register") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            auto r = parse_register(*v);
            if (!r) return std::unexpected(r.error());
            o.registers.push_back(std::move(*r));
            register_texts.push_back(*v);
        } else if (arg == "--bitrate" || arg == "--data-bitrate") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            const auto n = parse_uint<std::uint64_t>(*v);
            if (!n || *n < 1000 || *n > 100'000'000) return invalid(*v, "expected bit/s, 1000 to 100000000");
            (arg == "--bitrate" ? o.bitrate : o.data_bitrate) = *n;
        } else if (arg == "--state") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            if (v->empty()) return invalid(*v, "expected a file name");
            o.state_path = std::string(*v);
        } else if (arg == "--drop-probability") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            const auto p = parse_double(*v);
            if (!p || *p < 0.0 || *p > 1.0) return invalid(*v, "expected a probability from 0 to 1");
            o.drop_probability = *p;
        } else if (arg == "--seed") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            const auto n = parse_uint<std::uint64_t>(*v);
            if (!n) return invalid(*v, "expected a non-negative integer");
            o.seed = *n;
        } else if (arg == "--log") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            if (v->empty()) return invalid(*v, "expected a file name or '-'");
            o.log_path = std::string(*v);
        } else if (arg == "--model") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            if (v->empty()) return invalid(*v, "expected a model file (MJCF or URDF)");
            o.model_path = std::string(*v);
        } else if (arg == "--duration") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            const auto s = parse_double(*v);
            if (!s || *s <= 0.0 || *s > 1e9) return invalid(*v, "expected a positive number of seconds");
            o.duration_s = *s;
        } else {
            return std::unexpected("unknown argument " + quoted(args[i]));
        }
    }
    if (o.help) return o;
    if (o.motors.empty()) return std::unexpected(std::string("at least one --motor is required"));
    // Ids are per bus: the same command id may be used on two interfaces.
    for (std::size_t i = 0; i < o.motors.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (!o.shared_id && o.motors[j].cmd_id == o.motors[i].cmd_id &&
                o.iface_of(o.motors[j]) == o.iface_of(o.motors[i]))
                return std::unexpected("--motor " + quoted(motor_texts[i]) +
                                       ": command id given twice (--shared-id lets motors share one)");
    // A fault or register names one interface's motors with that command id
    // (several only under --shared-id, and then it is every one of them).
    const auto one_interface = [&](std::uint16_t cmd_id, const std::string& iface, std::string_view option,
                                   std::string_view text, const char* form) -> std::expected<void, std::string> {
        std::vector<std::string> on;
        for (const auto& m : o.motors)
            if (m.cmd_id == cmd_id && (iface.empty() || o.iface_of(m) == iface) &&
                std::find(on.begin(), on.end(), o.iface_of(m)) == on.end())
                on.push_back(o.iface_of(m));
        if (on.empty()) return std::unexpected(std::string(option) + " " + quoted(text) + ": no --motor with that command id");
        if (on.size() > 1)
            return std::unexpected(std::string(option) + " " + quoted(text) +
                                   ": that command id is on several interfaces; name one as " + form);
        return {};
    };
    for (std::size_t i = 0; i < o.faults.size(); ++i)
        if (auto ok = one_interface(o.faults[i].cmd_id, o.faults[i].iface, "--fault", fault_texts[i],
                                    "IFACE:ID:NAME@SECONDS");
            !ok)
            return std::unexpected(ok.error());
    for (std::size_t i = 0; i < o.registers.size(); ++i)
        if (auto ok = one_interface(o.registers[i].cmd_id, o.registers[i].iface, "--register", register_texts[i],
                                    "IFACE:ID:NAME=VALUE");
            !ok)
            return std::unexpected(ok.error());
    const auto ifaces = o.interfaces();
    const auto has_motors = [&](const std::string& name) {
        return std::find(ifaces.begin(), ifaces.end(), name) != ifaces.end();
    };
    for (const auto& e : o.bus_errors)
        if (!has_motors(o.iface_named(e.iface)))
            return std::unexpected("--bus-error: no --motor on " + o.iface_named(e.iface));
    for (std::size_t i = 0; i < o.bus_offs.size(); ++i) {
        const auto& b = o.bus_offs[i];
        if (!has_motors(o.iface_named(b.iface)))
            return std::unexpected("--bus-off " + quoted(bus_texts[i]) + ": no --motor on " + o.iface_named(b.iface));
        for (std::size_t j = 0; j < i; ++j) {
            const auto& a = o.bus_offs[j];
            if (o.iface_named(a.iface) == o.iface_named(b.iface) && a.at_s < b.at_s + b.duration_s &&
                b.at_s < a.at_s + a.duration_s)
                return std::unexpected("--bus-off " + quoted(bus_texts[i]) + ": overlaps " + quoted(bus_texts[j]));
        }
    }
    if (o.data_bitrate && !o.bitrate) return std::unexpected(std::string("--data-bitrate needs --bitrate"));
    for (std::size_t i = 0; i < o.motors.size(); ++i) {
        const auto& m = o.motors[i];
        const std::string which = "--motor " + quoted(motor_texts[i]);
        if (!o.model_path && !m.joint.empty())
            return std::unexpected(which + ": @" + m.joint + " names a joint, but no --model FILE was given");
        if (o.model_path && m.joint.empty())
            return std::unexpected(which + ": with --model every motor drives a joint: add @JOINT, e.g. " +
                                   std::string(motor_texts[i]) + "@joint1");
        for (std::size_t j = 0; j < i; ++j)
            if (o.model_path && o.motors[j].joint == m.joint)
                return std::unexpected(which + ": joint " + quoted(m.joint) + " already has motor " +
                                       quoted(motor_texts[j]));
    }
    return o;
}

std::string synopsis() {
    return "usage: dmsim [--iface NAME] --motor [IFACE:]CMD:FB:MODEL[@JOINT] [--motor ...]\n"
           "             [--model FILE] [--mode N] [--latency-us N] [--latency-jitter-us N]\n"
           "             [--bitrate N [--data-bitrate N]] [--state FILE]\n"
           "             [--drop-probability P] [--seed N]\n"
           "             [--fault [IFACE:]ID:NAME@SECONDS ...] [--register [IFACE:]ID:NAME=VALUE ...]\n"
           "             [--bus-error [IFACE:]KIND@SECONDS ...] [--bus-off [IFACE:]SECONDS+DURATION ...]\n"
           "             [--fd-replies fd|classic|none] [--shared-id]\n"
           "             [--log FILE|-] [--duration SECONDS] [--verbose]\n";
}

std::string usage() {
    return synopsis() +
           "\n"
           "Plays Damiao motors on SocketCAN interfaces: answers their commands and\n"
           "register frames and simulates the rotor between frames, or with --model the\n"
           "joints of a robot the motors drive.\n"
           "\n"
           "  --iface NAME            interface of the motors that name none (default vcan0)\n"
           "  --motor [IFACE:]CMD:FB:MODEL[@JOINT]\n"
           "                          one motor: interface, command id, feedback id,\n"
           "                          model preset and, with --model, the joint it\n"
           "                          drives; ids decimal or 0x-hex, e.g. 1:0x11:dm4310,\n"
           "                          vcan1:1:0x11:dm4310 or 2:0x12:dm8009@joint2\n"
           "                          (repeatable; command ids are per interface; one\n"
           "                          motor per joint)\n"
           "  --model FILE            a MuJoCo model (MJCF, or URDF as MuJoCo reads it)\n"
           "                          of the robot the motors drive: gravity, links, and\n"
           "                          the joints' limits as end stops. Each motor's\n"
           "                          control law runs at every physics step (the\n"
           "                          model's timestep, at most 1 ms), its torque capped\n"
           "                          at the preset's peak; feedback is its joint's\n"
           "                          state. The physics keeps to the clock and reports\n"
           "                          its real-time factor every 5 s. Needs libmujoco\n"
           "                          (pip install mujoco; TORVANE_MUJOCO_LIB=PATH picks\n"
           "                          the library file)\n"
           "  --mode N                starting control mode: 1 MIT, 2 POS_VEL (default), 3 VEL,\n"
           "                          4 FORCE_POS; a motor's saved mode wins\n"
           "  --latency-us N          delay every reply by N microseconds (default 0)\n"
           "  --latency-jitter-us N   and by a random 0 to N microseconds more, drawn per\n"
           "                          reply; a motor's replies keep their order (default 0)\n"
           "  --bitrate N             answer no sooner than a bus of N bit/s could carry the\n"
           "                          traffic, every frame counted; each interface is a bus\n"
           "                          of its own (default: no wire time)\n"
           "  --data-bitrate N        the CAN FD data phase's rate (default: --bitrate)\n"
           "  --state FILE            keep the registers motors save in FILE: read at start,\n"
           "                          written at every save (default: kept until exit)\n"
           "  --drop-probability P    leave a reply unsent with probability P (default 0)\n"
           "  --seed N                seed of the drops and the jitter (default 1)\n"
           "  --fault [IFACE:]ID:NAME@SECONDS\n"
           "                          the motor with command id ID latches fault NAME that\n"
           "                          many seconds after start: it disables itself, replies\n"
           "                          with the fault's code, ignores commands until\n"
           "                          clear_error (repeatable); NAME: overvoltage,\n"
           "                          undervoltage, overcurrent, overload, mos_overtemp,\n"
           "                          rotor_overtemp\n"
           "  --register [IFACE:]ID:NAME=VALUE\n"
           "                          the motor with command id ID starts with register\n"
           "                          NAME (as 'dmtool info ID' names them, any case)\n"
           "                          at VALUE, over its saved value and the default,\n"
           "                          e.g. 1:TIMEOUT=1000 or 2:can_br=2; not saved unless\n"
           "                          the motor is told to save (repeatable; writable\n"
           "                          registers only)\n"
           "  --bus-error [IFACE:]KIND@SECONDS\n"
           "                          write one error frame on the interface (default\n"
           "                          --iface) that many seconds after start, laid out as\n"
           "                          a driver delivers it; only sockets that ask for\n"
           "                          error frames get it (repeatable). KIND: " +
           bus_error_kind_names() + "\n"
           "  --bus-off [IFACE:]SECONDS+DURATION\n"
           "                          the interface is bus-off for DURATION seconds from\n"
           "                          SECONDS: a bus-off error frame at the start, no\n"
           "                          request answered (dropped, counted with --verbose),\n"
           "                          a restarted error frame at the end (repeatable)\n"
           "  --fd-replies fd|classic|none\n"
           "                          how CAN FD requests are answered: FD frames (the\n"
           "                          default), classic frames of the same bytes, or not\n"
           "                          at all; classic requests always get classic replies\n"
           "  --shared-id             let motors on one interface share a command id:\n"
           "                          each answers every request to it with its own reply.\n"
           "                          Serials (SN, register 15) stay distinct: 0x5100 + ID,\n"
           "                          plus 0x10000 per earlier --motor with that ID\n"
           "  --log FILE|-            log every frame in and out, candump -L format\n"
           "  --duration SECONDS      exit after this long (default: until SIGINT/SIGTERM)\n"
           "  --verbose               report ignored frames and dropped replies on stderr\n"
           "  --help                  show this text\n"
           "\n"
           "models: " +
           model_names() + "\n";
}

}  // namespace torvane::sim
