// Class assembly (see classes.h): methods' docstrings with their parameters, built functions
// renamed, the module's classes made with type() and kept.
#include "classes.h"

#include <cstdlib>
#include <cstring>
#include <map>

// rename_function edits pybind11's function record, which is not a public interface: it is
// written for the record and its capsule as pybind11 2.10 lays them out.
#if PYBIND11_VERSION_MAJOR != 2 || PYBIND11_VERSION_MINOR != 10
#error "rename_function was written for pybind11 2.10's function record: check it against this pybind11"
#endif

namespace deko {

void rename_function(py::handle fn, const char* name) {
    PyObject* capsule = PyCFunction_GET_SELF(fn.ptr());
    auto* rec = static_cast<py::detail::function_record*>(
        PyCapsule_GetPointer(capsule, py::detail::get_function_record_capsule_name()));
    if (!rec) throw py::error_already_set();
    char* renamed = strdup(name);
    if (!renamed) throw std::bad_alloc();
    std::free(const_cast<char*>(rec->name));
    rec->name = renamed;
    rec->def->ml_name = rec->name;
}

std::string documented(const char* name, const std::string& parameter_list, const char* doc) {
    return std::string(name) + parameter_list + "\n--\n\n" + doc;
}

py::object make_class(const char* name, py::tuple bases, const char* doc,
                      std::initializer_list<Member> members, py::dict extra) {
    py::dict ns;
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    for (const Member& m : members) {
        py::object value = m.build();
        // A member list that names one function and builds another would hide a method.
        if (py::hasattr(value, "__name__") && value.attr("__name__").cast<std::string>() != m.name)
            throw std::logic_error(std::string(name) + "." + m.name + " builds " +
                                   value.attr("__name__").cast<std::string>());
        ns[m.name] = value;
    }
    for (auto entry : extra) ns[entry.first] = entry.second;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(name, bases, ns);
    set_module_class(name, cls);
    return cls;
}

namespace {

// Never released: nothing of it runs at interpreter exit.
std::map<std::string, PyObject*>* g_classes = new std::map<std::string, PyObject*>();

}  // namespace

void set_module_class(const char* name, py::handle cls) { (*g_classes)[name] = cls.inc_ref().ptr(); }

Ref module_class(const char* name) {
    auto it = g_classes->find(name);
    if (it == g_classes->end()) {
        PyErr_Format(PyExc_RuntimeError, "class %s is not defined", name);
        throw PyError();
    }
    return Ref::borrow(it->second);
}

}  // namespace deko
