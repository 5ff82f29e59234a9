// What the module's static constructors register while the library loads:
// the signature catalogue and the definition blocks of each class.

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>

#include "embedded_python.hpp"
#include "python/classes.hpp"
#include "python/stub_catalogue.hpp"

namespace torvane::py {
namespace {

template <typename T>
std::size_t count(const LoadList<T>& list) {
    return static_cast<std::size_t>(std::distance(list.begin(), list.end()));
}

constexpr ClassId kClasses[] = {ClassId::MitLimits, ClassId::MitSetpoint, ClassId::MotorState, ClassId::Damiao,
                                ClassId::SocketCanTransport};

// Nothing here starts the interpreter: the lists are full once the program
// is loaded, whether or not the module's init function ever runs.
TEST(LoadRegistries, EighteenNodesAreRegisteredAtLoad) {
    std::size_t class_blocks_total = 0;
    for (ClassId id : kClasses) class_blocks_total += count(class_blocks(id));
    EXPECT_EQ(count(py_class_infos), 5u);
    EXPECT_EQ(count(py_methods_infos), 6u);
    EXPECT_EQ(count(py_function_infos), 1u);
    EXPECT_EQ(class_blocks_total, 6u);
    EXPECT_EQ(count(py_class_infos) + count(py_methods_infos) + count(py_function_infos) + class_blocks_total, 18u);
}

struct BlockCase {
    ClassId id;
    const char* qualified_name;
    std::size_t blocks;
    std::set<std::string> getters;
    std::set<std::string> methods;
    bool has_repr;
};

std::string case_name(const ::testing::TestParamInfo<BlockCase>& info) {
    static const char* const names[] = {"MitLimits", "MitSetpoint", "MotorState", "Damiao", "SocketCanTransport"};
    return names[static_cast<int>(info.param.id)];
}

class ClassBlocksTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(ClassBlocksTest, BlocksTogetherDefineTheClassOnce) {
    const BlockCase& c = GetParam();
    std::size_t blocks = 0, names = 0, constructors = 0, reprs = 0;
    std::set<std::string> getters, methods;
    for (const ClassDef& b : class_blocks(c.id)) {
        ++blocks;
        if (b.qualified_name) {
            ++names;
            EXPECT_STREQ(b.qualified_name, c.qualified_name);
            EXPECT_GT(b.basicsize, 0);
        }
        constructors += b.new_fn != nullptr;
        reprs += b.repr_fn != nullptr;
        for (const PyGetSetDef* g = b.getset; g && g->name; ++g) EXPECT_TRUE(getters.insert(g->name).second);
        for (const PyMethodDef* m = b.methods; m && m->ml_name; ++m) EXPECT_TRUE(methods.insert(m->ml_name).second);
    }
    EXPECT_EQ(blocks, c.blocks);
    EXPECT_EQ(names, 1u);
    EXPECT_EQ(constructors, 1u);
    EXPECT_EQ(reprs, c.has_repr ? 1u : 0u);
    EXPECT_EQ(getters, c.getters);
    EXPECT_EQ(methods, c.methods);
}

INSTANTIATE_TEST_SUITE_P(
    LoadRegistries, ClassBlocksTest,
    ::testing::Values(
        BlockCase{ClassId::Damiao,
                  "torvane.Damiao",
                  2,
                  {"motor_id", "master_id"},
                  {"enable", "disable", "set_zero", "clear_error", "mit_control", "ensure_mit_mode"},
                  true},
        BlockCase{ClassId::MitLimits,
                  "torvane.MitLimits",
                  1,
                  {"p_max", "v_max", "kp_max", "kd_max", "t_max"},
                  {"dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006", "dm8009",
                   "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11"},
                  true},
        BlockCase{ClassId::MitSetpoint, "torvane.MitSetpoint", 1, {"q", "dq", "kp", "kd", "tau"}, {}, true},
        BlockCase{ClassId::MotorState,
                  "torvane.MotorState",
                  1,
                  {"motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor"},
                  {},
                  true},
        BlockCase{ClassId::SocketCanTransport, "torvane.SocketCanTransport", 1, {}, {}, false}),
    case_name);

// The type built from Damiao's two blocks carries both.
TEST(LoadRegistries, DamiaoTypeJoinsBothBlocks) {
    ASSERT_NO_FATAL_FAILURE(embedded::ensure_python());
    EXPECT_EQ(embedded::eval_str("sorted(k for k in torvane.Damiao.__dict__ if not k.startswith('__'))"),
              "['clear_error', 'disable', 'enable', 'ensure_mit_mode', 'master_id', 'mit_control', 'motor_id', "
              "'set_zero']");
    EXPECT_EQ(embedded::eval_str("repr(torvane.Damiao(1, 2))"), "Damiao(motor_id=0x1, master_id=0x2)");
    EXPECT_EQ(embedded::eval_str("torvane.Damiao.__text_signature__"), "(motor_id, master_id, limits=None, timeout_ms=20)");
}

}  // namespace
}  // namespace torvane::py
