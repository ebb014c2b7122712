// History reconciliation: the history query, the previous-purchase lookup and the history matcher
// (its passes are matching.cpp's, shared with the purchase).
#include "matching.h"
#include "names.h"
#include "outcome.h"
#include "runtime.h"
#include "whole_number.h"
#include "subsystems.h"

namespace deko {

using namespace names;

namespace {

// Whether entry is a plain dict whose entry[key] is a plain str other than the plain str `value`
// (false when that cannot be told so). The caller holds the entry: the lookup may run the __eq__
// of a key in it, and the value is read before anything else runs.
bool text_differs(PyObject* entry, PyObject* key, PyObject* value) {
    if (!PyDict_CheckExact(entry) || !PyUnicode_CheckExact(value)) return false;
    PyObject* found = PyDict_GetItemWithError(entry, key);
    if (!found && PyErr_Occurred()) throw PyError();
    return found && PyUnicode_CheckExact(found) && !same_text(found, value);
}

}  // namespace

// history() -------------------------------------------------------------------------------------

Ref history(PyObject* self) {
    Ref completed = fetch_history(self);
    return is_none(completed) ? completed : attr(completed, kHistory);
}

// get_previous_transaksi() ------------------------------------------------------------------------

Ref get_previous_transaksi(PyObject* self, PyObject* transaksi, PyObject* transaksi_db) {
    Ref harga = item(transaksi_db, kHarga);
    Ref completed = fetch_history(self);
    if (is_none(completed)) return completed;

    Ref taken, orderid, paketid, tujuan;
    bool mode_known = false, by_order = false;
    std::optional<Whole> stored_price;

    for_each(attr(completed, kHistory), [&](PyObject* entry) {
        // An entry of another product, told by its plain text, is passed over at once, without
        // reading anything else of it.
        if (mode_known && !by_order && text_differs(entry, kProductId.get(), paketid.get())) return true;
        if (!mode_known) {  // the row's order id is read only when there is an entry
            orderid = item(transaksi_db, kOrderid);
            by_order = !is_none(orderid);
            if (!by_order) {
                paketid = attr(attr(transaksi, kProduk), kPaketid);
                tujuan = attr(transaksi, kTujuan);
            }
            mode_known = true;
        }
        if (by_order) {  // the last entry of that batch is taken
            if (equals(item(first_detail(entry), kBatchId), orderid)) taken = Ref::borrow(entry);
            return true;
        }
        if (!equals(item(entry, kProductId), paketid)) return true;
        Ref number = call(global(kNormalize), {tujuan}, {{kStart, kNationalPrefix}});
        if (!equals(number, item(first_detail(entry), kMsisdn))) return true;
        if (!is_none(harga)) {
            Whole price = whole_via_decimal(item(entry, kFinalSuccessPrice).get());
            if (!stored_price) stored_price = whole_direct(harga.get());
            if (!(price == *stored_price)) return true;
        }
        taken = Ref::borrow(entry);
        return false;
    });
    if (!taken) return none();

    write_status(transaksi, status_for(item(taken, kStatusDesc).get()));
    // The provider writes "-" for an entry without a product price; the amount charged then
    // stands for it, as in the history matcher.
    write_field(transaksi, kPesan,
                join({py_str("Transaksi sudah pernah berhasil utk pembelian paket ke "), str_of(attr(transaksi, kTujuan)),
                      py_str(" sebesar "), whole_via_decimal(entry_price(taken.get()).get()).digits(), py_str(" .")}));
    write_field(transaksi, kSerialnumber, item(first_detail(taken.get()), kBatchId));
    return Ref::borrow(transaksi);
}

Ref get_transaksi_history(PyObject* self, PyObject* transaksi, PyObject* tujuan, PyObject* transaksitime,
                          PyObject* harga, PyObject* counter) {
    Lookup lookup = settle_from_history(self, transaksi, tujuan, transaksitime, harga, Ref::borrow(counter));
    return lookup == Lookup::Unreadable ? none() : Ref::borrow(transaksi);
}

// The methods this subsystem gives the module's classes, each with its place in its class.
namespace {
constexpr MethodDef kRows[] = {
    {kConnectionClass, 4, &kHistory, {self}, "The provider's transaction history, or none.", body<&history>()},
    {kConnectionClass, 6, &kGetPreviousTransaksi, {self, required(kTransaksi), required(kTransaksiDb)},
     "Find an earlier purchase of the same package for a stored transaction.", body<&get_previous_transaksi>()},
    {kConnectionClass, 7, &kGetTransaksiHistory,
     {self, required(kTransaksi), required(kTujuan), required(kTransaksitime), optional(kHarga, ParamDefault::None),
      optional(kCounter, ParamDefault::Zero)},
     "Settle a purchase from the provider's history (up to six passes).", body<&get_transaksi_history>()},
};
}  // namespace
const MethodTable kHistoryMethods = method_table<kRows, sizeof kRows / sizeof kRows[0]>();

}  // namespace deko
