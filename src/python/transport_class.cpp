#include "python/transport_class.hpp"

#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/error_map.hpp"

namespace torvane::py {

namespace {

constexpr const char* kNames[] = {"iface"};
constexpr Signature kNew = signature("SocketCanTransport.__new__()", kNames, 1);

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* iface;
    if (!bind_tuple(kNew, args, kwargs, &iface)) return nullptr;
    if (!PyUnicode_Check(iface)) {
        raise_not_convertible(iface, "PyString", "iface");
        return nullptr;
    }
    Py_ssize_t len;
    const char* name = PyUnicode_AsUTF8AndSize(iface, &len);
    if (!name) return nullptr;
    auto opened = can::SocketCanTransport::open({name, static_cast<std::size_t>(len)});
    if (!opened) {
        transport_err_to_py(opened.error());
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;  // `opened` closes the socket
    auto* bus = reinterpret_cast<PySocketCanTransport*>(self);
    new (&bus->lock) std::mutex();
    bus->poisoned = false;
    new (&bus->transport) can::SocketCanTransport(std::move(*opened));
    return self;
}

void bus_dealloc(PyObject* self) {
    auto* bus = reinterpret_cast<PySocketCanTransport*>(self);
    bus->transport.~SocketCanTransport();
    bus->lock.~mutex();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr ClassDef kClass{"torvane.SocketCanTransport",
                          "SocketCanTransport(iface)\n--\n\n",
                          sizeof(PySocketCanTransport),
                          guarded<&bus_new>,
                          nullptr,
                          bus_dealloc,
                          nullptr,
                          nullptr};
const ClassBlock socketcan_transport_class{ClassId::SocketCanTransport, kClass};

}  // namespace

}  // namespace torvane::py
