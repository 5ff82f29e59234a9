// torvane_ext's entry point: torvane imported and checked, its type objects
// adopted, then the module filled from the declarations (ext_api.hpp).

#include <Python.h>

#include <span>
#include <string>
#include <utility>

#include "python/api.hpp"
#include "python/boundary.hpp"
#include "python/ref.hpp"
#include "torvane_ext/ext_table.hpp"
#include "torvane_ext/group_class.hpp"

namespace torvane::ext {

using py::Ref;

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, kModule, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyObject* module_cache = nullptr;  // strong; set once, under the interpreter lock
PyObject* control_mode = nullptr;  // strong
PyObject* status_class = nullptr;  // strong

bool add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    return key && value && PyList_Append(all, key.get()) == 0 && PyObject_SetAttr(module, key.get(), value) == 0;
}

// torvane of this very build: the same version, and for each class the
// object size of the record this module was compiled with. Its type objects
// become the ones this module converts from and boxes into.
bool adopt_torvane() {
    Ref torvane = Ref::steal(PyImport_ImportModule("torvane"));
    if (!torvane) return false;
    Ref version = Ref::steal(PyObject_GetAttrString(torvane.get(), "__version__"));
    if (!version) return false;
    if (!PyUnicode_Check(version.get()) || PyUnicode_CompareWithASCIIString(version.get(), TORVANE_VERSION) != 0) {
        PyErr_Format(PyExc_ImportError, "torvane_ext %s needs torvane %s, but torvane %R is installed", TORVANE_VERSION,
                     TORVANE_VERSION, version.get());
        return false;
    }
    return [&]<typename... T>(std::tuple<T...>*) {
        auto adopt = [&]<typename C>(C*) {
            Ref cls = Ref::steal(PyObject_GetAttrString(torvane.get(), py::class_name<C>));
            if (!cls) return false;
            if (!PyType_Check(cls.get()) ||
                reinterpret_cast<PyTypeObject*>(cls.get())->tp_basicsize != sizeof(py::Boxed<C>)) {
                PyErr_Format(PyExc_ImportError,
                             "torvane_ext %s cannot use torvane.%s: its layout is not the one torvane_ext was built with "
                             "(%zd bytes)",
                             TORVANE_VERSION, py::class_name<C>, static_cast<Py_ssize_t>(sizeof(py::Boxed<C>)));
                return false;
            }
            // Kept for the process, like the module holds them.
            py::adopt_type<C>(reinterpret_cast<PyTypeObject*>(cls.release()));
            return true;
        };
        return (adopt(static_cast<T*>(nullptr)) && ...);
    }(static_cast<py::api::Classes*>(nullptr));
}

// An IntEnum of this module from (name, value) pairs.
template <typename Table, typename Pair>
PyObject* make_int_enum(const char* name, const Table& table, Pair pair) {
    Ref members = Ref::steal(PyList_New(0));
    if (!members) return nullptr;
    for (const auto& entry : table) {
        const auto [member, value] = pair(entry);
        Ref item = Ref::steal(Py_BuildValue("(sI)", member, unsigned{value}));
        if (!item || PyList_Append(members.get(), item.get()) < 0) return nullptr;
    }
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    Ref int_enum = enum_module ? Ref::steal(PyObject_GetAttrString(enum_module.get(), "IntEnum")) : Ref();
    Ref args = int_enum ? Ref::steal(Py_BuildValue("(sO)", name, members.get())) : Ref();
    Ref kwargs = args ? Ref::steal(Py_BuildValue("{ss}", "module", kModule)) : Ref();
    return kwargs ? PyObject_Call(int_enum.get(), args.get(), kwargs.get()) : nullptr;
}

// An enum class's doc, set once it is made (the functional API takes none).
PyObject* with_doc(PyObject* cls, const char* doc) {
    Ref text = cls ? Ref::steal(PyUnicode_FromString(doc)) : Ref();
    if (!text || PyObject_SetAttrString(cls, "__doc__", text.get()) < 0) {
        Py_XDECREF(cls);
        return nullptr;
    }
    return cls;
}

PyObject* make_control_mode() {
    return with_doc(
        make_int_enum("ControlMode", kModes, [](const ModeName& m) { return std::pair{m.name, m.value}; }),
        kControlModeDoc);
}

PyObject* status_is_fault(PyObject*, PyObject* member) {
    const long code = PyLong_AsLong(member);
    if (code == -1 && PyErr_Occurred()) return nullptr;
    const auto info = damiao::find_status(static_cast<std::uint32_t>(code));
    return PyBool_FromLong(info && info->is_fault);
}

PyMethodDef is_fault_def = {"is_fault", status_is_fault, METH_O, kIsFaultDoc};

// The enum, then is_fault as a property of its members: an enum body cannot
// be written from C, but the class takes new attributes once made.
PyObject* make_status() {
    Ref cls = Ref::steal(make_int_enum(kStatusClass, damiao::kStatuses, [](const damiao::StatusInfo& st) {
        return std::pair{st.name, std::uint32_t{st.code}};
    }));
    Ref fget = cls ? Ref::steal(PyCFunction_New(&is_fault_def, nullptr)) : Ref();
    Ref doc = fget ? Ref::steal(PyUnicode_FromString(kIsFaultDoc)) : Ref();
    Ref prop = doc ? Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get(),
                                                             Py_None, Py_None, doc.get(), nullptr))
                   : Ref();
    if (!prop || PyObject_SetAttrString(cls.get(), "is_fault", prop.get()) < 0) return nullptr;
    return with_doc(cls.release(), kStatusDoc);
}

PyObject* status(PyObject*, PyObject* arg) {
    long long code = 0;
    if (py::is_instance<damiao::MotorState>(arg)) {
        code = py::unbox<damiao::MotorState>(arg).error;
    } else if (PyLong_Check(arg)) {
        int overflow = 0;
        code = PyLong_AsLongLongAndOverflow(arg, &overflow);
        if (code == -1 && PyErr_Occurred()) return nullptr;
        if (overflow) return PyNumber_Index(arg);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes a MotorState (of torvane) or an int, not %.200s", kStatusFunction.name,
                     Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    if (code >= 0 && damiao::find_status(static_cast<std::uint32_t>(code)))
        return PyObject_CallFunction(status_class, "L", code);
    return PyLong_FromLongLong(code);
}

const std::string status_doc = std::string(kStatusFunction.name) + "(" + kStatusFunction.params + ")\n--\n\n" +
                               kStatusFunction.doc;
PyMethodDef status_def = {kStatusFunction.name, status, METH_O, status_doc.c_str()};

PyObject* make_registers() {
    Ref all = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(damiao::kRegisters.size())));
    if (!all) return nullptr;
    for (std::size_t i = 0; i < damiao::kRegisters.size(); ++i) {
        const damiao::RegisterInfo& r = damiao::kRegisters[i];
        const RegisterEntry entry{r.number, r.name, r.type == damiao::RegisterType::Float ? "float" : "int", r.read_only};
        PyObject* item = py::box(entry);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), item);
    }
    return all.release();
}

PyObject* names(std::span<const char* const> items) {
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < items.size(); ++k) {
        PyObject* name = PyUnicode_InternFromString(items[k]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), name);
    }
    return out.release();
}

PyObject* make_command_columns() {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const damiao::CommandShape& shape : damiao::kCommandShapes) {
        Ref fields = Ref::steal(names(shape.fields));
        if (!fields || PyDict_SetItemString(out.get(), shape.call, fields.get()) < 0) return nullptr;
    }
    return out.release();
}

template <typename T>
bool add_class(PyObject* module, PyObject* all) {
    return add(module, all, py::class_name<T>, reinterpret_cast<PyObject*>(py::type_object<T>()));
}

bool module_body(PyObject* module) {
    if (!adopt_torvane() || !make_exceptions() || !install_exit_guard(module)) return false;
    if (!control_mode && !(control_mode = make_control_mode())) return false;
    if (!status_class && !(status_class = make_status())) return false;
    Ref all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;

    Ref version = Ref::steal(PyUnicode_FromString(TORVANE_VERSION));
    if (!add(module, all.get(), "__version__", version.get())) return false;
    if (!add(module, all.get(), "ControlMode", control_mode)) return false;
    for (const ExceptionDecl& e : kExceptions)
        if (!add(module, all.get(), e.name, exception(e.failure))) return false;
    if (!add(module, all.get(), kStatusClass, status_class)) return false;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref status_fn = Ref::steal(PyCMethod_New(&status_def, module, module_name.get(), nullptr));
    if (!add(module, all.get(), kStatusFunction.name, status_fn.get())) return false;
    Ref registers = Ref::steal(make_registers());
    if (!add(module, all.get(), "REGISTERS", registers.get())) return false;
    Ref command_columns = Ref::steal(make_command_columns());
    if (!add(module, all.get(), kCommandColumnsName, command_columns.get())) return false;
    Ref state_columns = Ref::steal(names(damiao::kStateColumns));
    if (!add(module, all.get(), kStateColumnsName, state_columns.get())) return false;
    Ref error_classes = Ref::steal(names(can::kErrorClasses));
    if (!add(module, all.get(), kErrorClassesName, error_classes.get())) return false;
    const bool classes = [&]<typename... T>(std::tuple<T...>*) {
        return (add_class<T>(module, all.get()) && ...);
    }(static_cast<Classes*>(nullptr));
    if (!classes) return false;

    for (PyMethodDef* def = module_functions(); def->ml_name; ++def) {
        Ref fn = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
        if (!add(module, all.get(), def->ml_name, fn.get())) return false;
    }
    return true;
}

PyObject* init() {
    if (module_cache) return Py_NewRef(module_cache);
    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module || !module_body(module.get())) return nullptr;
    module_cache = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

PyObject* control_mode_class() { return control_mode; }

PyObject* status_of(std::uint32_t code) {
    if (status_class && damiao::find_status(code)) return PyObject_CallFunction(status_class, "I", code);
    return PyLong_FromUnsignedLong(code);
}

}  // namespace torvane::ext

namespace torvane::py {

template PyTypeObject* create_type<ext::Group>();
template PyTypeObject* create_type<ext::Robot>();
template PyTypeObject* create_type<ext::LimitsValue>();
template PyTypeObject* create_type<ext::MotorInfo>();
template PyTypeObject* create_type<ext::RegisterEntry>();
template PyTypeObject* create_type<ext::LoopObject>();
template PyTypeObject* create_type<loop::Stats>();
template PyTypeObject* create_type<ext::DecodedFrame>();
template PyTypeObject* create_type<ext::HealthRecord>();

}  // namespace torvane::py

PyMODINIT_FUNC PyInit_torvane_ext() { return torvane::py::guarded<&torvane::ext::init>(); }
