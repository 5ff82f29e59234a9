#pragma once
// A class's type object, built from its declarations (api.hpp): its method
// and property tables, constructor and slots, made once per class. A class
// file includes this beside what only it knows (repr_text, the operations
// api.hpp names) and instantiates create_type for its records.

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
#include "python/transport_class.hpp"

namespace torvane::py {

// The text of __repr__; one specialisation beside each class that declares decl::Repr.
template <typename T>
std::string repr_text(const T& value);

namespace table {

using namespace decl;

template <typename M>
inline constexpr Signature signature{M::display, M::params::names.data(), M::params::count, M::params::required};

template <typename P>
using Converted = typename Convert<typename P::type>::type;
// What the operation receives: an argument with a default may be absent.
template <typename P>
using Value = std::conditional_t<P::required, Converted<P>, decltype(std::optional(std::declval<Converted<P>>()))>;

template <typename Want, typename Have>
Want& slot_for(Have& have) {
    if constexpr (std::is_same_v<Want, Have>)
        return have;
    else
        return have.emplace();
}

// Converts the bound arguments in order, the first failure ending the call,
// and calls f with the values.
template <typename... P, typename F>
PyObject* convert(Params<P...>*, PyObject* const* bound, F&& f) {
    return [&]<std::size_t... K>(std::index_sequence<K...>) -> PyObject* {
        std::tuple<Value<P>...> v;
        if (!((!bound[K] || Convert<typename P::type>::from(bound[K], P::name, slot_for<Converted<P>>(std::get<K>(v)))) &&
              ...))
            return nullptr;
        return f(std::get<K>(v)...);
    }(std::index_sequence_for<P...>{});
}

// Converts the bound fields straight into `record`; absent ones keep its default.
template <typename... F, typename Record>
bool fill(Params<F...>*, PyObject* const* bound, Record& record) {
    return [&]<std::size_t... K>(std::index_sequence<K...>) {
        return ((!bound[K] || Convert<typename F::type>::from(bound[K], F::name, record.*F::member)) && ...);
    }(std::index_sequence_for<F...>{});
}

template <typename M>
inline constexpr typename M::params* params_of = nullptr;

// Runs one driver operation under the bus lock and converts its result.
template <typename Op>
PyObject* run_locked(Bus& bus, Op&& op) {
    using R = decltype(op(std::declval<can::CanTransport&>()));
    std::optional<R> result;
    const bool ok = with_bus(bus, [&](can::CanTransport& t) {
        result.emplace(op(t));
        if (*result) return true;
        dm_err_to_py(std::move(result->error()));
        return false;
    });
    if (!ok) return nullptr;
    if constexpr (std::is_void_v<typename R::value_type>)
        Py_RETURN_NONE;
    else
        return box(**result);
}

template <typename Init, typename... A>
bool run_init(Init init, A&&... args) {
    if constexpr (std::is_void_v<std::invoke_result_t<Init, A...>>) {
        std::invoke(init, args...);
        return true;
    } else {
        auto done = std::invoke(init, args...);
        if (!done) transport_err_to_py(done.error());
        return done.has_value();
    }
}

// ---- entry points ------------------------------------------------------------

template <typename M>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[M::params::count];
    if (!bind_fast(signature<M>, args, nargs, kwnames, bound)) return nullptr;
    const auto& record = unbox<typename M::record>(self);
    return convert(params_of<M>, bound, [&](Bus* bus, const auto&... rest) {
        return run_locked(*bus, [&](can::CanTransport& t) { return std::invoke(M::op, record, t, rest...); });
    });
}

template <typename M>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using Record = typename M::record;
    PyObject* bound[M::params::count];
    if (!bind_tuple(signature<M>, args, kwargs, bound)) return nullptr;
    if constexpr (std::is_null_pointer_v<decltype(M::init)>) {
        Record record;
        if (!fill(params_of<M>, bound, record)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (self) unbox<Record>(self) = record;
        return self;
    } else {
        return convert(params_of<M>, bound, [&](const auto&... values) -> PyObject* {
            Ref self = Ref::steal(type->tp_alloc(type, 0));
            if (!self || !run_init(M::init, unbox<Record>(self.get()), values...)) return nullptr;
            return self.release();
        });
    }
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
    const auto value = unbox<typename F::record>(self).*F::member;
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
    const std::string s = repr_text(unbox<T>(self));
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

template <typename T>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, text::kNoConstructor, class_name<T>);
    return nullptr;
}

// Every instance holds a constructed record, also one Python made without
// the constructor (object.__new__ through a replaced __new__): the default.
template <typename T>
PyObject* alloc(PyTypeObject* type, Py_ssize_t) {
    PyObject* self = PyObject_Init(static_cast<PyObject*>(PyObject_Malloc(sizeof(Boxed<T>))), type);
    if (!self) return PyErr_NoMemory();
    new (&unbox<T>(self)) T();
    return self;
}

template <typename T>
void dealloc(PyObject* self) {
    unbox<T>(self).~T();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <auto Fn>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Fn>));
}

inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// ---- the class -----------------------------------------------------------------

// Calls f.template operator()<M>() for every member M of every block of the
// class that holds T, in declaration order.
template <typename T, typename F>
constexpr void for_each_member(F&& f) {
    auto block = [&]<typename R, typename... M>(Block<R, M...>*) {
        if constexpr (std::is_same_v<R, T>) (f.template operator()<M>(), ...);
    };
    [&]<typename... B>(std::tuple<B...>*) { (block(static_cast<B*>(nullptr)), ...); }(static_cast<api::Blocks*>(nullptr));
}

template <typename T>
inline constexpr std::array<std::size_t, 2> table_sizes = [] {
    std::array<std::size_t, 2> n{};  // catalogue methods (one more than the table needs with a repr), properties
    auto block = [&]<typename R, typename... M>(Block<R, M...>*) {
        if constexpr (std::is_same_v<R, T>) n[0] += Block<R, M...>::methods.size(), n[1] += Block<R, M...>::getters.size();
    };
    [&]<typename... B>(std::tuple<B...>*) { (block(static_cast<B*>(nullptr)), ...); }(static_cast<api::Blocks*>(nullptr));
    return n;
}();

template <const auto& Table, std::size_t J>
inline constexpr auto preset_doc = static_text<[](auto& out) { Params<>::write_doc(out, Table[J].name, nullptr, ""); }>;

template <typename T>
PyTypeObject* make_type() {
    static PyMethodDef methods[table_sizes<T>[0] + 1];
    static PyGetSetDef getset[table_sizes<T>[1] + 1];
    PyType_Slot slots[8];
    int n = 0;
    std::size_t m = 0, g = 0;
    bool constructed = false;
    auto slot = [&](int id, auto* p) { slots[n++] = {id, const_cast<void*>(reinterpret_cast<const void*>(p))}; };
    for_each_member<T>([&]<typename M>() {
        if constexpr (requires { M::op; }) {
            methods[m++] = {M::name, as_cfunction<&method<M>>(), kFast, M::doc};
        } else if constexpr (requires { M::table; }) {
            [&]<std::size_t... J>(std::index_sequence<J...>) {
                ((methods[m++] = {M::table[J].name, guarded<&preset<M::table, J>>, METH_NOARGS | METH_STATIC,
                                  preset_doc<M::table, J>.c_str()}),
                 ...);
            }(std::make_index_sequence<M::table.size()>{});
        } else if constexpr (requires { M::init; }) {
            slot(Py_tp_new, guarded<&construct<M>>);
            slot(Py_tp_doc, M::doc);
            constructed = true;
        } else if constexpr (std::is_same_v<M, Repr>) {
            slot(Py_tp_repr, guarded<&repr<T>>);
        } else {
            [&]<typename... F>(Fields<F...>*) {
                ((getset[g++] = {F::name, guarded<&get<F>>, nullptr, "", nullptr}), ...);
            }(static_cast<M*>(nullptr));
        }
    });
    if (!constructed) slot(Py_tp_new, &no_constructor<T>);
    slot(Py_tp_alloc, &alloc<T>);
    slot(Py_tp_dealloc, &dealloc<T>);
    if (m) slot(Py_tp_methods, methods);
    if (g) slot(Py_tp_getset, getset);
    slots[n] = {0, nullptr};
    PyType_Spec spec{static_text<[](auto& out) { out << "torvane." << class_name<T>; }>.c_str(),
                     static_cast<int>(sizeof(Boxed<T>)), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace table

// Declared in classes.hpp; each class file instantiates it for its records.
template <typename T>
PyTypeObject* create_type() {
    return table::make_type<T>();
}

}  // namespace torvane::py
