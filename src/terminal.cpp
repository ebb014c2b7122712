// Terminal helpers (see terminal.h).
#include "terminal.h"

#include "names.h"
#include "runtime.h"

namespace deko {

using namespace names;

namespace {

const Name* const kLevels[] = {&kDefault, &kSukses, &kWarning, &kGagal};

}  // namespace

void console(PyObject* self, PyObject* text, Level level) {
    Ref terminal = attr(self, kTerminal);
    call_method(terminal.get(), kConsole, {text, kLevels[static_cast<int>(level)]->get()});
}

void console(PyObject* self, const char* line, Level level) {
    Ref shown = py_str(line);
    console(self, shown.get(), level);
}

Ref log_exception(PyObject* self, PyObject* error) {
    Ref terminal = attr(self, kTerminal);
    return call_method(terminal.get(), kLogException, {error});
}

Ref settings(PyObject* self) {
    Ref terminal = attr(self, kTerminal);
    Ref config = attr(terminal.get(), kConfig);
    return attr(config.get(), kDeko);
}

void print_line(Obj value) {
    Ref print = global(kPrint);
    call(print.get(), {value});
}

}  // namespace deko
