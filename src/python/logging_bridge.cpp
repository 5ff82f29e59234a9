#include "python/logging_bridge.hpp"

#include <Python.h>

#include <atomic>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/boundary.hpp"
#include "python/fixed_texts.hpp"
#include "python/log_facade.hpp"
#include "python/ref.hpp"

namespace torvane::py::logbridge {

using log::Level;
using log::LevelFilter;

namespace {

// Holds the interpreter lock for a scope; the caller may be any thread.
class Gil {
public:
    Gil() : state_(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

private:
    PyGILState_STATE state_;
};

int python_level(Level level) {
    switch (level) {
        case Level::Error: return 40;
        case Level::Warn: return 30;
        case Level::Info: return 20;
        case Level::Debug: return 10;
        case Level::Trace: break;
    }
    return 5;
}

// A target's cached Python logger and the filter its level gave at first use.
// Copies share the logger object; the reference is dropped under the lock
// because a cache node may die in whichever thread held the last snapshot.
class CacheEntry {
public:
    CacheEntry(LevelFilter filter, PyObject* logger) : filter(filter), logger_(Ref::borrow(logger)) {}
    CacheEntry(const CacheEntry& o) : filter(o.filter), logger_(Ref::borrow(o.logger())) {}  // lock held by the copier
    CacheEntry& operator=(const CacheEntry&) = delete;
    ~CacheEntry() {
        if (!Py_IsInitialized()) {
            logger_.release();  // the interpreter is gone; nothing left to release
            return;
        }
        Gil gil;
        logger_ = Ref();
    }

    PyObject* logger() const { return logger_.get(); }

    LevelFilter filter;

private:
    Ref logger_;
};

std::vector<std::string_view> segments(std::string_view target) {
    std::vector<std::string_view> out;
    for (;;) {
        const auto sep = target.find("::");
        out.push_back(target.substr(0, sep));
        if (sep == std::string_view::npos) return out;
        target.remove_prefix(sep + 2);
    }
}

std::string python_name(std::string_view target) {
    std::string name;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == ':' && i + 1 < target.size() && target[i + 1] == ':') {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

}  // namespace

// One node per target segment; published nodes are never modified.
struct CacheNode {
    std::optional<CacheEntry> local;
    std::map<std::string, std::shared_ptr<const CacheNode>, std::less<>> children;
};

struct Cache {
    std::atomic<std::shared_ptr<const CacheNode>> root{std::make_shared<const CacheNode>()};
};

void ResetHandle::reset() const { cache_->root.store(std::make_shared<const CacheNode>()); }

namespace {

const CacheNode* find(const CacheNode& root, std::string_view target) {
    const CacheNode* node = &root;
    for (std::string_view segment : segments(target)) {
        auto it = node->children.find(segment);
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
    }
    return node;
}

// A copy of `node` (or a new empty node) in which the path below carries
// `entry`; subtrees off the path are shared with the old tree.
std::shared_ptr<const CacheNode> with_entry(const CacheNode* node, std::span<const std::string_view> path,
                                            const CacheEntry& entry) {
    auto copy = node ? std::make_shared<CacheNode>(*node) : std::make_shared<CacheNode>();
    if (path.empty()) {
        copy->local.emplace(entry);
        return copy;
    }
    auto it = copy->children.find(path.front());
    const CacheNode* child = it == copy->children.end() ? nullptr : it->second.get();
    copy->children.insert_or_assign(std::string(path.front()), with_entry(child, path.subspan(1), entry));
    return copy;
}

class Logger final : public log::Log {
public:
    Logger(Ref logging, std::shared_ptr<Cache> cache) : logging_(std::move(logging)), cache_(std::move(cache)) {}

    // The most verbose of all filters: what the facade lets through at all.
    LevelFilter max_level() const {
        LevelFilter most = top_filter_;
        for (const auto& [prefix, filter] : filters_)
            if (filter > most) most = filter;
        return most;
    }

    bool enabled(const log::Metadata& m) const override {
        const std::shared_ptr<const CacheNode> root = cache_->root.load();
        return enabled_at(find(*root, m.target), m.level, m.target);
    }

    void log(const log::Record& record) const override {
        const std::shared_ptr<const CacheNode> root = cache_->root.load();
        const CacheNode* node = find(*root, record.target);
        if (!enabled_at(node, record.level, record.target)) return;
        Gil gil;
        // A writer that holds the lock may have an exception pending; keep it
        // out of the way and give it back untouched.
        PyObject* pending = PyErr_GetRaisedException();
        forward(record, node);
        PyErr_SetRaisedException(pending);
    }

    void flush() const override {}

private:
    LevelFilter filter_for(std::string_view target) const {
        LevelFilter filter = top_filter_;
        if (filters_.empty()) return filter;
        for (auto sep = target.find("::"); sep != std::string_view::npos; sep = target.find("::", sep + 2))
            if (auto it = filters_.find(target.substr(0, sep)); it != filters_.end()) filter = it->second;
        if (auto it = filters_.find(target); it != filters_.end()) filter = it->second;
        return filter;
    }

    bool enabled_at(const CacheNode* node, Level level, std::string_view target) const {
        if (node && node->local && !log::passes(level, node->local->filter)) return false;
        return log::passes(level, filter_for(target));
    }

    // Interpreter lock held. Python errors are printed, never passed back.
    void forward(const log::Record& record, const CacheNode* node) const {
        const std::string name_text = python_name(record.target);
        Ref name = Ref::steal(
            PyUnicode_DecodeUTF8(name_text.data(), static_cast<Py_ssize_t>(name_text.size()), "replace"));
        Ref message = Ref::steal(PyUnicode_DecodeUTF8(
            record.message.data(), static_cast<Py_ssize_t>(record.message.size()), "replace"));
        if (!name || !message) return print_error();

        const bool cached = node && node->local;
        Ref logger = cached ? Ref::borrow(node->local->logger()) : get_logger(name.get());
        if (!logger) return print_error();

        Ref level = Ref::steal(PyLong_FromLong(python_level(record.level)));
        if (!level) return print_error();
        const int on = is_enabled_for(logger.get(), level.get());
        if (on < 0) return print_error();
        if (on && !emit(logger.get(), name.get(), level.get(), message.get(), record)) return print_error();

        if (!cached) store(record.target, probe_filter(logger.get()), logger.get());
    }

    Ref get_logger(PyObject* name) const {
        Ref get = Ref::steal(PyObject_GetAttrString(logging_.get(), "getLogger"));
        return Ref::steal(get ? PyObject_CallOneArg(get.get(), name) : nullptr);
    }

    // Truthiness of logger.isEnabledFor(level); -1 with an exception set.
    static int is_enabled_for(PyObject* logger, PyObject* level) {
        Ref answer = Ref::steal(PyObject_CallMethod(logger, "isEnabledFor", "O", level));
        return answer ? PyObject_IsTrue(answer.get()) : -1;
    }

    static bool emit(PyObject* logger, PyObject* name, PyObject* level, PyObject* message,
                     const log::Record& record) {
        Ref file = record.file ? Ref::steal(PyUnicode_DecodeUTF8(record.file->data(),
                                                                static_cast<Py_ssize_t>(record.file->size()),
                                                                "replace"))
                               : Ref::borrow(Py_None);
        Ref line = Ref::steal(PyLong_FromUnsignedLong(record.line.value_or(0)));
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!file || !line || !no_args) return false;
        Ref made = Ref::steal(PyObject_CallMethod(logger, "makeRecord", "OOOOOOO", name, level, file.get(),
                                                  line.get(), message, no_args.get(), Py_None));
        if (!made) return false;
        Ref handled = Ref::steal(PyObject_CallMethod(logger, "handle", "O", made.get()));
        return static_cast<bool>(handled);
    }

    // The filter a logger's level amounts to, read once and then cached. If
    // the logger cannot answer, let everything through and let it decide.
    static LevelFilter probe_filter(PyObject* logger) {
        static constexpr std::pair<long, LevelFilter> kProbes[] = {{5, LevelFilter::Trace},
                                                                    {10, LevelFilter::Debug},
                                                                    {20, LevelFilter::Info},
                                                                    {30, LevelFilter::Warn},
                                                                    {40, LevelFilter::Error}};
        for (auto [value, filter] : kProbes) {
            Ref level = Ref::steal(PyLong_FromLong(value));
            const int on = level ? is_enabled_for(logger, level.get()) : -1;
            if (on < 0) {
                print_error();
                return LevelFilter::Trace;
            }
            if (on) return filter;
        }
        return LevelFilter::Off;
    }

    // Publishes a new tree with the entry; if the root moved meanwhile the
    // entry is not cached this time, and a later record tries again.
    void store(std::string_view target, LevelFilter filter, PyObject* logger) const {
        std::shared_ptr<const CacheNode> snapshot = cache_->root.load();
        const std::vector<std::string_view> path = segments(target);
        std::shared_ptr<const CacheNode> fresh = with_entry(snapshot.get(), path, CacheEntry(filter, logger));
        cache_->root.compare_exchange_strong(snapshot, std::move(fresh));
    }

    // PyErr_PrintEx(0): shown on stderr, cleared, and sys.last_exc left alone.
    static void print_error() {
        if (PyErr_Occurred()) PyErr_PrintEx(0);
    }

    LevelFilter top_filter_ = LevelFilter::Debug;
    std::map<std::string, LevelFilter, std::less<>> filters_;  // by target prefix; none in this module
    Ref logging_;
    std::shared_ptr<Cache> cache_;
};

// "{type}: {message}" of the pending exception, left pending.
std::string describe_pending() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return "unknown error";
    std::string text;
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
    Ref message = Ref::steal(PyObject_Str(exc));
    const char* t = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
    const char* m = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    PyErr_Clear();
    text = std::string(t ? t : "<unknown>") + ": " + (m ? m : "<unprintable>");
    PyErr_SetRaisedException(exc);
    return text;
}

}  // namespace

std::optional<ResetHandle> init() {
    Gil gil;
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    if (!logging) {
        raise_panic(text::kLoggingInitFailed + describe_pending());
        return std::nullopt;
    }
    auto cache = std::make_shared<Cache>();
    auto logger = std::make_unique<Logger>(std::move(logging), cache);
    const LevelFilter max = logger->max_level();
    if (auto installed = log::set_boxed_logger(std::move(logger)); !installed) {
        raise_panic(text::kUnwrapFailed + log::to_string(installed.error()));
        return std::nullopt;
    }
    log::set_max_level(max);
    return ResetHandle(std::move(cache));
}

}  // namespace torvane::py::logbridge
