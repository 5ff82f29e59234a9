// The signature catalogue as the stub generator sees it: a plain C++ program
// linked with the records, reading the lists filled at load.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "python/stub_catalogue.hpp"

namespace torvane::py {
namespace {

template <typename T>
std::size_t count(const LoadList<T>& list) {
    return static_cast<std::size_t>(std::distance(list.begin(), list.end()));
}

std::string imports_of(const TypeInfo& t) {
    std::string s;
    for (const ModuleRef& m : t.imports) s += (s.empty() ? "" : ",") + m.name;
    return s;
}

std::string params_of(std::span<const ParamEntry> params) {
    std::string s;
    for (const ParamEntry& p : params) s += (s.empty() ? "" : ", ") + std::string(p.name) + ": " + p.type().name;
    return s;
}

// One line per entry of a method block, in a form that is easy to compare.
std::vector<std::string> describe(const PyMethodsInfo& block) {
    std::vector<std::string> lines;
    for (const GetterEntry& g : block.getters) lines.push_back("get " + std::string(g.name) + ": " + g.type().name);
    for (const MethodEntry& m : block.methods) {
        std::string kind = m.is_static ? "static " : m.is_class ? "classmethod " : "def ";
        lines.push_back(kind + m.name + "(" + params_of(m.params) + ") -> " + m.result().name);
    }
    if (block.constructor)
        lines.push_back("new(" + params_of(block.constructor->params) + ") sig=" +
                        (block.constructor->signature ? block.constructor->signature : "none"));
    return lines;
}

const PyClassInfo* class_named(std::string_view name) {
    for (const PyClassInfo& c : py_class_infos)
        if (c.name == name) return &c;
    return nullptr;
}

std::vector<const PyMethodsInfo*> blocks_of(std::string_view class_name) {
    std::vector<const PyMethodsInfo*> out;
    const PyClassInfo* cls = class_named(class_name);
    if (!cls) return out;
    for (const PyMethodsInfo& b : py_methods_infos)
        if (b.key == cls->key) out.push_back(&b);
    return out;
}

TEST(StubCatalogue, ListsHoldFiveClassesSixBlocksOneFunction) {
    EXPECT_EQ(count(py_class_infos), 5u);
    EXPECT_EQ(count(py_methods_infos), 6u);
    EXPECT_EQ(count(py_function_infos), 1u);
}

TEST(StubCatalogue, ClassRecordsAreTheFiveClassesWithDistinctKeys) {
    std::set<std::string> names;
    std::set<const ClassKey*> keys;
    for (const PyClassInfo& c : py_class_infos) {
        names.insert(c.name);
        keys.insert(c.key);
        EXPECT_STREQ(c.module, "torvane") << c.name;
        EXPECT_STREQ(c.doc, "") << c.name;
        EXPECT_TRUE(c.members.empty()) << c.name;
    }
    EXPECT_EQ(names, (std::set<std::string>{"Damiao", "MitLimits", "MitSetpoint", "MotorState", "SocketCanTransport"}));
    EXPECT_EQ(keys.size(), 5u);
}

TEST(StubCatalogue, EveryBlockBelongsToAClass) {
    std::set<const ClassKey*> keys;
    for (const PyClassInfo& c : py_class_infos) keys.insert(c.key);
    for (const PyMethodsInfo& b : py_methods_infos) EXPECT_TRUE(keys.contains(b.key));
}

TEST(StubCatalogue, DamiaoBlocksShareTheClassKeyAndAddUp) {
    const auto blocks = blocks_of("Damiao");
    ASSERT_EQ(blocks.size(), 2u);
    std::set<std::string> methods, getters;
    int constructors = 0;
    for (const PyMethodsInfo* b : blocks) {
        for (const MethodEntry& m : b->methods) methods.insert(m.name);
        for (const GetterEntry& g : b->getters) getters.insert(g.name);
        constructors += b->constructor != nullptr;
    }
    EXPECT_EQ(methods, (std::set<std::string>{"enable", "disable", "set_zero", "clear_error", "mit_control",
                                              "ensure_mit_mode", "__repr__"}));
    EXPECT_EQ(getters, (std::set<std::string>{"motor_id", "master_id"}));
    EXPECT_EQ(constructors, 1);
}

struct ClassContent {
    const char* name;
    std::vector<std::string> lines;  // every block of the class together
};

std::vector<std::string> presets() {
    std::vector<std::string> out;
    for (const char* p : {"dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006", "dm8009",
                          "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11"})
        out.push_back(std::string("static ") + p + "() -> MitLimits");
    return out;
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ClassContentTest : public ::testing::TestWithParam<ClassContent> {};

TEST_P(ClassContentTest, BlocksListExactlyTheEntries) {
    const ClassContent& want = GetParam();
    std::vector<std::string> got;
    for (const PyMethodsInfo* b : blocks_of(want.name)) {
        auto lines = describe(*b);
        got.insert(got.end(), lines.begin(), lines.end());
    }
    std::vector<std::string> expected = want.lines;
    std::ranges::sort(got);
    std::ranges::sort(expected);
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(
    StubCatalogue, ClassContentTest,
    ::testing::Values(
        ClassContent{"Damiao",
                     {"def enable(bus: SocketCanTransport) -> MotorState",
                      "def disable(bus: SocketCanTransport) -> MotorState",
                      "def set_zero(bus: SocketCanTransport) -> MotorState",
                      "def clear_error(bus: SocketCanTransport) -> MotorState",
                      "def mit_control(bus: SocketCanTransport, setpoint: MitSetpoint) -> MotorState",
                      "def ensure_mit_mode(bus: SocketCanTransport) -> None", "get motor_id: int",
                      "get master_id: int", "def __repr__() -> str",
                      "new(motor_id: int, master_id: int, limits: typing.Optional[MitLimits], timeout_ms: int) "
                      "sig=motor_id,master_id,limits = ...,timeout_ms = ..."}},
        ClassContent{"MitLimits",
                     with({"get p_max: float", "get v_max: float", "get kp_max: float", "get kd_max: float",
                           "get t_max: float", "def __repr__() -> str",
                           "new(p_max: float, v_max: float, kp_max: float, kd_max: float, t_max: float) "
                           "sig=p_max = ...,v_max = ...,kp_max = ...,kd_max = ...,t_max = ..."},
                          presets())},
        ClassContent{"MitSetpoint",
                     {"get q: float", "get dq: float", "get kp: float", "get kd: float", "get tau: float",
                      "def __repr__() -> str",
                      "new(q: float, dq: float, kp: float, kd: float, tau: float) "
                      "sig=q = ...,dq = ...,kp = ...,kd = ...,tau = ..."}},
        ClassContent{"MotorState",
                     {"get motor_id: int", "get error: int", "get position: float", "get velocity: float",
                      "get torque: float", "get t_mos: int", "get t_rotor: int", "def __repr__() -> str"}},
        ClassContent{"SocketCanTransport", {"new(iface: str) sig=none"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StubCatalogue, MethodDocsSignaturesAndFlags) {
    int statics = 0;
    for (const PyMethodsInfo& b : py_methods_infos)
        for (const MethodEntry& m : b.methods) {
            EXPECT_EQ(m.signature, nullptr) << m.name;
            EXPECT_FALSE(m.is_class) << m.name;
            statics += m.is_static;
            if (std::string_view(m.name) == "ensure_mit_mode")
                EXPECT_STREQ(m.doc,
                             "Force the firmware into MIT control mode (register 10 = 1). Some\n"
                             "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
                             "silently ignored.");
            else
                EXPECT_STREQ(m.doc, "") << m.name;
        }
    EXPECT_EQ(statics, 15);
}

TEST(StubCatalogue, LimitsParameterIsOptionalWithTypingImport) {
    const auto blocks = blocks_of("Damiao");
    const ConstructorEntry* ctor = nullptr;
    for (const PyMethodsInfo* b : blocks)
        if (b->constructor) ctor = b->constructor;
    ASSERT_NE(ctor, nullptr);
    const auto limits = std::ranges::find_if(ctor->params, [](const ParamEntry& p) {
        return std::string_view(p.name) == "limits";
    });
    ASSERT_NE(limits, ctor->params.end());
    const TypeInfo t = limits->type();
    EXPECT_EQ(t.name, "typing.Optional[MitLimits]");
    EXPECT_EQ(imports_of(t), "torvane,typing");
}

TEST(StubCatalogue, FloatParametersNeedNoImports) {
    int floats = 0;
    auto check = [&](std::span<const ParamEntry> params) {
        for (const ParamEntry& p : params) {
            const TypeInfo t = p.type();
            if (t.name != "float") continue;
            ++floats;
            EXPECT_TRUE(t.imports.empty()) << p.name;
        }
    };
    for (const PyMethodsInfo& b : py_methods_infos)
        if (b.constructor) check(b.constructor->params);
    for (const PyFunctionInfo& f : py_function_infos) check(f.params);
    EXPECT_EQ(floats, 15);  // MitLimits, MitSetpoint and mit_setpoint, five each
}

TEST(StubCatalogue, FunctionRecord) {
    ASSERT_EQ(count(py_function_infos), 1u);
    const PyFunctionInfo& f = *py_function_infos.begin();
    EXPECT_STREQ(f.name, "mit_setpoint");
    EXPECT_EQ(params_of(f.params), "q: float, dq: float, kp: float, kd: float, tau: float");
    EXPECT_EQ(f.result().name, "MitSetpoint");
    EXPECT_EQ(imports_of(f.result()), "torvane");
    EXPECT_STREQ(f.doc, "Build a `MitSetpoint` (handy when keyword args are awkward).");
    EXPECT_STREQ(f.signature, "q = ...,dq = ...,kp = ...,kd = ...,tau = ...");
    EXPECT_EQ(f.module, nullptr);
}

struct TypeCase {
    TypeRef input;
    TypeRef output;
    const char* text;
    const char* imports;
};

class TypeTextTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(TypeTextTest, BothFormsGiveTheSameTextAndImports) {
    const TypeCase& c = GetParam();
    const TypeInfo in = c.input();
    const TypeInfo out = c.output();
    EXPECT_EQ(in.name, c.text);
    EXPECT_EQ(out.name, c.text);
    EXPECT_EQ(imports_of(in), c.imports);
    EXPECT_EQ(imports_of(out), c.imports);
}

template <typename T>
constexpr TypeCase type_case(const char* text, const char* imports) {
    return {type_input<T>, type_output<T>, text, imports};
}

INSTANTIATE_TEST_SUITE_P(
    StubCatalogue, TypeTextTest,
    ::testing::Values(type_case<float>("float", ""), type_case<std::uint8_t>("int", ""),
                      type_case<std::uint16_t>("int", ""), type_case<std::uint64_t>("int", ""),
                      type_case<std::string>("str", ""), type_case<void>("None", ""),
                      type_case<PyMitSetpoint>("MitSetpoint", "torvane"),
                      type_case<PyMitLimits>("MitLimits", "torvane"),
                      type_case<PyMotorState>("MotorState", "torvane"),
                      type_case<PySocketCanTransport>("SocketCanTransport", "torvane"),
                      type_case<std::optional<PyMitLimits>>("typing.Optional[MitLimits]", "torvane,typing"),
                      type_case<std::optional<float>>("typing.Optional[float]", "typing"),
                      type_case<std::optional<std::optional<PyMotorState>>>(
                          "typing.Optional[typing.Optional[MotorState]]", "torvane,typing")));

// Registrations may race in principle; the compare-and-swap push must keep
// every node.
TEST(LoadList, ConcurrentPushesKeepEveryNode) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 20000;
    static LoadList<int> list;
    std::vector<int> values(kThreads * kPerThread);
    std::vector<LoadNode<int>> nodes(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<int>(i);
        nodes[i].record = &values[i];
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) list.push(nodes[static_cast<std::size_t>(t * kPerThread + i)]);
        });
    for (auto& th : threads) th.join();
    std::vector<bool> seen(values.size(), false);
    std::size_t n = 0;
    for (int v : list) {
        ASSERT_FALSE(seen[static_cast<std::size_t>(v)]);
        seen[static_cast<std::size_t>(v)] = true;
        ++n;
    }
    EXPECT_EQ(n, values.size());
}

}  // namespace
}  // namespace torvane::py
