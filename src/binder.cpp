// The binder (see binder.h): argument binding as Python binds a def's, the boundary, the method
// descriptor, and the classes.
#include "binder.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace deko {

PyObject* default_value(ParamDefault value) {
    static PyObject* zero = PyLong_FromLong(0);  // a small int: never freed
    switch (value) {
        case ParamDefault::None: return Py_None;
        case ParamDefault::Zero: return zero;
        case ParamDefault::True: return Py_True;
        case ParamDefault::False: return Py_False;
        case ParamDefault::Required: break;
    }
    return nullptr;
}

namespace {

// How a def names itself in its argument errors: "transaksi()", from 3.10 on with its class,
// "DekoConnection.transaksi()".
std::string called(const MethodDef& def) {
#if PY_VERSION_HEX >= 0x030A0000
    return std::string(def.owner) + "." + def.name->text() + "()";
#else
    return std::string(def.name->text()) + "()";
#endif
}

[[noreturn]] void fail(const MethodDef& def, const std::string& message) {
    PyErr_SetString(PyExc_TypeError, (called(def) + " " + message).c_str());
    throw PyError();
}

}  // namespace

void Mistake::too_many(const MethodDef& def, Py_ssize_t given) {
    const Shape shape = shape_of(def);
    std::size_t required = 0;
    for (std::size_t i = 0; i < shape.positional; ++i) required += def.params[i].value == ParamDefault::Required;
    std::string takes = required == shape.positional
                            ? std::to_string(shape.positional)
                            : "from " + std::to_string(required) + " to " + std::to_string(shape.positional);
    fail(def, "takes " + takes + " positional argument" + (shape.positional == 1 ? "" : "s") + " but " +
                  std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

void Mistake::unexpected(const MethodDef& def, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", called(def).c_str(), keyword);
    throw PyError();
}

void Mistake::keyword_not_text(const MethodDef& def) { fail(def, "keywords must be strings"); }

void Mistake::twice(const MethodDef& def, std::size_t slot) {
    fail(def, "got multiple values for argument '" + std::string(def.params[slot].name->text()) + "'");
}

void Mistake::missing(const MethodDef& def, const Args& bound) {
    std::vector<const char*> found;
    bool keyword_only = false;
    for (std::size_t i = 0; i < shape_of(def).count; ++i) {
        const Param& p = def.params[i];
        if (bound.values_[i] || p.value != ParamDefault::Required) continue;
        if (found.empty()) keyword_only = p.kind == ParamKind::KeywordOnly;
        if (keyword_only == (p.kind == ParamKind::KeywordOnly)) found.push_back(p.name->text());
    }
    const std::size_t missed = found.size();
    std::string names;
    for (std::size_t i = 0; i < missed; ++i)
        names += std::string(i == 0 ? "" : i + 1 == missed ? (missed > 2 ? ", and " : " and ") : ", ") + "'" +
                 found[i] + "'";
    fail(def, "missing " + std::to_string(missed) + " required " + (keyword_only ? "keyword-only" : "positional") +
                  " argument" + (missed == 1 ? "" : "s") + ": " + names);
}

namespace {

// "(self, transaksi, counter=0)": the parameters as inspect.signature and help() read them.
std::string parameter_list(const MethodDef& def) {
    static const char* const shown[] = {"", "None", "0", "True", "False"};
    std::string out = "(";
    bool starred = false;
    for (std::size_t i = 0; i < shape_of(def).count; ++i) {
        const Param& p = def.params[i];
        if (i) out += ", ";
        if (p.kind == ParamKind::KeywordOnly && !starred) out += "*, ";
        if (p.kind == ParamKind::Rest) out += "*", starred = true;
        if (p.kind == ParamKind::Options) out += "**";
        out += p.name->text();
        if (p.value != ParamDefault::Required) out += std::string("=") + shown[static_cast<int>(p.value)];
    }
    return out + ")";
}

// A method in its class: looked up on the class, the descriptor itself (with the def's names,
// doc and signature); on an instance, a bound method of its C function (which reports the same
// __qualname__ and __module__).
struct MethodObject {
    PyObject_HEAD
    const MethodDef* def;
    PyMethodDef* c_def;  // the C function's definition: kept for the life of the process
    PyObject* function;  // the C function, made once the class exists (it names the class)
    PyObject* qualname;
    PyObject* text_signature;
    PyObject* module;
};

// A C function points to its definition for as long as it lives, and a bound method, a partial or a
// Qt slot of the host may keep it long after its class attribute was replaced or deleted (which
// frees the method object): the definitions (and the docstrings they point to) are never freed.
struct CFunction {
    std::string doc;
    PyMethodDef def{};
};
std::map<const MethodDef*, CFunction>& g_c_functions = *new std::map<const MethodDef*, CFunction>();
// The row of each of those definitions.
auto& g_rows = *new std::unordered_map<const PyMethodDef*, const MethodDef*>();

void method_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_XDECREF(m->function);
    Py_XDECREF(m->qualname);
    Py_XDECREF(m->text_signature);
    Py_XDECREF(m->module);
    PyObject_Del(self);
}

// Pickled by reference, as a def is: by its module and qualified name.
PyObject* method_reduce(PyObject* self, PyObject*) {
    PyObject* qualname = reinterpret_cast<MethodObject*>(self)->qualname;
    Py_INCREF(qualname);
    return qualname;
}

PyMethodDef g_method_methods[] = {{"__reduce__", method_reduce, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!obj || obj == Py_None || !m->function) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(m->function, obj);
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!m->function) {
        PyErr_Format(PyExc_TypeError, "%s is not ready", m->def->name->text());
        return nullptr;
    }
    return PyObject_Call(m->function, args, kwargs);
}

PyObject* method_repr(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    return PyUnicode_FromFormat("<function %U>", m->qualname);
}

PyObject* get_name(PyObject* self, void*) {
    PyObject* name = reinterpret_cast<MethodObject*>(self)->def->name->get();  // an interned str: never fails
    Py_INCREF(name);
    return name;
}
PyObject* get_doc(PyObject* self, void*) { return PyUnicode_FromString(reinterpret_cast<MethodObject*>(self)->def->doc); }
PyObject* get_field(PyObject* self, void* offset) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::size_t>(offset));
    Py_INCREF(value);
    return value;
}

PyGetSetDef g_method_getset[] = {
    {const_cast<char*>("__name__"), get_name, nullptr, nullptr, nullptr},
    {const_cast<char*>("__doc__"), get_doc, nullptr, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_field, nullptr, nullptr,
     reinterpret_cast<void*>(offsetof(MethodObject, qualname))},
    {const_cast<char*>("__text_signature__"), get_field, nullptr, nullptr,
     reinterpret_cast<void*>(offsetof(MethodObject, text_signature))},
    {const_cast<char*>("__module__"), get_field, nullptr, nullptr, reinterpret_cast<void*>(offsetof(MethodObject, module))},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject g_method_type = [] {
    PyTypeObject t = static_type("apps.deko.libs.connections.dekoconnection.method", sizeof(MethodObject),
                                 method_dealloc);
    t.tp_doc = "A method of this module's classes.";
    t.tp_descr_get = method_get;
    t.tp_call = method_call;
    t.tp_repr = method_repr;
    t.tp_getset = g_method_getset;
    t.tp_methods = g_method_methods;
    return t;
}();

Ref new_method(const MethodDef& def, FastCall entry) {
    if (!g_method_type.tp_dict) checked(PyType_Ready(&g_method_type));
    Ref self = Ref::steal(PyObject_New(PyObject, &g_method_type));
    auto* m = reinterpret_cast<MethodObject*>(self.get());
    m->def = &def;
    m->function = m->qualname = m->text_signature = m->module = nullptr;
    std::string signature = parameter_list(def);
    CFunction& c = g_c_functions[&def];
    if (!c.def.ml_name) {  // made once: a module made again (another interpreter) shares them
        // The C function's own docstring carries the signature in the form Python's tools read.
        c.doc = std::string(def.name->text()) + signature + "\n--\n\n" + def.doc;
        c.def = {def.name->text(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry)),
                 METH_FASTCALL | METH_KEYWORDS, c.doc.c_str()};
        g_rows[&c.def] = &def;
    }
    m->c_def = &c.def;
    m->qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", def.owner, def.name->text())).release();
    m->text_signature = py_str(signature).release();
    m->module = module_name().release();
    return self;
}

}  // namespace

bool runs_body(PyObject* callable, PyObject* self, const Body& body) {
    if (!PyMethod_Check(callable) || PyMethod_GET_SELF(callable) != self) return false;
    PyObject* function = PyMethod_GET_FUNCTION(callable);
    if (!PyCFunction_Check(function)) return false;
    auto row = g_rows.find(reinterpret_cast<PyCFunctionObject*>(function)->m_ml);
    return row != g_rows.end() && row->second->body.call == body.call;
}

Ref make_class(const char* name, Obj bases, const char* doc, std::initializer_list<MethodTable> tables, Obj extra) {
    Ref ns = new_dict();
    set_item(ns, py_str("__module__"), module_name());
    set_item(ns, py_str("__qualname__"), py_str(name));
    set_item(ns, py_str("__doc__"), py_str(doc));
    std::vector<std::pair<const MethodDef*, FastCall>> own;
    for (const MethodTable& table : tables)
        for (std::size_t i = 0; i < table.count; ++i)
            if (std::strcmp(table.rows[i].owner, name) == 0) own.emplace_back(&table.rows[i], table.entries[i]);
    std::sort(own.begin(), own.end(), [](const auto& a, const auto& b) { return a.first->place < b.first->place; });
    std::vector<Ref> methods;
    for (std::size_t i = 0; i < own.size(); ++i) {
        if (i && own[i].first->place == own[i - 1].first->place) {
            PyErr_Format(PyExc_SystemError, "%s.%s and %s.%s share place %d", name, own[i - 1].first->name->text(),
                         name, own[i].first->name->text(), own[i].first->place);
            throw PyError();
        }
        methods.push_back(new_method(*own[i].first, own[i].second));
        set_item(ns, *own[i].first->name, methods.back());
    }
    if (extra.get()) checked(PyDict_Update(ns.get(), extra.get()));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {py_str(name), bases, ns});
    // The C functions name their class (their __qualname__ is "<class>.<name>"), which carries
    // their module's state.
    set_module_class(name, cls);
    for (const Ref& method : methods) {
        auto* m = reinterpret_cast<MethodObject*>(method.get());
        m->function = Ref::steal(PyCFunction_NewEx(m->c_def, cls.get(), m->module)).release();
    }
    return cls;
}

}  // namespace deko
