// The signature records of every class, method block and module function,
// taken from the declarations (api.hpp) and registered while the library
// loads, one static registration per record.

#include "python/stub_catalogue.hpp"

#include "python/api.hpp"

namespace torvane::py {

constinit LoadList<PyClassInfo> py_class_infos;
constinit LoadList<PyMethodsInfo> py_methods_infos;
constinit LoadList<PyFunctionInfo> py_function_infos;
constinit LoadList<PyAttributeInfo> py_attribute_infos;

namespace {

template <typename T>
inline constexpr ClassKey class_key{class_name<T>};

template <typename T>
inline constexpr PyClassInfo class_info{&class_key<T>, class_name<T>, "", {}, "torvane"};

template <typename B>
inline constexpr PyMethodsInfo methods_info{&class_key<typename B::record>, B::getters, B::methods, B::constructor};

template <typename Classes, typename Blocks, typename Functions>
struct Registrations;

template <typename... C, typename... B, typename... F>
struct Registrations<std::tuple<C...>, std::tuple<B...>, std::tuple<F...>> {
    Registration<PyClassInfo> classes[sizeof...(C)]{{py_class_infos, class_info<C>}...};
    Registration<PyMethodsInfo> blocks[sizeof...(B)]{{py_methods_infos, methods_info<B>}...};
    Registration<PyFunctionInfo> functions[sizeof...(F)]{{py_function_infos, F::info}...};
};

const Registrations<api::Classes, api::Blocks, api::Functions> registrations;

}  // namespace

}  // namespace torvane::py
