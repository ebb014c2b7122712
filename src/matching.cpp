// The history matcher's passes (see matching.h).
#include "matching.h"

#include <datetime.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "answer.h"
#include "core/batch_claims.h"
#include "core/datetime_parse.h"
#include "errors.h"
#include "names.h"
#include "outcome.h"
#include "runtime.h"
#include "terminal.h"
#include "whole_number.h"

namespace deko {

using namespace names;

// The completed History request, when the provider answered with success; else none.
Ref fetch_history(PyObject* self) {
    Answer answer = ask(self, kHistoryRequest, {}, NoneTest::Is, /*conn_first=*/true);
    return answer.accepted() ? answer.completed : none();
}

// entry["trxDetail"][0]
Ref first_detail(PyObject* entry) {
    Ref details = item(entry, kTrxDetail);
    if (PyList_CheckExact(details.get()) && PyList_GET_SIZE(details.get()) > 0)
        return Ref::borrow(PyList_GET_ITEM(details.get(), 0));
    return item_at(details, 0);
}

// The entry's price: its "productPrice", or the amount charged when the provider gives "-".
Ref entry_price(PyObject* entry) {
    Ref price = item(entry, kProductPrice);
    return equals(price, kNoPrice) ? item(entry, kFinalSuccessPrice) : price;
}

// The record's status for a provider status text, looked up in lower case.
Ref status_for(PyObject* status_desc) {
    Ref table = attr(global(kTransaksiTypes), kDekoStatus);
    return item(table, call_method(status_desc, kLower));
}

namespace {

// The price that skips the price test.
const Name& kNoPriceTest = kZero;

// "submittedDate": the milliseconds "000" dropped, then "%Y%m%d%H%M%S".
CivilTime submitted_time(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "strptime() argument 1 must be str, not %s", Py_TYPE(value)->tp_name);
        throw PyError();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) throw PyError();
    std::string_view spelled(data, static_cast<size_t>(size));
    if (auto t = parse_submitted_date(spelled)) return *t;
    Ref shown = text(without_millis(spelled));
    PyErr_Format(PyExc_ValueError, "time data %R does not match format '%%Y%%m%%d%%H%%M%%S'", shown.get());
    throw PyError();
}

// "At or after the transaction time, to the second". A plain naive datetime is compared field by
// field (the history matcher figure of bench/run.py: a comparison per entry); anything else is
// compared by Python itself.
class TimeBound {
public:
    explicit TimeBound(PyObject* transaksitime) : time_(transaksitime) {}

    bool reached_by(const CivilTime& t) {
        if (!cut_) prepare();
        if (plain_) return !(t < bound_);
        Ref entry = call(attr(global(kDatetime), kDatetime), {integer(t.year), integer(t.month), integer(t.day),
                                                              integer(t.hour), integer(t.minute), integer(t.second)});
        return compare(entry, cut_, Py_GE);
    }

private:
    void prepare() {
        cut_ = call(attr(time_, kReplace), {}, {{kMicrosecond, integer(0)}});
        if (!PyDateTimeAPI) {
            PyDateTime_IMPORT;
            if (!PyDateTimeAPI) throw PyError();
        }
        PyObject* c = cut_.get();
        plain_ = PyDateTime_CheckExact(c) && is_none(attr(c, kTzinfo));
        if (plain_)
            bound_ = CivilTime{PyDateTime_GET_YEAR(c),        PyDateTime_GET_MONTH(c),
                               PyDateTime_GET_DAY(c),         PyDateTime_DATE_GET_HOUR(c),
                               PyDateTime_DATE_GET_MINUTE(c), PyDateTime_DATE_GET_SECOND(c)};
    }

    PyObject* time_;
    Ref cut_;
    bool plain_ = false;
    CivilTime bound_{};
};

// Batches a connection has settled records from ---------------------------------------------------

// Kept per connection object while it lives (a weak reference to it drops them when it goes), and
// touched only while the GIL is held. The table lives as long as the process: it is never torn
// down after the interpreter.
struct ConnectionClaims {
    std::shared_ptr<BatchClaims> claims;
    Ref watch;  // the weak reference to the connection, whose callback forgets its claims
};
auto& g_claims = *new std::unordered_map<PyObject*, ConnectionClaims>();

PyObject* forget_claims(PyObject* connection_address, PyObject* /*weakref*/) {
    void* connection = PyLong_AsVoidPtr(connection_address);
    auto found = g_claims.find(static_cast<PyObject*>(connection));
    if (found != g_claims.end()) {
        ConnectionClaims gone = std::move(found->second);  // let go of once the table is consistent
        g_claims.erase(found);
    }
    Py_RETURN_NONE;
}
PyMethodDef g_forget_claims{"forget_claims", forget_claims, METH_O, nullptr};

// A batch id as a connection remembers it: a text, or a whole number (not a truth value) under its
// decimal text, so that "1001" and 1001 are one id; nothing for anything else (no claim is made).
std::optional<std::string> claim_key(PyObject* id) {
    if (PyLong_Check(id) && !PyBool_Check(id)) {
        Ref digits = Ref::steal(PyLong_Type.tp_repr(id));  // int's own digits, whatever a subclass says
        return text_of(digits);
    }
    return text_of(id);
}

std::shared_ptr<BatchClaims> claims_of(PyObject* self) {
    auto found = g_claims.find(self);
    if (found != g_claims.end()) return found->second.claims;
    Ref address = Ref::steal(PyLong_FromVoidPtr(self));
    Ref callback = Ref::steal(PyCFunction_New(&g_forget_claims, address.get()));
    Ref watch = Ref::steal(PyWeakref_NewRef(self, callback.get()));
    // Making those may have run Python code (a collection): the table is looked at afresh.
    ConnectionClaims& held = g_claims[self];
    if (!held.claims) held = {std::make_shared<BatchClaims>(), std::move(watch)};
    return held.claims;
}

// An entry a pass took for a record, and its claim.
struct Taken {
    Ref entry, detail, price;
    std::optional<std::string> batch, serial;  // the entry's batch id and the record's serial, as claimed
    BatchClaims::Outcome claim = BatchClaims::Outcome::Claimed;
};

// The first entry of `history` that belongs to the purchase: its product, its number, at or after its
// time, at its price, and claimed by no other record. Everything the tests read is read for every
// entry, before any test.
std::optional<Taken> find_entry(PyObject* record, PyObject* tujuan, PyObject* transaksitime, PyObject* harga,
                                PyObject* history, BatchClaims& claims) {
    TimeBound bound(transaksitime);
    Ref paketid;
    int spv = -1;  // whether the product is a voucher (SPV), worked out at the first entry
    std::optional<Whole> expected;
    std::optional<Taken> taken;
    for_each(history, [&](PyObject* entry) {
        CivilTime time = submitted_time(item(entry, kSubmittedDate).get());
        Ref detail = first_detail(entry);
        Ref number = item_if_present(detail, kMsisdn);
        Ref voucher = item_if_present(detail, kQrvoucher);
        Ref price = entry_price(entry);

        if (!number) number = none();
        if (!voucher) voucher = none();
        if (spv < 0) spv = equals(call_method(attr(attr(record, kProduk), kTipe), kUpper), kSpv);
        if ((is_none(number) && !is_none(voucher)) || spv) number = voucher;

        if (!paketid) paketid = attr(attr(record, kProduk), kPaketid);
        if (!equals(item(entry, kProductId), paketid)) return true;
        if (!equals(tujuan, number)) return true;
        if (!bound.reached_by(time)) return true;
        if (!is_none(harga) && differs(price, kNoPriceTest) && differs(price, kNoPrice)) {
            if (!expected) expected = whole_direct(harga);
            if (!(whole_via_decimal(price.get()) == *expected)) return true;
        }
        // One entry settles one purchase: an entry another record was settled from is passed over.
        // Its batch id and the record's serial number are read first (that may run host code);
        // checking and claiming are then one step, with no Python code in between.
        Taken found;
        found.entry = Ref::borrow(entry);
        found.detail = std::move(detail);
        found.price = std::move(price);
        if (Ref batch_id = item_if_present(found.detail, kBatchId)) {
            if ((found.batch = claim_key(batch_id.get()))) {
                Ref current = attr_if_present(record, kSerialnumber);
                found.serial = current ? claim_key(current.get()) : std::nullopt;
                found.claim = claims.claim(*found.batch, found.serial);
                if (found.claim == BatchClaims::Outcome::PassedOver) return true;
            }
        }
        taken = std::move(found);
        return false;
    });
    return taken;
}

// The record settled from the entry it took: status (through the status table), message, serial
// number. A record that shows nothing of the entry gives it back to the others; once its status is
// written from it, the entry stays its own.
void write_entry(PyObject* record, PyObject* tujuan, const Taken& taken, BatchClaims& claims) {
    bool shown = false;
    std::optional<Fetched> unwritten = attempt([&] {
        write_status(record, status_for(item(taken.entry, kStatusDesc).get()));
        shown = true;
        if (truthy(attr(record, kSukses))) {
            write_field(record, kPesan,
                        join({text("Transaksi berhasil utk pembelian produk "),
                              str_of(attr(attr(record, kProduk), kNama)), text(" ke "), str_of(tujuan),
                              text(" sebesar "), whole_via_decimal(taken.price.get()).digits(), text(" .")}));
        } else {
            write_field(record, kPesan, item(taken.detail, kStatusDesc));
        }
        write_field(record, kSerialnumber, item(taken.detail, kBatchId));
    });
    if (unwritten) {
        if (taken.batch && !shown) claims.undo(*taken.batch, taken.claim, taken.serial);
        restore_error(std::move(*unwritten));
        throw PyError();
    }
}

// What one matching pass came to: an entry taken (the record holds it), none, or a history that could
// not be read.
enum class PassOutcome { EntryTaken, NoEntry, Unreadable };

PassOutcome match_once(PyObject* self, PyObject* record, PyObject* tujuan, PyObject* transaksitime, PyObject* harga) {
    Ref completed = fetch_history(self);
    if (is_none(completed)) return PassOutcome::Unreadable;
    std::shared_ptr<BatchClaims> claims = claims_of(self);
    std::optional<Taken> taken = find_entry(record, tujuan, transaksitime, harga, attr(completed, kHistory).get(), *claims);
    if (!taken) return PassOutcome::NoEntry;
    write_entry(record, tujuan, *taken, *claims);
    return PassOutcome::EntryTaken;
}

}  // namespace

Lookup settle_from_history(PyObject* self, PyObject* record, PyObject* tujuan, PyObject* transaksitime,
                            PyObject* harga, Ref counter) {
    Ref last = integer(kLastPass), one = integer(1), pause = integer(kPassPauseSeconds);
    for (;;) {
        PassOutcome pass = match_once(self, record, tujuan, transaksitime, harga);
        if (pass == PassOutcome::Unreadable) return Lookup::Unreadable;
        if (pass == PassOutcome::EntryTaken) return Lookup::Settled;
        if (!compare(counter, last, Py_LT)) return Lookup::NotFound;
        console(self, "Belum menemukan transaksi di history...", Level::Warning);
        call(global(kSleep), {pause});
        counter = Ref::steal(PyNumber_Add(counter.get(), one.get()));
    }
}


}  // namespace deko
