#include "python/log_facade.hpp"

namespace torvane::log {

namespace {

const NopLogger nop;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

}  // namespace

constinit std::atomic<std::size_t> STATE{UNINITIALIZED};
constinit const Log* LOGGER = &nop;
constinit std::atomic<LevelFilter> MAX_LOG_LEVEL_FILTER{LevelFilter::Off};

std::expected<void, SetLoggerError> set_boxed_logger(std::unique_ptr<Log> logger) {
    std::size_t state = UNINITIALIZED;
    if (STATE.compare_exchange_strong(state, INITIALIZING)) {
        LOGGER = logger.release();  // never freed: records may arrive until the process ends
        STATE.store(INITIALIZED, std::memory_order_release);
        return {};
    }
    // Someone else is installing: wait until they are done, then refuse.
    while (state == INITIALIZING) {
        cpu_relax();
        state = STATE.load(std::memory_order_relaxed);
    }
    return std::unexpected(SetLoggerError{});
}

void set_max_level(LevelFilter filter) { MAX_LOG_LEVEL_FILTER.store(filter, std::memory_order_relaxed); }

LevelFilter max_level() { return MAX_LOG_LEVEL_FILTER.load(std::memory_order_relaxed); }

const Log& logger() {
    if (STATE.load(std::memory_order_acquire) != INITIALIZED) return nop;
    return *LOGGER;
}

void log(const Record& record) {
    if (passes(record.level, max_level())) logger().log(record);
}

void write(Level level, std::string_view target, std::string_view message, std::source_location where) {
    log(Record{level, target, message, where.file_name(), where.line()});
}

}  // namespace torvane::log
