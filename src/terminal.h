// Terminal helpers: what the operations show, log and read through the connection's terminal.
#pragma once
#include "objects.h"

namespace deko {

// The console's level words.
enum class Level { Default, Sukses, Warning, Gagal };

// self.terminal.console(text, level)
void console(PyObject* self, PyObject* text, Level level);
// `text` of static storage (a literal or a constant): its str is made once.
void console(PyObject* self, const char* text, Level level);

// self.terminal.logException(error); returns what it returns.
Ref log_exception(PyObject* self, PyObject* error);

// self.terminal.config.deko: the terminal's provider settings.
Ref settings(PyObject* self);

// print(value) with the module's print.
void print_line(Obj value);

}  // namespace deko
