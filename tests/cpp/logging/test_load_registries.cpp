// What the module's static constructors register while the library loads
// (the signature catalogue), and the type objects built from the same
// declarations when the module is imported.

#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "embedded_python.hpp"
#include "python/stub_catalogue.hpp"

namespace torvane::py {
namespace {

template <typename T>
std::size_t count(const LoadList<T>& list) {
    return static_cast<std::size_t>(std::distance(list.begin(), list.end()));
}

// Nothing here starts the interpreter: the lists are full once the program
// is loaded, whether or not the module's init function ever runs. The
// classes' own tables are plain static data, not registered.
TEST(LoadRegistries, TwelveNodesAreRegisteredAtLoad) {
    EXPECT_EQ(count(py_class_infos), 5u);
    EXPECT_EQ(count(py_methods_infos), 6u);
    EXPECT_EQ(count(py_function_infos), 1u);
}

struct TypeCase {
    const char* name;
    const char* members;  // sorted, without dunder names
    bool has_repr;
};

class TypeTablesTest : public ::testing::TestWithParam<TypeCase> {};

// The type object carries every member its declaration lists, its blocks
// together, and nothing else.
TEST_P(TypeTablesTest, TypeCarriesTheDeclaredMembers) {
    const TypeCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(embedded::ensure_python());
    const std::string cls = std::string("torvane.") + c.name;
    EXPECT_EQ(embedded::eval_str("sorted(k for k in " + cls + ".__dict__ if not k.startswith('__'))"), c.members);
    EXPECT_EQ(embedded::eval_str(cls + ".__module__ + '.' + " + cls + ".__qualname__"), cls);
    EXPECT_EQ(embedded::eval_bool("'__repr__' in " + cls + ".__dict__"), c.has_repr);
}

INSTANTIATE_TEST_SUITE_P(
    LoadRegistries, TypeTablesTest,
    ::testing::Values(
        TypeCase{"Damiao",
                 "['clear_error', 'disable', 'enable', 'ensure_mit_mode', 'master_id', 'mit_control', 'motor_id', "
                 "'set_zero']",
                 true},
        TypeCase{"MitLimits",
                 "['dm10010', 'dm10010l', 'dm3507', 'dm4310', 'dm4310p', 'dm4340', 'dm4340p', 'dm6006', 'dm6248p', "
                 "'dm8006', 'dm8009', 'dmg6215', 'dmh3510', 'dmh6220', 'dmjh11', 'kd_max', 'kp_max', 'p_max', 't_max', "
                 "'v_max']",
                 true},
        TypeCase{"MitSetpoint", "['dq', 'kd', 'kp', 'q', 'tau']", true},
        TypeCase{"MotorState", "['error', 'motor_id', 'position', 't_mos', 't_rotor', 'torque', 'velocity']", true},
        TypeCase{"SocketCanTransport", "[]", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadRegistries, DamiaoTypeJoinsBothBlocks) {
    ASSERT_NO_FATAL_FAILURE(embedded::ensure_python());
    EXPECT_EQ(embedded::eval_str("repr(torvane.Damiao(1, 2))"), "Damiao(motor_id=0x1, master_id=0x2)");
    EXPECT_EQ(embedded::eval_str("torvane.Damiao.__text_signature__"), "(motor_id, master_id, limits=None, timeout_ms=20)");
}

}  // namespace
}  // namespace torvane::py
