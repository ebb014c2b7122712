// The history matcher's passes (see matching.h).
#include "matching.h"

#include <memory>
#include <string>
#include <unordered_map>

#include "answer.h"
#include "dates.h"
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

// "submittedDate": the milliseconds "000" dropped, then read as datetime.strptime(text,
// "%Y%m%d%H%M%S") reads it. Plain 14-digit times take a fast path; any other text (shorter
// fields, digits of other scripts ...) is read by Python itself.
CivilTime submitted_time(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "strptime() argument 1 must be str, not %s", Py_TYPE(value)->tp_name);
        throw PyError();
    }
    if (auto spelled = utf8_view(value))
        if (auto t = parse_submitted_date(*spelled)) return *t;
    // The trailing "000" counted in characters, as Python counts them.
    Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    Ref rest = Ref::borrow(value);
    if (length > 14 && PyUnicode_Tailmatch(value, kMillis.get(), length - 3, length, 1) == 1)
        rest = Ref::steal(PyUnicode_Substring(value, 0, length - 3));
    // The real datetime type: a host may bind another `datetime`.
    Ref parsed = call_method(reinterpret_cast<PyObject*>(datetime_api()->DateTimeType), kStrptime,
                             {rest, kSubmittedFormat});
    PyObject* t = parsed.get();
    return CivilTime{PyDateTime_GET_YEAR(t),        PyDateTime_GET_MONTH(t),
                     PyDateTime_GET_DAY(t),         PyDateTime_DATE_GET_HOUR(t),
                     PyDateTime_DATE_GET_MINUTE(t), PyDateTime_DATE_GET_SECOND(t)};
}

// "At or after the transaction time, to the second". A plain naive datetime is compared field by
// field, as Python compares it; anything else is compared by Python itself.
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
        datetime_api();
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

// Batches the records of a terminal were settled from ----------------------------------------------

// Kept per terminal (the chip whose history they come from), so that every connection of a
// terminal, copies included, passes over an entry another one took: while the terminal lives (a weak
// reference to it drops them when it goes; a terminal that takes no weak reference is held instead).
// Touched only while the GIL is held. The table lives as long as the process: it is never torn down
// after the interpreter.
struct TerminalClaims {
    std::shared_ptr<BatchClaims> claims;
    Ref watch;  // the weak reference to the terminal, whose callback forgets its claims, or the terminal
};
auto& g_claims = *new std::unordered_map<PyObject*, TerminalClaims>();

PyObject* forget_claims(PyObject* terminal_address, PyObject* /*weakref*/) {
    void* terminal = PyLong_AsVoidPtr(terminal_address);
    auto found = g_claims.find(static_cast<PyObject*>(terminal));
    if (found != g_claims.end()) {
        TerminalClaims gone = std::move(found->second);  // let go of once the table is consistent
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
        return utf8_copy(digits);
    }
    return utf8_copy(id);
}

// The claims of the terminal of the connection `self`.
std::shared_ptr<BatchClaims> claims_of(PyObject* self) {
    Ref terminal = attr(self, kTerminal);
    PyObject* key = terminal.get();
    auto found = g_claims.find(key);
    if (found != g_claims.end()) return found->second.claims;
    Ref address = Ref::steal(PyLong_FromVoidPtr(key));
    Ref callback = Ref::steal(PyCFunction_New(&g_forget_claims, address.get()));
    Ref watch = Ref::steal_or_null(PyWeakref_NewRef(key, callback.get()));
    if (!watch) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyError();
        PyErr_Clear();  // no weak reference to it: held, so that no other object takes its address
        watch = terminal;
    }
    // Making those may have run Python code (a collection): the table is looked at afresh.
    TerminalClaims& held = g_claims[key];
    if (!held.claims) held = {std::make_shared<BatchClaims>(), std::move(watch)};
    return held.claims;
}

// One subscriber, however the number is written ----------------------------------------------------

// The record's destination as the host's number tool gives it in the national "08" form, to tell
// whether an entry's number written another way ("+62813...", "0813-0000-...") names the same
// subscriber. The tool is called only for texts, and only for entries that pass every other test;
// a tool that raises on a number makes that entry not match.
class Subscriber {
public:
    explicit Subscriber(PyObject* tujuan) : tujuan_(tujuan) {}

    // Whether a phone number (not a voucher) may still name the subscriber after it differed as written.
    bool may_be(PyObject* number) const { return PyUnicode_Check(tujuan_) && PyUnicode_Check(number); }

    bool is(PyObject* number) {
        if (!tried_) {
            tried_ = true;
            own_ = national(tujuan_);
        }
        if (!own_) return false;
        Ref theirs = national(number);
        return theirs && equals(theirs, own_);
    }

private:
    // normalizemsisdn(number, start="08"), when it gives a text that is not empty; else a null Ref.
    static Ref national(PyObject* number) {
        Ref normal = guarded([&] { return call(global(kNormalize), {number}, {{kStart, kNationalPrefix}}); },
                             [](PyObject*) { return Ref(); });
        if (normal && PyUnicode_Check(normal.get()) && PyUnicode_GET_LENGTH(normal.get()) > 0) return normal;
        return Ref();
    }

    PyObject* tujuan_;
    Ref own_;
    bool tried_ = false;
};

// An entry a pass took for a record, and its claim.
struct Taken {
    Ref entry, detail, price;
    std::optional<std::string> batch, serial;  // the entry's batch id and the record's serial, as claimed
    BatchClaims::Outcome claim = BatchClaims::Outcome::Claimed;
};

// The first entry of `history` that belongs to the purchase: its product, its number, at or after its
// time, at its price, and claimed by no other record. Everything the tests read is read for every
// entry, before any test.
std::optional<Taken> find_entry(PyObject* record, Subscriber& subscriber, PyObject* tujuan, PyObject* transaksitime,
                                PyObject* harga, PyObject* history, BatchClaims& claims) {
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
        const bool by_voucher = (is_none(number) && !is_none(voucher)) || spv;
        if (by_voucher) number = voucher;

        if (!paketid) paketid = attr(attr(record, kProduk), kPaketid);
        if (!equals(item(entry, kProductId), paketid)) return true;
        // The number as written first; a phone number written another way is the host tool's to
        // tell, once every other test has passed. A voucher is compared as written only.
        const bool as_written = equals(tujuan, number);
        if (!as_written && (by_voucher || !subscriber.may_be(number.get()))) return true;
        if (!bound.reached_by(time)) return true;
        if (!is_none(harga) && differs(price, kNoPriceTest) && differs(price, kNoPrice)) {
            if (!expected) expected = whole_direct(harga);
            if (!(whole_via_decimal(price.get()) == *expected)) return true;
        }
        if (!as_written && !subscriber.is(number.get())) return true;
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
                        join({py_str("Transaksi berhasil utk pembelian produk "),
                              str_of(attr(attr(record, kProduk), kNama)), py_str(" ke "), str_of(tujuan),
                              py_str(" sebesar "), whole_via_decimal(taken.price.get()).digits(), py_str(" .")}));
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

PassOutcome match_once(PyObject* self, PyObject* record, Subscriber& subscriber, PyObject* tujuan,
                       PyObject* transaksitime, PyObject* harga) {
    Ref completed = fetch_history(self);
    if (is_none(completed)) return PassOutcome::Unreadable;
    std::shared_ptr<BatchClaims> claims = claims_of(self);
    std::optional<Taken> taken = find_entry(record, subscriber, tujuan, transaksitime, harga,
                                            attr(completed, kHistory).get(), *claims);
    if (!taken) return PassOutcome::NoEntry;
    write_entry(record, tujuan, *taken, *claims);
    return PassOutcome::EntryTaken;
}

}  // namespace

Lookup settle_from_history(PyObject* self, PyObject* record, PyObject* tujuan, PyObject* transaksitime,
                            PyObject* harga, Ref counter) {
    Ref last = integer(kLastPass), one = integer(1), pause = integer(kPassPauseSeconds);
    Subscriber subscriber(tujuan);
    for (;;) {
        PassOutcome pass = match_once(self, record, subscriber, tujuan, transaksitime, harga);
        if (pass == PassOutcome::Unreadable) return Lookup::Unreadable;
        if (pass == PassOutcome::EntryTaken) return Lookup::Settled;
        if (!compare(counter, last, Py_LT)) return Lookup::NotFound;
        console(self, "Belum menemukan transaksi di history...", Level::Warning);
        call(global(kSleep), {pause});
        counter = Ref::steal(PyNumber_Add(counter.get(), one.get()));
    }
}


}  // namespace deko
