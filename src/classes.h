// Class assembly: methods built from C++ functions, and the module's classes made from them.
#pragma once
#include <pybind11/pybind11.h>

#include "pyproto.h"

#include <string>
#include <utility>

// Ref as a pybind11 return type: the method hands its reference to the caller.
namespace pybind11::detail {
template <>
struct type_caster<deko::Ref> {
    PYBIND11_TYPE_CASTER(deko::Ref, const_name("object"));
    bool load(handle, bool) { return false; }
    static handle cast(deko::Ref src, return_value_policy, handle) { return src.release(); }
};
}  // namespace pybind11::detail

namespace deko {
namespace py = pybind11;

// Name under which the classes and methods report their module.
constexpr const char* kModuleName = "apps.deko.libs.connections.dekoconnection";

// Gives a built function another name (its __name__ and the name in its error messages).
void rename_function(py::handle fn, const char* name);

// "name(parameters)\n--\n\ndoc": the docstring from which Python tools (inspect.signature,
// help()) read a built function's parameters.
std::string documented(const char* name, const std::string& parameters, const char* doc);

namespace detail {

inline void parameter(std::string& out, const py::arg& a) { out += a.name; }
inline void parameter(std::string& out, const py::arg_v& a) {
    out += a.name;
    out += '=';
    out += py::repr(a.value).cast<std::string>();
}
inline void parameter(std::string& out, const py::kw_only&) { out += '*'; }

}  // namespace detail

// The parameter list "(self, x, y=0)" of the given pybind11 argument descriptions.
template <typename... Extra>
std::string parameters(const Extra&... extra) {
    std::string out = "(";
    bool first = true;
    ((out += first ? "" : ", ", first = false, detail::parameter(out, extra)), ...);
    return out + ")";
}

// A Python function object built from a C++ function, bound as a method when looked up through
// an instance (like a function defined in the class body), with its parameters visible to
// inspect.signature. `extra` names the parameters (py::arg), with their defaults.
template <typename Func, typename... Extra>
py::object method_with(const char* name, const std::string& parameter_list, Func&& f,
                       const char* doc, const Extra&... extra) {
    // pybind11 takes any function named "__init__" for a constructor of its own classes: such a
    // function is built under another name and renamed.
    bool is_init = std::string(name) == "__init__";
    std::string text = documented(name, parameter_list, doc);
    py::cpp_function fn(std::forward<Func>(f), py::name(is_init ? "init" : name),
                        py::doc(text.c_str()), extra...);
    if (is_init) rename_function(fn, name);
    return py::reinterpret_steal<py::object>(Ref::steal(PyInstanceMethod_New(fn.ptr())).release());
}

template <typename Func, typename... Extra>
py::object method(const char* name, Func&& f, const char* doc, const Extra&... extra) {
    return method_with(name, parameters(extra...), std::forward<Func>(f), doc, extra...);
}

// One attribute of a class under assembly: its name and the function that builds its value.
struct Member {
    const char* name;
    py::object (*build)();
};

// type(name, bases, namespace): a class of this module whose namespace holds `members` in their
// order, then `extra`.
py::object make_class(const char* name, py::tuple bases, const char* doc,
                      std::initializer_list<Member> members, py::dict extra = py::dict());

// The module's classes, kept for the life of the process once made.
void set_module_class(const char* name, py::handle cls);
Ref module_class(const char* name);

}  // namespace deko
