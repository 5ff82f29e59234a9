#include "python/binder.hpp"

#include <algorithm>
#include <string>

#include "python/ref.hpp"

namespace torvane::py {

namespace {

std::size_t positional(const Signature& sig) { return std::min(sig.count, sig.positional); }

void raise_too_many(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const std::size_t most = positional(sig);
    if (sig.required == most)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.display, most,
                     given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     sig.display, std::min(sig.required, most), most, given, verb);
}

void raise_missing(const Signature& sig, PyObject* const* out) {
    std::size_t missing[kMaxParams];
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing[n++] = i;
    std::string list;
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) list += (n == 2) ? " and " : (k + 1 == n ? ", and " : ", ");
        list += '\'';
        list += sig.names[missing[k]];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.display, n,
                 n == 1 ? "argument" : "arguments", list.c_str());
}

// Index of the parameter named by `key`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.count; ++i)
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    const Py_ssize_t i = find_param(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display, key);
        return false;
    }
    if (i < nargs) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display, sig.names[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool finish(const Signature& sig, PyObject* const* out) {
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) {
            raise_missing(sig, out);
            return false;
        }
    return true;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!kwnames && static_cast<std::size_t>(nargs) == positional(sig) && sig.count == positional(sig)) {
        for (std::size_t i = 0; i < sig.count; ++i) out[i] = args[i];  // the common call: all by position
        return true;
    }
    if (static_cast<std::size_t>(nargs) > positional(sig)) {
        raise_too_many(sig, nargs);
        return false;
    }
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
    }
    return finish(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > positional(sig)) {
        raise_too_many(sig, nargs);
        return false;
    }
    for (std::size_t i = 0; i < sig.count; ++i)
        out[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(sig, key, value, nargs, out)) return false;
    }
    return finish(sig, out);
}

}  // namespace torvane::py
