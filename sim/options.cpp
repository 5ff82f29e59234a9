#include "sim/options.hpp"

#include <cmath>

#include "sim/parse_number.hpp"

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

}  // namespace

std::expected<MotorArg, std::string> parse_motor(std::string_view text) {
    const auto bad = [&](std::string why) {
        return std::unexpected("--motor " + quoted(text) + ": " + why);
    };
    const auto c1 = text.find(':');
    const auto c2 = c1 == std::string_view::npos ? c1 : text.find(':', c1 + 1);
    if (c2 == std::string_view::npos || text.find(':', c2 + 1) != std::string_view::npos)
        return bad("expected CMD:FB:MODEL, e.g. 1:0x11:dm4310");
    const auto cmd = parse_uint<std::uint32_t>(text.substr(0, c1));
    const auto fb = parse_uint<std::uint32_t>(text.substr(c1 + 1, c2 - c1 - 1));
    const auto model = find_model(text.substr(c2 + 1));
    // Commands travel on the 11-bit id; 0x7FF is the register channel.
    if (!cmd || *cmd >= 0x7FF) return bad("command id must be a number from 0 to 0x7FE");
    if (!fb || *fb > 0x7FF) return bad("feedback id must be a number from 0 to 0x7FF");
    if (!model) return bad("unknown model; known: " + model_names());
    return MotorArg{static_cast<std::uint16_t>(*cmd), static_cast<std::uint16_t>(*fb), *model};
}

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args) {
    Options o;
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
            if (v->empty() || v->size() >= 16) return invalid(*v, "not an interface name");
            o.iface = std::string(*v);
        } else if (arg == "--motor") {
            auto v = value();
            if (!v) return std::unexpected(v.error());
            auto m = parse_motor(*v);
            if (!m) return std::unexpected(m.error());
            for (const auto& other : o.motors)
                if (other.cmd_id == m->cmd_id)
                    return std::unexpected("--motor " + quoted(*v) + ": command id given twice");
            o.motors.push_back(*m);
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
    if (o.data_bitrate && !o.bitrate) return std::unexpected(std::string("--data-bitrate needs --bitrate"));
    return o;
}

std::string synopsis() {
    return "usage: dmsim [--iface NAME] --motor CMD:FB:MODEL [--motor ...] [--mode N]\n"
           "             [--latency-us N] [--bitrate N [--data-bitrate N]] [--state FILE]\n"
           "             [--drop-probability P] [--seed N]\n"
           "             [--log FILE|-] [--duration SECONDS] [--verbose]\n";
}

std::string usage() {
    return synopsis() +
           "\n"
           "Plays Damiao motors on a SocketCAN interface: answers their commands and\n"
           "register frames and simulates the rotor between frames.\n"
           "\n"
           "  --iface NAME            CAN interface (default vcan0)\n"
           "  --motor CMD:FB:MODEL    one motor: command id, feedback id, model preset;\n"
           "                          ids decimal or 0x-hex, e.g. 1:0x11:dm4310 (repeatable)\n"
           "  --mode N                starting control mode: 1 MIT, 2 POS_VEL (default), 3 VEL,\n"
           "                          4 FORCE_POS; a motor's saved mode wins\n"
           "  --latency-us N          delay every reply by N microseconds (default 0)\n"
           "  --bitrate N             answer no sooner than a bus of N bit/s could carry the\n"
           "                          traffic, every frame counted (default: no wire time)\n"
           "  --data-bitrate N        the CAN FD data phase's rate (default: --bitrate)\n"
           "  --state FILE            keep the registers motors save in FILE: read at start,\n"
           "                          written at every save (default: kept until exit)\n"
           "  --drop-probability P    leave a reply unsent with probability P (default 0)\n"
           "  --seed N                seed of the drop decisions (default 1)\n"
           "  --log FILE|-            log every frame in and out, candump -L format\n"
           "  --duration SECONDS      exit after this long (default: until SIGINT/SIGTERM)\n"
           "  --verbose               report ignored frames and dropped replies on stderr\n"
           "  --help                  show this text\n"
           "\n"
           "models: " +
           model_names() + "\n";
}

}  // namespace torvane::sim
