// Records written to the facade from C++, as they arrive in Python's
// `logging` through the bridge that `import torvane` installs. No part of the
// module writes records itself, so this is the only way to reach that path.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "embedded_python.hpp"
#include "python/log_facade.hpp"
#include "python/logging_bridge.hpp"

namespace torvane {
namespace {

using embedded::eval_bool;
using embedded::eval_long;
using embedded::eval_str;
using embedded::run;
using log::Level;
using namespace std::chrono_literals;

// Hands a record to the facade, as a component of the module would.
void send(Level level, std::string_view target, std::string_view message = "text",
           std::optional<std::string_view> file = std::nullopt, std::optional<std::uint32_t> line = std::nullopt) {
    log::log(log::Record{level, target, message, file, line});
}

// A name no earlier test in this process has used: the bridge's cache is
// process-wide and keeps what it has seen.
std::string fresh(const char* stem) {
    static int n = 0;
    return stem + std::to_string(++n);
}

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(embedded::ensure_python());
        ASSERT_TRUE(run("records.clear()"));
    }
    void TearDown() override {
        EXPECT_FALSE(PyErr_Occurred()) << "a record left a Python exception behind";
        PyErr_Clear();
        run("sys.stderr = sys.__stderr__");
    }
    // Python's standard error, captured from now on; read it with captured().
    static void capture_stderr() { ASSERT_TRUE(run("sys.stderr = io.StringIO()")); }
    static std::string captured() { return eval_str("sys.stderr.getvalue()"); }
    static long forwarded() { return eval_long("len(records)"); }
};

TEST_F(Bridge, ImportInstallsItAndImportsLogging) {
    EXPECT_EQ(log::STATE.load(), log::INITIALIZED);
    EXPECT_EQ(log::max_level(), log::LevelFilter::Debug);
    EXPECT_TRUE(eval_bool("not logging_before_import and logging_after_import"));
}

struct NameCase {
    const char* target;
    const char* logger;
};

class TargetName : public Bridge, public ::testing::WithParamInterface<NameCase> {};

TEST_P(TargetName, GoesToTheLoggerNamedAfterIt) {
    send(Level::Error, GetParam().target);
    ASSERT_EQ(forwarded(), 1);
    EXPECT_EQ(eval_str("records[0].name"), GetParam().logger);
}

std::string name_case(const ::testing::TestParamInfo<NameCase>& info) {
    static const char* const names[] = {"Path", "SingleColon", "NoSeparator", "TripleColon", "TrailingSeparator",
                                        "LeadingSeparator"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Bridge, TargetName,
                         ::testing::Values(NameCase{"a::b::c", "a.b.c"}, NameCase{"a:b", "a:b"},
                                           NameCase{"solo", "solo"}, NameCase{"a:::b", "a.:b"},
                                           NameCase{"x::", "x."}, NameCase{"::y", ".y"}),
                         name_case);

struct LevelCase {
    Level level;
    long python_level;
    const char* level_name;
};

class LevelMapping : public Bridge, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LevelMapping, ReachesPythonAtItsLevel) {
    send(GetParam().level, "levels::map");
    ASSERT_EQ(forwarded(), 1);
    EXPECT_EQ(eval_long("records[0].levelno"), GetParam().python_level);
    EXPECT_EQ(eval_str("records[0].levelname"), GetParam().level_name);
}

INSTANTIATE_TEST_SUITE_P(Bridge, LevelMapping,
                         ::testing::Values(LevelCase{Level::Error, 40, "ERROR"}, LevelCase{Level::Warn, 30, "WARNING"},
                                           LevelCase{Level::Info, 20, "INFO"}, LevelCase{Level::Debug, 10, "DEBUG"}),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                             return std::string(info.param.level_name);
                         });

TEST_F(Bridge, TraceIsNeverForwarded) {
    // The Python side would take it: the root logger is at level 1.
    ASSERT_TRUE(eval_bool("logging.getLogger('trace.t').isEnabledFor(5)"));
    send(Level::Trace, "trace::t");
    log::logger().log(log::Record{Level::Trace, "trace::t", "past the facade", std::nullopt, std::nullopt});
    log::write(Level::Trace, "trace::t", "with a location");
    EXPECT_EQ(forwarded(), 0);
    EXPECT_FALSE(log::logger().enabled({Level::Trace, "trace::t"}));
    EXPECT_TRUE(log::logger().enabled({Level::Debug, "trace::t"}));
}

TEST_F(Bridge, MissingFileAndLineBecomeNoneAndZero) {
    send(Level::Error, "where::nowhere", "lost");
    ASSERT_EQ(forwarded(), 1);
    EXPECT_TRUE(eval_bool("records[0].pathname is None"));
    EXPECT_EQ(eval_long("records[0].lineno"), 0);
    EXPECT_EQ(eval_str("records[0].getMessage()"), "lost");
    EXPECT_TRUE(eval_bool("records[0].args == () and records[0].exc_info is None"));
}

TEST_F(Bridge, FileAndLineAreKept) {
    send(Level::Warn, "where::given", "found", "src/motor.cpp", 42);
    const std::uint32_t line = __LINE__ + 1;
    log::write(Level::Info, "where::written", "from C++");
    ASSERT_EQ(forwarded(), 2);
    EXPECT_EQ(eval_str("records[0].pathname"), "src/motor.cpp");
    EXPECT_EQ(eval_long("records[0].lineno"), 42);
    EXPECT_TRUE(eval_bool("records[1].pathname.endswith('test_logging_bridge.cpp')"));
    EXPECT_EQ(eval_long("records[1].lineno"), static_cast<long>(line));
    EXPECT_EQ(eval_str("records[1].getMessage()"), "from C++");
}

TEST_F(Bridge, LevelSeenAtFirstUseStaysInForce) {
    const std::string t = fresh("cache");  // target t::warn, Python logger t.warn
    const std::string target = t + "::warn";
    const std::string logger = "logging.getLogger('" + t + ".warn')";
    ASSERT_TRUE(run(logger + ".setLevel(logging.WARNING)"));
    send(Level::Info, target);  // refused by Python; caches warn
    EXPECT_EQ(forwarded(), 0);

    ASSERT_TRUE(run(logger + ".setLevel(logging.DEBUG)"));
    send(Level::Info, target);
    send(Level::Debug, target);
    EXPECT_EQ(forwarded(), 0) << "the cached warn filter should still hold";
    EXPECT_FALSE(log::logger().enabled({Level::Info, target}));
    send(Level::Warn, target, "warned");
    ASSERT_EQ(forwarded(), 1);
    EXPECT_EQ(eval_str("records[0].getMessage()"), "warned");

    // The parent's entry does not apply to a child target, whose Python
    // logger inherits DEBUG now.
    send(Level::Info, target + "::child", "child");
    ASSERT_EQ(forwarded(), 2);
    EXPECT_EQ(eval_str("records[1].name"), t + ".warn.child");

    // Raising the level is still honoured: Python is asked for every record.
    ASSERT_TRUE(run("records.clear(); " + logger + ".setLevel(logging.ERROR)"));
    send(Level::Warn, target);
    EXPECT_EQ(forwarded(), 0);
    send(Level::Error, target);
    EXPECT_EQ(forwarded(), 1);
}

class FailingLogger : public Bridge, public ::testing::WithParamInterface<const char*> {};

TEST_P(FailingLogger, ExceptionIsPrintedAndSwallowed) {
    const std::string method = GetParam();
    ASSERT_NO_FATAL_FAILURE(capture_stderr());
    ASSERT_TRUE(run("def explode(*args):\n    raise RuntimeError('" + method + " exploded')\n"
                    "setattr(logging.getLogger('boom." + method + "'), '" + method + "', explode)"));
    send(Level::Error, "boom::" + method);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(forwarded(), 0);
    EXPECT_NE(captured().find("RuntimeError: " + method + " exploded"), std::string::npos) << captured();
    EXPECT_FALSE(eval_bool("hasattr(sys, 'last_exc') or hasattr(sys, 'last_value')"));
}

INSTANTIATE_TEST_SUITE_P(Bridge, FailingLogger, ::testing::Values("isEnabledFor", "makeRecord", "handle"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_F(Bridge, FailedLevelProbeLetsEverythingThroughAndIsCached) {
    ASSERT_NO_FATAL_FAILURE(capture_stderr());
    const std::string name = fresh("probe");
    ASSERT_TRUE(run("probed = logging.getLogger('" + name + "')"));
    ASSERT_TRUE(run(R"(
plain = probed.isEnabledFor
def picky(level):
    if level == 5:
        raise ValueError('no trace probe')
    return plain(level)
probed.isEnabledFor = picky
)"));
    send(Level::Error, name);
    send(Level::Error, name);
    EXPECT_EQ(forwarded(), 2);
    const std::string err = captured();
    const auto first = err.find("ValueError: no trace probe");
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("ValueError: no trace probe", first + 1), std::string::npos)
        << "the logger was probed again, so its entry was not cached";
}

TEST_F(Bridge, WriterKeepsItsPendingException) {
    PyErr_SetString(PyExc_KeyError, "mine");
    send(Level::Error, "pending::keep", "while an error is pending");
    py::Ref pending = py::Ref::steal(PyErr_GetRaisedException());
    ASSERT_TRUE(pending);
    EXPECT_TRUE(PyErr_GivenExceptionMatches(pending.get(), PyExc_KeyError));
    EXPECT_EQ(forwarded(), 1);
}

// The main thread holds the interpreter lock throughout; a record that the
// bridge refuses must come back without waiting for it.
TEST_F(Bridge, RefusedRecordsDoNotTakeTheInterpreterLock) {
    const std::string target = fresh("gil");
    ASSERT_TRUE(run("logging.getLogger('" + target + "').setLevel(logging.WARNING)"));
    send(Level::Info, target);  // caches warn for the target
    ASSERT_EQ(PyGILState_Check(), 1);

    auto refused = std::async(std::launch::async, [&] {
        send(Level::Trace, "gil::other");
        send(Level::Info, target);
        send(Level::Debug, target);
        log::logger().log(log::Record{Level::Info, target, "direct", std::nullopt, std::nullopt});
        return log::logger().enabled({Level::Info, target});
    });
    if (refused.wait_for(5s) != std::future_status::ready) {
        PyThreadState* saved = PyEval_SaveThread();
        refused.wait();
        PyEval_RestoreThread(saved);
        FAIL() << "a refused record waited for the interpreter lock";
    }
    EXPECT_FALSE(refused.get());

    // The control: a record the bridge accepts does need the lock.
    auto accepted = std::async(std::launch::async, [&] { send(Level::Warn, target, "accepted"); });
    EXPECT_EQ(accepted.wait_for(300ms), std::future_status::timeout);
    PyThreadState* saved = PyEval_SaveThread();
    accepted.wait();
    PyEval_RestoreThread(saved);
    ASSERT_EQ(forwarded(), 1);
    EXPECT_EQ(eval_str("records[0].getMessage()"), "accepted");
}

TEST_F(Bridge, SecondInstallationFails) {
    EXPECT_FALSE(py::logbridge::init().has_value());
    py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
    ASSERT_TRUE(exc);
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
    py::Ref text = py::Ref::steal(PyObject_Str(exc.get()));
    ASSERT_TRUE(name && text);
    EXPECT_STREQ(PyUnicode_AsUTF8(name.get()), "PanicException");
    EXPECT_STREQ(PyUnicode_AsUTF8(text.get()), "called `Result::unwrap()` on an `Err` value: SetLoggerError(())");
    EXPECT_FALSE(PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception));
    EXPECT_TRUE(PyErr_GivenExceptionMatches(exc.get(), PyExc_BaseException));

    EXPECT_FALSE(log::set_boxed_logger(std::make_unique<log::NopLogger>()).has_value());
    EXPECT_EQ(log::STATE.load(), log::INITIALIZED);
    send(Level::Error, "still::installed");
    EXPECT_EQ(forwarded(), 1);
}

}  // namespace
}  // namespace torvane
