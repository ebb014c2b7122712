// The history matcher's passes: the provider's history read entry by entry for the one that
// belongs to a purchase, which then settles the record. Shared by the matcher
// (get_transaksi_history) and by the purchase, which looks a purchase up in the history when its
// answer was lost or a server error came back, before anything else.
#pragma once
#include "objects.h"

namespace deko {

// Matching passes a call makes at most, and the pause between two of them.
constexpr long kLastPass = 5;  // passes are counted from 0: six in all
constexpr long kPassPauseSeconds = 1;

// What a lookup in the history came to.
enum class Lookup {
    Settled,     // an entry was taken: the record holds its status, message and serial number
    NotFound,    // no entry after the last pass: the record is unchanged
    Unreadable,  // a History request got no answer or was refused: the record is unchanged
};

// The matcher's passes for `record` from pass `counter` on: each fetches the history and takes the
// first entry of the record's product for `tujuan` submitted at or after `transaksitime` (to the
// second) at the price `harga` (none: any price); between passes "Belum menemukan transaksi di
// history..." is shown and the thread sleeps one second. Errors in the history reach the caller.
Lookup settle_from_history(PyObject* self, PyObject* record, PyObject* tujuan, PyObject* transaksitime,
                            PyObject* harga, Ref counter);

// The completed History request, when the provider answered with success; else none.
Ref fetch_history(PyObject* self);

// entry["trxDetail"][0]
Ref first_detail(PyObject* entry);

// The entry's price: its "productPrice", or the amount charged when the provider gives "-".
Ref entry_price(PyObject* entry);

// The record's status for a provider status text, looked up in lower case.
Ref status_for(PyObject* status_desc);

}  // namespace deko
