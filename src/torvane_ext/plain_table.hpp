#pragma once
// The table parts of the declaration kinds without a bus (ext_declare.hpp):
// plain module functions, constructors that make their record, and members
// the class's module serves itself (iteration, calls, properties).

#include <Python.h>

#include <expected>
#include <functional>
#include <tuple>
#include <type_traits>

#include "python/binder.hpp"
#include "python/ref.hpp"
#include "python/table_parts.hpp"
#include "torvane_ext/ext_api.hpp"
#include "torvane_ext/ext_convert.hpp"
#include "torvane_ext/ext_errors.hpp"
#include "torvane_ext/loop_class.hpp"

namespace torvane::ext::table {

using namespace py::decl;
using namespace py::table;
using py::Convert;

template <typename T>
inline constexpr bool is_expected = false;
template <typename R, typename E>
inline constexpr bool is_expected<std::expected<R, E>> = true;

// An absent optional argument keeps its type's default.
template <typename... A, std::size_t... K>
bool convert_args(PyObject* const* bound, std::tuple<typename Convert<typename A::type>::type...>& out,
                  std::index_sequence<K...>) {
    return ((!bound[K] || Convert<typename A::type>::from(bound[K], A::name, std::get<K>(out))) && ...);
}

template <typename F, typename... A>
PyObject* call_plain(PyObject* const* bound, Params<A...>*) {
    std::tuple<typename Convert<typename A::type>::type...> args;
    if (!convert_args<A...>(bound, args, std::index_sequence_for<A...>{})) return nullptr;
    auto result = std::apply(F::op, args);
    if constexpr (is_expected<decltype(result)>) {
        if (!result) {
            raise_error(std::move(result.error()));
            return nullptr;
        }
        if constexpr (std::is_void_v<typename decltype(result)::value_type>)
            Py_RETURN_NONE;
        else
            return to_py(*result);
    } else {
        return to_py(result);
    }
}

template <typename F>
PyObject* plain_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[F::params::count + 1];
    if (!py::bind_fast(signature<F>, args, nargs, kwnames, bound)) return nullptr;
    return call_plain<F>(bound, params_of<F>);
}

template <typename M, typename... A>
PyObject* make_with(PyTypeObject* type, PyObject* args, PyObject* kwargs, Params<A...>*) {
    PyObject* bound[M::params::count + 1];
    if (!py::bind_tuple(signature<M>, args, kwargs, bound)) return nullptr;
    std::tuple<typename Convert<typename A::type>::type...> converted;
    if (!convert_args<A...>(bound, converted, std::index_sequence_for<A...>{})) return nullptr;
    auto made = std::apply(M::make, converted);
    if (!made) {
        raise_error(std::move(made.error()));
        return nullptr;
    }
    py::Ref self = py::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    py::unbox<typename M::record>(self.get()) = std::move(*made);
    return self.release();
}

template <typename M>
PyObject* make_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return make_with<M>(type, args, kwargs, params_of<M>);
}

template <auto Id>
PyObject* own_method(PyObject* self, PyObject*) {
    return own_call(self, Id);
}

template <auto Id>
PyObject* own_next(PyObject* self) {
    return own_call(self, Id);
}

template <auto Id>
PyObject* own_getter(PyObject* self, void*) {
    return own_get(self, Id);
}

template <typename M, typename Parts>
void add_own(Parts& t) {
    if constexpr (requires { M::make; }) {
        t.slot(Py_tp_new, py::guarded<&make_instance<M>>);
        t.slot(Py_tp_doc, M::doc);
        t.constructed = true;
    } else if constexpr (requires { M::name; }) {
        t.methods[t.m++] = {M::name, as_cfunction<&own_method<M::id>>(), METH_NOARGS, M::doc};
    } else if constexpr (requires { M::id; }) {
        t.slot(Py_tp_iter, &PyObject_SelfIter);
        t.slot(Py_tp_iternext, py::guarded<&own_next<M::id>>);
    } else {
        [&]<typename... C>(OwnComputed<C...>*) {
            ((t.getset[t.g++] = {C::name, py::guarded<&own_getter<C::id>>, nullptr, "", nullptr}), ...);
        }(static_cast<M*>(nullptr));
    }
}

}  // namespace torvane::ext::table
