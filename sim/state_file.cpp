#include "sim/state_file.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "damiao/float_text.hpp"
#include "damiao/registers.hpp"
#include "sim/parse_number.hpp"

namespace torvane::sim {

namespace {

constexpr std::string_view kHeader =
    "# dmsim state: the registers each motor saved. One [[IFACE:]CMD:FB:MODEL] section per\n"
    "# --motor argument; lines: register number, name, value.\n";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// Up to three words separated by runs of blanks; a fourth is an error.
std::optional<std::array<std::string_view, 3>> three_words(std::string_view s) {
    std::array<std::string_view, 3> words;
    for (auto& w : words) {
        s = trim(s);
        const auto end = s.find_first_of(" \t");
        w = s.substr(0, end);
        s = end == std::string_view::npos ? std::string_view{} : s.substr(end);
        if (w.empty()) return std::nullopt;
    }
    if (!trim(s).empty()) return std::nullopt;
    return words;
}

std::string value_text(damiao::RegisterType type, std::uint32_t bits) {
    if (type == damiao::RegisterType::Uint32) return std::to_string(bits);
    return damiao::float_text(std::bit_cast<float>(bits));
}

std::string os_error(std::string_view what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::optional<std::uint32_t> parse_register_value(damiao::RegisterType type, std::string_view text) {
    if (type == damiao::RegisterType::Uint32) return parse_uint<std::uint32_t>(text);
    const auto f = parse_real<float>(text);
    if (!f) return std::nullopt;
    return std::bit_cast<std::uint32_t>(*f);
}

std::string motor_key(const MotorArg& m) {
    char ids[24];
    std::snprintf(ids, sizeof ids, "0x%03X:0x%03X:", unsigned{m.cmd_id}, unsigned{m.fb_id});
    // Only a named interface is part of the key: the sections of files
    // written before motors could name one still match.
    return (m.iface.empty() ? std::string() : m.iface + ':') + ids + std::string(m.model.name);
}

std::expected<SavedMotors, std::string> parse_state(std::string_view text) {
    SavedMotors motors;
    SavedRegisters* section = nullptr;
    std::size_t line_no = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const std::string_view line = trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        ++line_no;
        const auto bad = [&](const std::string& why) {
            return std::unexpected("line " + std::to_string(line_no) + ": " + why);
        };
        if (line.empty() || line.front() == '#') continue;

        if (line.front() == '[') {
            if (line.back() != ']') return bad("a section is [CMD:FB:MODEL]");
            const auto motor = parse_motor(line.substr(1, line.size() - 2));
            if (!motor) return bad(motor.error());
            const auto [it, fresh] = motors.try_emplace(motor_key(*motor));
            if (!fresh) return bad("motor " + it->first + " appears twice");
            section = &it->second;
            continue;
        }
        if (!section) return bad("a register line before any [CMD:FB:MODEL] section");
        const auto words = three_words(line);
        if (!words) return bad("expected: NUMBER NAME VALUE");
        const auto [number_text, name, value_word] = *words;
        const auto number = parse_uint<std::uint8_t>(number_text);
        const auto info = number ? damiao::find_register(damiao::kRegisters, *number) : std::nullopt;
        if (!info || info->read_only) return bad("no writable register " + std::string(number_text));
        if (name != info->name) return bad("register " + std::string(number_text) + " is " + info->name);
        const auto value = parse_register_value(info->type, value_word);
        if (!value)
            return bad("not a " + std::string(damiao::type_name(info->type)) + " value: " + std::string(value_word));
        if (!section->try_emplace(*number, *value).second) return bad("register " + std::string(number_text) + " twice");
    }
    return motors;
}

std::string format_state(const SavedMotors& motors) {
    std::string out(kHeader);
    for (const auto& [key, regs] : motors) {
        out += '[' + key + "]\n";
        for (const auto& [number, bits] : regs) {
            const auto info = damiao::find_register(damiao::kRegisters, number);
            if (!info) continue;  // the model saves only table registers
            out += std::to_string(number) + ' ' + info->name + ' ' + value_text(info->type, bits) + '\n';
        }
    }
    return out;
}

std::expected<SavedMotors, std::string> read_state_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        if (errno == ENOENT) return SavedMotors{};
        return std::unexpected(os_error("cannot read state", path));
    }
    std::string text;
    char chunk[4096];
    while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, f)) text.append(chunk, n);
    const bool failed = std::ferror(f);
    std::fclose(f);
    if (failed) return std::unexpected(os_error("cannot read state", path));
    auto motors = parse_state(text);
    if (!motors) return std::unexpected("state " + path + ", " + motors.error());
    return motors;
}

std::expected<void, std::string> write_state_file(const std::string& path, const SavedMotors& motors) {
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return std::unexpected(os_error("cannot write state", tmp));
    const std::string text = format_state(motors);
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written) {
        auto e = os_error("cannot write state", tmp);
        std::remove(tmp.c_str());
        return std::unexpected(std::move(e));
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) return std::unexpected(os_error("cannot replace state", path));
    return {};
}

}  // namespace torvane::sim
