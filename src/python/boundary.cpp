#include "python/boundary.hpp"

#include "python/fixed_texts.hpp"
#include "python/ref.hpp"

namespace torvane::py {

PyObject* panic_type() {
    // Not a function-local static initialiser: a failed creation must be
    // retried by the next panic rather than remembered as null for good.
    static PyObject* type = nullptr;
    if (!type)
        type = PyErr_NewExceptionWithDoc("torvane.PanicException",
                                         "An internal fault inside torvane; not meant to be caught.",
                                         PyExc_BaseException, nullptr);
    return type;
}

void raise_panic(const std::string& message) {
    // Take a pending Python error out first: it is chained under the panic,
    // and making the class or the message with it still set would fail.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    PyObject* type = panic_type();
    if (!type) return;  // the class itself could not be made; that error stands
    Ref msg = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!msg) return;
    Ref exc = Ref::steal(PyObject_CallOneArg(type, msg.get()));
    if (!exc) return;
    if (pending) PyException_SetContext(exc.get(), pending.release());  // steals
    PyErr_SetRaisedException(exc.release());
}

void raise_panic_from_current() {
    try {
        throw;
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(text::kUnknownFailure);
    }
}

void reword_type_error(const char* param) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref original = Ref::steal(raised);
    Ref text = Ref::steal(PyObject_Str(original.get()));
    Ref reworded = text ? Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get())) : Ref();
    Ref exc = reworded ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, reworded.get())) : Ref();
    if (!exc) {
        // The new message could not be made (an original whose str() fails,
        // no memory): raise that failure, with the original as its context
        // rather than dropped without a trace.
        PyObject* failure = PyErr_GetRaisedException();
        if (failure) PyException_SetContext(failure, original.release());  // steals
        PyErr_SetRaisedException(failure ? failure : original.release());
        return;
    }
    PyException_SetCause(exc.get(), PyException_GetCause(original.get()));  // steals the new ref
    PyErr_SetRaisedException(exc.release());
}

void raise_not_convertible(PyObject* obj, const char* class_name, const char* param) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname)
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), class_name);
    else {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", text::kUnknownTypeName, class_name);
    }
    reword_type_error(param);
}

}  // namespace torvane::py
