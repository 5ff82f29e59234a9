#pragma once
// The type objects of the classes and the module functions, built from their
// declarations (api.hpp): method and property tables, constructors and
// slots, made once per class. Instantiated by the module (module.cpp).

#include <Python.h>

#include <functional>
#include <optional>
#include <string>

#include "python/api.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/error_map.hpp"
#include "python/ref.hpp"
#include "python/table_parts.hpp"
#include "python/transport_class.hpp"

namespace torvane::py {

namespace table {

using namespace decl;


// Stores one given argument into the record, by its field or its setter.
template <typename P, typename Record>
bool store(PyObject* obj, Record& record) {
    typename Convert<typename P::type>::type value;
    if (!Convert<typename P::type>::from(obj, P::name, value)) return false;
    if constexpr (std::is_member_object_pointer_v<decltype(P::store)>) {
        record.*P::store = value;
    } else if constexpr (std::is_void_v<decltype(P::store(record, value))>) {
        P::store(record, value);
    } else if (auto stored = P::store(record, value); !stored) {
        transport_err_to_py(stored.error());
        return false;
    }
    return true;
}

// The given arguments in order, the first failure ending the call; absent
// ones leave the record's default.
template <typename... P, typename Record>
bool fill(Params<P...>*, PyObject* const* bound, Record& record) {
    return [&]<std::size_t... K>(std::index_sequence<K...>) {
        return ((!bound[K] || store<P>(bound[K], record)) && ...);
    }(std::index_sequence_for<P...>{});
}

// ---- entry points ------------------------------------------------------------

// The bus first, then the other arguments converted in order.
template <typename M, typename First, typename... A>
PyObject* call_method(PyObject* self, PyObject* const* bound, Params<First, A...>*) {
    return [&]<std::size_t... K>(std::index_sequence<K...>) -> PyObject* {
        Bus* bus;
        std::tuple<typename Convert<typename A::type>::type...> rest;
        if (!Convert<typename First::type>::from(bound[0], First::name, bus) ||
            !(Convert<typename A::type>::from(bound[K + 1], A::name, std::get<K>(rest)) && ...))
            return nullptr;
        const auto& record = unbox<typename M::record>(self);
        return run_on_bus(*bus,
                          [&](can::CanTransport& t) { return std::invoke(M::op, record, t, std::get<K>(rest)...); });
    }(std::index_sequence_for<A...>{});
}

template <typename M>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[M::params::count];
    if (!bind_fast(signature<M>, args, nargs, kwnames, bound)) return nullptr;
    return call_method<M>(self, bound, params_of<M>);
}

template <typename M>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[M::params::count];
    if (!bind_tuple(signature<M>, args, kwargs, bound)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || !fill(params_of<M>, bound, unbox<typename M::record>(self.get()))) return nullptr;
    return self.release();
}

template <typename M>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[M::params::count];
    typename M::record record;
    if (!bind_fast(signature<M>, args, nargs, kwnames, bound) || !fill(params_of<M>, bound, record)) return nullptr;
    return box(record);
}

template <typename F>
PyObject* get(PyObject* self, void*) {
    const auto value = unbox<typename F::record>(self).*F::store;
    if constexpr (std::is_floating_point_v<decltype(value)>)
        return PyFloat_FromDouble(static_cast<double>(value));
    else
        return PyLong_FromLong(value);
}

template <const auto& Table, std::size_t J>
PyObject* preset(PyObject*, PyObject*) {
    return box(Table[J].limits);
}

template <typename T>
PyObject* repr(PyObject* self) {
    const std::string s = api::repr_text(unbox<T>(self));
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}


// ---- the class -----------------------------------------------------------------

// Calls f(block) for every block of the class that holds T, in order.
template <typename T, typename F>
constexpr void for_each_block(F&& f) {
    [&]<typename... B>(std::tuple<B...>*) {
        ((std::is_same_v<typename B::record, T> ? f(static_cast<B*>(nullptr)) : void()), ...);
    }(static_cast<api::Blocks*>(nullptr));
}

// Sizes of the tables: every catalogue method (a repr needs no table entry,
// so one may be spare) and property of the class.
template <typename T>
inline constexpr std::pair<std::size_t, std::size_t> table_sizes = [] {
    std::pair<std::size_t, std::size_t> n{};
    for_each_block<T>([&]<typename B>(B*) { n.first += B::methods.size(), n.second += B::getters.size(); });
    return n;
}();

template <const auto& Table, std::size_t J>
inline constexpr const char* preset_doc =
    c_text<[](TextSink& out) { Params<>::write_doc(out, Table[J].name, nullptr, ""); }>;

template <typename T>
PyTypeObject* make_type() {
    TypeParts<T, table_sizes<T>.first, table_sizes<T>.second> t;
    auto add = [&]<typename M, typename R>(M*, R*) {
        if constexpr (requires { M::op; }) {
            t.methods[t.m++] = {M::name, as_cfunction<&method<M>>(), kFast, M::doc};
        } else if constexpr (requires { M::table; }) {
            [&]<std::size_t... J>(std::index_sequence<J...>) {
                ((t.methods[t.m++] = {M::table[J].name, guarded<&preset<M::table, J>>, METH_NOARGS | METH_STATIC,
                                      preset_doc<M::table, J>}),
                 ...);
            }(std::make_index_sequence<M::table.size()>{});
        } else if constexpr (M::constructs) {
            t.slot(Py_tp_new, guarded<&construct<M>>);
            t.slot(Py_tp_doc, M::doc);
            t.constructed = true;
        } else if constexpr (std::is_same_v<M, Repr>) {
            t.slot(Py_tp_repr, guarded<&repr<R>>);
        } else {
            [&]<typename... F>(Fields<F...>*) {
                ((t.getset[t.g++] = {F::name, guarded<&get<F>>, nullptr, "", nullptr}), ...);
            }(static_cast<M*>(nullptr));
        }
    };
    for_each_block<T>([&]<typename R, typename... M>(Block<R, M...>*) {
        (add(static_cast<M*>(nullptr), static_cast<R*>(nullptr)), ...);
    });
    return t.finish(c_text<[](TextSink& out) { out << "torvane." << class_name<T>; }>, Py_TPFLAGS_DEFAULT);
}

}  // namespace table

template <typename T>
PyTypeObject* create_type() {
    return table::make_type<T>();
}

// The module functions' table, sentinel-terminated.
inline PyMethodDef* module_functions() {
    static PyMethodDef defs[std::tuple_size_v<api::Functions> + 1];
    [&]<typename... F>(std::tuple<F...>*) {
        std::size_t i = 0;
        ((defs[i++] = {F::name, table::as_cfunction<&table::function<F>>(), table::kFast, F::doc}), ...);
    }(static_cast<api::Functions*>(nullptr));
    return defs;
}

}  // namespace torvane::py
