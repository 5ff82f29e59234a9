#pragma once
// The catalogue of the module's Python signatures, for the stub generator.
//
// Records are constant data pushed onto load-time lists (one per record
// kind) by static constructors in stub_catalogue.cpp. Nothing in the module
// reads them: the generator in tools/stubgen is linked with the same records
// and walks the lists. The order of the lists is whatever the loader made
// it, so readers match records by class key and name, never by position.
//
// Types are referenced through functions that build a TypeInfo only when a
// reader asks, so loading the catalogue allocates nothing.

#include <compare>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "python/load_list.hpp"

namespace torvane::damiao {
struct MitLimits;
struct MitSetpoint;
struct MotorState;
struct Damiao;
}  // namespace torvane::damiao

namespace torvane::py {

// ---- types -----------------------------------------------------------------

struct ModuleRef {
    std::string name;
    auto operator<=>(const ModuleRef&) const = default;
};

// A type as a stub spells it, and the modules the stub must import for it.
struct TypeInfo {
    std::string name;
    std::set<ModuleRef> imports;
};

using TypeRef = TypeInfo (*)();

// PyTypeInfo<T>::type_input / type_output: T as a parameter and as a result.
// Every type this module uses reads the same either way.
template <typename T>
struct PyTypeInfo;

namespace stub_types {
inline TypeInfo builtin(const char* name) { return {name, {}}; }
inline TypeInfo in_torvane(const char* name) { return {name, {ModuleRef{"torvane"}}}; }
// A class of another module, qualified; that module's own stub drops the qualifier.
inline TypeInfo in_module(const char* module, const char* name) {
    return {std::string(module) + "." + name, {ModuleRef{module}}};
}
}  // namespace stub_types

// The records the classes hold, and what holds one: the Python object
// (classes.hpp), named for its class as PyDamiao, PyMitLimits, ...
struct Bus;  // the socket behind a SocketCanTransport, with its lock
template <typename T>
struct Boxed;

using PyMitLimits = Boxed<damiao::MitLimits>;
using PyMitSetpoint = Boxed<damiao::MitSetpoint>;
using PyMotorState = Boxed<damiao::MotorState>;
using PyDamiao = Boxed<damiao::Damiao>;
using PySocketCanTransport = Boxed<Bus>;

// The name of the Python class that holds each record.
template <typename T>
inline constexpr const char* class_name = nullptr;

#define TORVANE_STUB_TYPE(T, make)                             \
    template <>                                                \
    struct PyTypeInfo<T> {                                     \
        static TypeInfo type_input() { return make; }          \
        static TypeInfo type_output() { return type_input(); } \
    }
// A record, and the object that holds it, read as the class.
#define TORVANE_STUB_CLASS(T, name)                              \
    template <>                                                  \
    inline constexpr const char* class_name<T> = name;           \
    TORVANE_STUB_TYPE(T, stub_types::in_torvane(class_name<T>)); \
    template <>                                                  \
    struct PyTypeInfo<Boxed<T>> : PyTypeInfo<T> {}

TORVANE_STUB_TYPE(float, stub_types::builtin("float"));
TORVANE_STUB_TYPE(std::uint8_t, stub_types::builtin("int"));
TORVANE_STUB_TYPE(std::uint16_t, stub_types::builtin("int"));
TORVANE_STUB_TYPE(std::uint32_t, stub_types::builtin("int"));
TORVANE_STUB_TYPE(bool, stub_types::builtin("bool"));
TORVANE_STUB_TYPE(std::uint64_t, stub_types::builtin("int"));
TORVANE_STUB_TYPE(std::string, stub_types::builtin("str"));
TORVANE_STUB_TYPE(std::string_view, stub_types::builtin("str"));
TORVANE_STUB_TYPE(void, stub_types::builtin("None"));
TORVANE_STUB_CLASS(damiao::MitLimits, "MitLimits");
TORVANE_STUB_CLASS(damiao::MitSetpoint, "MitSetpoint");
TORVANE_STUB_CLASS(damiao::MotorState, "MotorState");
TORVANE_STUB_CLASS(damiao::Damiao, "Damiao");
TORVANE_STUB_CLASS(Bus, "SocketCanTransport");

#undef TORVANE_STUB_CLASS
#undef TORVANE_STUB_TYPE

template <typename T>
struct PyTypeInfo<std::optional<T>> {
    static TypeInfo type_input() { return optional_of(PyTypeInfo<T>::type_input()); }
    static TypeInfo type_output() { return optional_of(PyTypeInfo<T>::type_output()); }

private:
    static TypeInfo optional_of(TypeInfo inner) {
        inner.name = "typing.Optional[" + inner.name + "]";
        inner.imports.insert(ModuleRef{"typing"});
        return inner;
    }
};

template <typename T>
inline constexpr TypeRef type_input = &PyTypeInfo<T>::type_input;
template <typename T>
inline constexpr TypeRef type_output = &PyTypeInfo<T>::type_output;

// ---- records ---------------------------------------------------------------
// Optional texts and entries are null pointers when absent.

struct ParamEntry {
    const char* name;
    TypeRef type;  // input form
};

struct GetterEntry {
    const char* name;
    TypeRef type;  // output form
};

struct MethodEntry {
    const char* signature;  // parameter list with "..." defaults, or null
    const char* name;
    std::span<const ParamEntry> params;  // without self
    const char* doc;
    TypeRef result;
    bool is_static;
    bool is_class;
};

struct ConstructorEntry {
    std::span<const ParamEntry> params;
    const char* signature;
};

// A class's identity: records of one class point at the same key.
struct ClassKey {
    const char* name;  // for diagnostics only
};

struct PyClassInfo {
    const ClassKey* key;
    const char* name;
    const char* doc;
    std::span<const GetterEntry> members;
    const char* module;
};

struct PyMethodsInfo {
    const ClassKey* key;
    std::span<const GetterEntry> getters;
    std::span<const MethodEntry> methods;
    const ConstructorEntry* constructor;
};

// A module attribute the stub spells out whole (an enum, an exception
// class): `text` is its stub, written in `order` among the others.
struct PyAttributeInfo {
    const char* module;
    const char* name;
    const char* text;
    int order;
};

struct PyFunctionInfo {
    const char* name;
    std::span<const ParamEntry> params;
    TypeRef result;
    const char* doc;
    const char* signature;
    const char* module;
};

// ---- the lists ---------------------------------------------------------

extern constinit LoadList<PyClassInfo> py_class_infos;
extern constinit LoadList<PyMethodsInfo> py_methods_infos;
extern constinit LoadList<PyFunctionInfo> py_function_infos;
extern constinit LoadList<PyAttributeInfo> py_attribute_infos;

// A module's records of its declared classes, method blocks and functions
// (tuples of declarations), pushed while the library loads. One static
// object of this type per module.
template <const char* Module, typename Classes, typename Blocks, typename Functions>
struct DeclaredRecords;

template <typename T>
inline constexpr ClassKey class_key{class_name<T>};

template <const char* Module, typename... C, typename... B, typename... F>
struct DeclaredRecords<Module, std::tuple<C...>, std::tuple<B...>, std::tuple<F...>> {
    template <typename T>
    static constexpr PyClassInfo class_info{&class_key<T>, class_name<T>, "", {}, Module};
    template <typename Block>
    static constexpr PyMethodsInfo methods_info{&class_key<typename Block::record>, Block::getters, Block::methods,
                                                Block::constructor};

    Registration<PyClassInfo> classes[sizeof...(C)]{{py_class_infos, class_info<C>}...};
    Registration<PyMethodsInfo> blocks[sizeof...(B)]{{py_methods_infos, methods_info<B>}...};
    Registration<PyFunctionInfo> functions[sizeof...(F)]{{py_function_infos, F::info}...};
};

}  // namespace torvane::py
