#pragma once
// torvane_ext's type objects and function table, built from its
// declarations (ext_api.hpp) with the parts every class table shares
// (python/table_parts.hpp). torvane's own classes are never built here:
// their type objects are adopted from the imported torvane module.

#include <Python.h>

#include <functional>
#include <optional>
#include <tuple>

#include "python/binder.hpp"
#include "python/table_parts.hpp"
#include "torvane_ext/ext_api.hpp"
#include "torvane_ext/ext_convert.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/group_class.hpp"
#include "torvane_ext/on_bus.hpp"
#include "torvane_ext/plain_table.hpp"

namespace torvane::ext::table {

using namespace py::decl;
using namespace py::table;
using py::Convert;

// ---- module functions on (bus, ...) ---------------------------------------------

template <typename F, typename First, typename... A>
PyObject* call_on_bus(PyObject* const* bound, Params<First, A...>*) {
    return [&]<std::size_t... K>(std::index_sequence<K...>) -> PyObject* {
        Bus* bus;
        // An absent optional argument keeps its type's default.
        std::tuple<typename Convert<typename A::type>::type...> rest;
        if (!Convert<Bus>::from(bound[0], First::name, bus) ||
            !((!bound[K + 1] || Convert<typename A::type>::from(bound[K + 1], A::name, std::get<K>(rest))) && ...) ||
            !validate(std::get<K>(rest)...))
            return nullptr;
        std::optional<decltype(std::invoke(F::op, std::declval<can::CanTransport&>(), std::get<K>(rest)...))> result;
        if (!run_released(*bus, [&](can::CanTransport& t) { result.emplace(std::invoke(F::op, t, std::get<K>(rest)...)); }))
            return nullptr;
        if (!*result) {
            raise_error(std::move(result->error()));
            return nullptr;
        }
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(**result)>, MotorState>)
            note_state(*bus, std::get<0>(rest), **result);
        if constexpr (std::is_void_v<typename F::result>)
            Py_RETURN_NONE;
        else
            return to_py(**result);
    }(std::index_sequence_for<A...>{});
}

template <typename F>
PyObject* bus_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[F::params::count];
    if (!py::bind_fast(signature<F>, args, nargs, kwnames, bound)) return nullptr;
    return call_on_bus<F>(bound, params_of<F>);
}

template <typename F>
PyCFunction entry_point() {
    if constexpr (requires { F::plain; })
        return as_cfunction<&plain_function<F>>();
    else
        return as_cfunction<&bus_function<F>>();
}

// ---- classes --------------------------------------------------------------------

template <typename F>
PyObject* get(PyObject* self, void*) {
    return to_py(py::unbox<typename F::record>(self).*F::store);
}

template <auto Id>
PyObject* computed_field(PyObject* self, void*) {
    return computed(self, Id);
}

template <typename M>
PyObject* tick(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[M::params::count + 1];
    if (!py::bind_fast(signature<M>, args, nargs, kwnames, bound)) return nullptr;
    auto& record = py::unbox<typename M::record>(self);
    if constexpr (std::is_same_v<typename M::result, Answered>) {
        // (commands, out), or (out) alone for a call that carries no values.
        if constexpr (M::params::count == 1)
            return ext::tick(record, M::frames, nullptr, bound[0]);
        else
            return ext::tick(record, M::frames, bound[0], bound[1]);
    } else {
        return ext::tick(record, M::frames, M::params::count ? bound[0] : nullptr, nullptr);
    }
}

template <typename M>
PyObject* record_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[M::params::count + 1];
    if (!py::bind_fast(signature<M>, args, nargs, kwnames, bound)) return nullptr;
    return ext::call(py::unbox<typename M::record>(self), self, M::call_id, bound);
}

template <typename T>
PyObject* construct_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(static_cast<T*>(nullptr), type, args, kwargs);
}

template <typename T>
PyObject* repr(PyObject* self) {
    const std::string s = repr_text(py::unbox<T>(self));
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

inline void finalize_group(PyObject* self) { finalize(py::unbox<Group>(self)); }

template <typename T>
inline constexpr std::pair<std::size_t, std::size_t> table_sizes = [] {
    std::pair<std::size_t, std::size_t> n{};
    [&]<typename... B>(std::tuple<B...>*) {
        ((std::is_same_v<typename B::record, T> ? (n.first += B::methods.size(), n.second += B::getters.size()) : 0),
         ...);
    }(static_cast<Blocks*>(nullptr));
    return n;
}();

template <typename T>
PyTypeObject* make_type() {
    TypeParts<T, table_sizes<T>.first, table_sizes<T>.second> t;
    auto add = [&]<typename M>(M*) {
        if constexpr (requires { M::own_slot; }) {
            add_own<M>(t);
        } else if constexpr (requires { M::call_id; }) {
            t.methods[t.m++] = {M::name, as_cfunction<&record_call<M>>(), kFast, M::doc};
        } else if constexpr (requires { M::frames; }) {
            t.methods[t.m++] = {M::name, as_cfunction<&tick<M>>(), kFast, M::doc};
        } else if constexpr (requires { M::holds_references; }) {
            t.slot(Py_tp_new, py::guarded<&construct_new<typename M::record>>);
            t.slot(Py_tp_doc, M::doc);
            t.constructed = true;
        } else if constexpr (requires { M::class_doc; }) {
            t.slot(Py_tp_doc, M::class_doc);
        } else if constexpr (std::is_same_v<M, Repr>) {
            t.slot(Py_tp_repr, py::guarded<&repr<T>>);
        } else if constexpr (requires { M::getters; } && std::is_base_of_v<Member, M>) {
            [&]<template <typename...> typename L, typename... F>(L<F...>*) {
                if constexpr (requires { (F::id, ...); })
                    ((t.getset[t.g++] = {F::name, py::guarded<&computed_field<F::id>>, nullptr, "", nullptr}), ...);
                else
                    ((t.getset[t.g++] = {F::name, py::guarded<&get<F>>, nullptr, "", nullptr}), ...);
            }(static_cast<M*>(nullptr));
        }
    };
    [&]<typename... B>(std::tuple<B...>*) {
        ((std::is_same_v<typename B::record, T>
              ? [&]<typename R, typename... M>(Block<R, M...>*) { (add(static_cast<M*>(nullptr)), ...); }(
                    static_cast<B*>(nullptr))
              : void()),
         ...);
    }(static_cast<Blocks*>(nullptr));
    if constexpr (std::is_same_v<T, Group>) t.slot(Py_tp_finalize, &finalize_group);
    // Immutable: Python cannot replace a method or __new__ of these classes.
    return t.finish(c_text<[](TextSink& out) { out << kModule << "." << py::class_name<T>; }>,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
}

template <typename T>
inline constexpr bool is_own = []<typename... C>(std::tuple<C...>*) {
    return (std::is_same_v<T, C> || ...);
}(static_cast<Classes*>(nullptr));

}  // namespace torvane::ext::table

namespace torvane::py {

template <typename T>
PyTypeObject* create_type() {
    if constexpr (ext::table::is_own<T>) {
        return ext::table::make_type<T>();
    } else {
        // torvane's classes come from torvane, adopted at import.
        PyErr_Format(PyExc_SystemError, "torvane_ext: torvane.%s was not adopted at import", class_name<T>);
        return nullptr;
    }
}

// torvane_ext's own types are made in ext_module.cpp alone. Made in several
// files, their tables' compile-time texts (lambdas numbered per file) would
// clash when a sanitizing build's linker merges the copies.
extern template PyTypeObject* create_type<ext::Group>();
extern template PyTypeObject* create_type<ext::Robot>();
extern template PyTypeObject* create_type<ext::LimitsValue>();
extern template PyTypeObject* create_type<ext::MotorInfo>();
extern template PyTypeObject* create_type<ext::RegisterEntry>();
extern template PyTypeObject* create_type<ext::LoopObject>();
extern template PyTypeObject* create_type<loop::Stats>();
extern template PyTypeObject* create_type<ext::DecodedFrame>();
extern template PyTypeObject* create_type<ext::HealthRecord>();

}  // namespace torvane::py

namespace torvane::ext {

// The module functions' table, sentinel-terminated.
inline PyMethodDef* module_functions() {
    static PyMethodDef defs[std::tuple_size_v<Functions> + 1];
    [&]<typename... F>(std::tuple<F...>*) {
        std::size_t i = 0;
        ((defs[i++] = {F::name, table::entry_point<F>(), table::kFast, F::doc}), ...);
    }(static_cast<Functions*>(nullptr));
    return defs;
}

}  // namespace torvane::ext
