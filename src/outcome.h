// A record's outcome (`status`, `pesan`, `serialnumber`): every operation writes it through these,
// and a purchase in progress on this thread learns from them that its record shows a verdict.
//
// Rules of use:
//   - Write a record's outcome fields only through write_outcome(), write_status() and
//     write_field(): a purchase that raises reads from them whether it left a verdict of its own.
//   - A purchase (transaksi) holds an OpenPurchase for its record while it runs; the calls it makes
//     for that record on this thread, its retries through the instance among them, share it.
#pragma once
#include <memory>

#include "objects.h"

namespace deko {

// status, then pesan.
void write_outcome(PyObject* record, Obj status, Obj pesan);
void write_status(PyObject* record, Obj status);
// pesan or serialnumber alone.
void write_field(PyObject* record, const Name& field, Obj value);

// A purchase of one record on this thread, from its outermost transaksi call to that call's end:
// all attempts of a record are one purchase. It is found by its record, whatever order the calls
// end in (greenlets interleave calls on one thread), and lives on the heap, not on a stack that
// a greenlet switch may swap out.
class OpenPurchase {
public:
    struct State {
        Ref record;
        Ref first_time;  // the time of the purchase's first attempt (none until it is taken)
        bool sent = false;            // a purchase request went to the pipeline
        bool status_written = false;  // the record's status was written during the purchase
    };

    // Joins the purchase open for `record` on this thread, or opens one (then this is the outermost call).
    explicit OpenPurchase(PyObject* record);
    ~OpenPurchase();
    OpenPurchase(const OpenPurchase&) = delete;
    OpenPurchase& operator=(const OpenPurchase&) = delete;

    bool outermost() const { return outermost_; }
    State& state() { return *state_; }

private:
    std::shared_ptr<State> state_;
    bool outermost_ = false;
};

}  // namespace deko
