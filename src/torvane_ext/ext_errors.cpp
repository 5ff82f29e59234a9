#include "torvane_ext/ext_errors.hpp"

#include <array>
#include <string>

#include "python/ref.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

using py::Ref;

namespace {

std::array<PyObject*, kExceptions.size()> classes{};  // strong, for the process

PyObject* by_name(const char* name) {
    for (std::size_t i = 0; i < kExceptions.size(); ++i)
        if (std::string_view(kExceptions[i].name) == name) return classes[i];
    return nullptr;
}

}  // namespace

bool make_exceptions() {
    for (std::size_t i = 0; i < kExceptions.size(); ++i) {
        if (classes[i]) continue;
        const ExceptionDecl& e = kExceptions[i];
        Ref dict = Ref::steal(PyDict_New());
        // BusError carries the OS error number; the class says None.
        if (!dict || (e.failure == Failure::Bus && PyDict_SetItemString(dict.get(), "errno", Py_None) < 0))
            return false;
        const std::string qualified = std::string(kModule) + "." + e.name;
        classes[i] = PyErr_NewExceptionWithDoc(qualified.c_str(), e.doc, e.base ? by_name(e.base) : PyExc_RuntimeError,
                                               dict.get());
        if (!classes[i]) return false;
    }
    return true;
}

PyObject* exception(Failure f) { return classes[static_cast<std::size_t>(f)]; }

void raise_error(damiao::Error&& err) { raise_error(std::move(err), {}); }

void raise_error(damiao::Error&& err, std::string_view iface) {
    using E = damiao::Error;
    using K = can::TransportError::Kind;
    std::string text = err.to_string();
    if (!iface.empty() && err.get<can::TransportError>() && err.get<can::TransportError>()->kind != K::Timeout)
        text = std::string(iface) + ": " + text;
    PyObject* type = exception(Failure::Motor);
    Ref os_errno = Ref::borrow(Py_None);
    if (const auto* t = err.get<can::TransportError>()) {
        if (t->kind == K::Timeout) {
            type = exception(Failure::Timeout);
        } else {
            type = exception(Failure::Bus);
            if (t->kind == K::Backend && t->os_errno) os_errno = Ref::steal(PyLong_FromLong(t->os_errno));
            if (!os_errno) return;
        }
    } else if (err.get<E::BusOff>()) {
        type = exception(Failure::Bus);  // its text names the interface already
    } else if (err.get<E::NoSuchRegister>() || err.get<E::ReadOnlyRegister>() || err.get<E::TypeMismatch>()) {
        type = exception(Failure::Register);
    } else if (err.get<E::ControlModeMismatch>() || err.get<E::RegisterNotVerified>()) {
        type = exception(Failure::Verify);
    } else if (err.get<damiao::InvalidLimits>() || err.get<E::DuplicateFeedbackId>() ||
               err.get<E::GroupSizeMismatch>() || err.get<E::SharedBus>()) {
        type = PyExc_ValueError;
    }
    { damiao::Error released = std::move(err); }
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref exc = message ? Ref::steal(PyObject_CallOneArg(type, message.get())) : Ref();
    if (!exc) return;
    if (type == exception(Failure::Bus) && PyObject_SetAttrString(exc.get(), "errno", os_errno.get()) < 0) return;
    PyErr_SetRaisedException(exc.release());
}

}  // namespace torvane::ext
