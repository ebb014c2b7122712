// References (see refs.h).
#include "refs.h"

namespace deko {

std::atomic<bool> g_interpreter_exiting{false};

PyObject* Name::intern() const {
    object_ = PyUnicode_InternFromString(text_);  // kept for the life of the process
    if (!object_) throw PyError();
    return object_;
}

}  // namespace deko
