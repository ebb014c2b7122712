// References (see refs.h).
#include "refs.h"

#include <cstring>

namespace deko {

std::atomic<bool> g_interpreter_exiting{false};

PyTypeObject static_type(const char* name, Py_ssize_t size, destructor dealloc) {
    PyTypeObject t;
    std::memset(&t, 0, sizeof t);
    reinterpret_cast<PyObject*>(&t)->ob_refcnt = 1;  // never freed
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_dealloc = dealloc;
    return t;
}

PyObject* Name::intern() const {
    object_ = PyUnicode_InternFromString(text_);  // kept for the life of the process
    if (!object_) throw PyError();
    return object_;
}

}  // namespace deko
