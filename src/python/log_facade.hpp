#pragma once
// The process-wide logging facade: one installed logger, its install state,
// and the most verbose level that may reach it at all.
//
// The module installs its bridge into Python's `logging` here at import
// (logging_bridge.hpp); none of its own code writes records. Plain C++: no
// Python in this part.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "python/fixed_texts.hpp"

namespace torvane::log {

// Most severe first: a smaller value is more severe.
enum class Level : std::uint8_t { Error = 1, Warn, Info, Debug, Trace };

// The most verbose level let through; Off lets nothing through.
enum class LevelFilter : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

constexpr bool passes(Level level, LevelFilter filter) {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

constexpr LevelFilter filter_of(Level level) { return static_cast<LevelFilter>(static_cast<std::uint8_t>(level)); }

struct Metadata {
    Level level;
    std::string_view target;  // "::"-separated path of the writing component
};

struct Record {
    Level level;
    std::string_view target;
    std::string_view message;
    std::optional<std::string_view> file;
    std::optional<std::uint32_t> line;

    Metadata metadata() const { return {level, target}; }
};

class Log {
public:
    virtual ~Log() = default;
    virtual bool enabled(const Metadata& metadata) const = 0;
    virtual void log(const Record& record) const = 0;
    virtual void flush() const = 0;
};

// What the facade holds until something is installed.
class NopLogger final : public Log {
public:
    bool enabled(const Metadata&) const override { return false; }
    void log(const Record&) const override {}
    void flush() const override {}
};

struct SetLoggerError {};
inline std::string to_string(SetLoggerError) { return py::text::kSetLoggerError; }

inline constexpr std::size_t UNINITIALIZED = 0;
inline constexpr std::size_t INITIALIZING = 1;
inline constexpr std::size_t INITIALIZED = 2;

// Install state: UNINITIALIZED, INITIALIZING or INITIALIZED.
extern constinit std::atomic<std::size_t> STATE;
// The installed logger; meaningful once STATE reads INITIALIZED (acquire).
extern constinit const Log* LOGGER;
extern constinit std::atomic<LevelFilter> MAX_LOG_LEVEL_FILTER;

// Makes `logger` the process-wide logger, owned by the facade for good, if
// none is installed yet; otherwise drops it and fails.
std::expected<void, SetLoggerError> set_boxed_logger(std::unique_ptr<Log> logger);

void set_max_level(LevelFilter filter);
LevelFilter max_level();

// The installed logger, or a do-nothing one before installation.
const Log& logger();

// Hands `record` to the logger if its level passes the maximum level.
void log(const Record& record);

// Writes one record from C++, with the caller's file and line.
void write(Level level, std::string_view target, std::string_view message,
           std::source_location where = std::source_location::current());

}  // namespace torvane::log
