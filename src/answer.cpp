// Requests through the pipeline and their answers (see answer.h).
#include "answer.h"

#include "names.h"
#include "outcome.h"
#include "runtime.h"
#include "terminal.h"

namespace deko {

using namespace names;

Ref Answer::error() const { return attr(completed, kErrorMsg); }

Answer ask(PyObject* self, const Name& request_class, std::initializer_list<Kw> fields, NoneTest test,
           bool conn_first, bool* sending) {
    Ref makerequest = attr(self, kMakerequest);
    Ref cls = attr(global(kRequests), request_class);
    if (sending) *sending = true;
    Ref completed = call(makerequest, {cls}, fields);
    bool absent = test == NoneTest::Is       ? is_none(completed)
                  : test == NoneTest::Equals ? equals(completed, Py_None)
                                             : !differs(completed, Py_None);
    if (absent || (conn_first && !truthy(attr(completed, kConn)))) return {Answer::Outcome::NoAnswer, completed};
    bool sukses = truthy(attr(completed, kSukses));
    return {sukses ? Answer::Outcome::Accepted : Answer::Outcome::Refused, completed};
}

Ref show_refusal(PyObject* self, const Answer& answer) {
    Ref error = answer.error();
    console(self, error.get(), Level::Gagal);
    return error;
}

Ref stored_refusal(Obj error) { return join({py_str("[Deko]: "), str_of(error)}); }

void store_refusal(PyObject* self, PyObject* record, const Answer& answer) {
    show_refusal(self, answer);
    write_outcome(record, kGagal, stored_refusal(answer.error()));
}

}  // namespace deko
