// A request sent through the instance's pipeline (self.makerequest), and what came back: no
// answer, a refusal with the provider's text, or an accepted request. Every operation reads its
// answer through these; each says how it tells "no answer", as it compares makerequest's result
// with none.
#pragma once
#include "objects.h"

namespace deko {

struct Answer {
    enum class Outcome { NoAnswer, Refused, Accepted };
    Outcome outcome;
    Ref completed;  // the completed request; none without an answer

    bool unanswered() const { return outcome == Outcome::NoAnswer; }
    bool accepted() const { return outcome == Outcome::Accepted; }
    // The provider's error text of a refusal.
    Ref error() const;
};

// How "no answer" is told: makerequest's result `is None`, `== None`, or not `!= None`; with
// `conn_first`, an answer whose `conn` does not count as true is none too (tested before
// `sukses`).
enum class NoneTest { Is, Equals, NotDiffers };

// self.makerequest(dekorequest.<request_class>, **fields); `sending`, when given, is set just before
// the request goes to the pipeline (a purchase that raises then tells whether the provider may have it).
Answer ask(PyObject* self, const Name& request_class, std::initializer_list<Kw> fields, NoneTest test,
           bool conn_first = false, bool* sending = nullptr);

// A refusal shown on the console ("gagal"); returns the provider's text.
Ref show_refusal(PyObject* self, const Answer& answer);

// A refusal as a purchase or a menu check stores it: "[Deko]: " + the provider's text.
Ref stored_refusal(Obj error);

// A refusal of a purchase or a menu check: shown, and stored in the record as "gagal" and
// stored_refusal().
void store_refusal(PyObject* self, PyObject* record, const Answer& answer);

}  // namespace deko
