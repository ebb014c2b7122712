// Transactions: product check, purchase with retries, menu check.
#include <utility>
#include <vector>

#include "answer.h"
#include "dates.h"
#include "core/stack_room.h"
#include "matching.h"
#include "names.h"
#include "outcome.h"
#include "runtime.h"
#include "terminal.h"
#include "subsystems.h"

namespace deko {

using namespace names;

namespace {

// HTTP statuses from this one on are server errors.
constexpr long kFirstServerError = 500;

// Shown when a purchase is read back from the history (after its acceptance, or a lost answer).
const char* const kToHistory = "Mengambil Transaksi Dari History...";

// Sends of one purchase or menu check that got no answer before it fails.
constexpr long kAttempts = 4;

// The transaction time: UTC+7 wall clock, without its zone.
constexpr long kProviderUtcOffsetHours = 7;

// The zone UTC+7, timezone(timedelta(hours=7)) of the datetime module the host binds: made again
// only when that gives other types (a host or a test may bind another datetime). Kept, with the
// types it was made of, for the life of the process.
Ref provider_zone(PyObject* dt) {
    struct Made {
        PyObject *timedelta, *timezone, *zone;
    };
    static Made made{nullptr, nullptr, nullptr};
    Ref timedelta = attr(dt, kTimedelta), timezone = attr(dt, kTimezone);
    if (timedelta.get() != made.timedelta || timezone.get() != made.timezone) {
        Ref offset = call(timedelta, {}, {{kHours, integer(kProviderUtcOffsetHours)}});
        Ref zone = call(timezone, {offset});
        made = {timedelta.release(), timezone.release(), zone.release()};  // never let go of
    }
    return Ref::borrow(made.zone);
}

Ref transaction_time() {
    Ref dt = global(kDatetime);
    Ref now = call_method(attr(dt, kDatetime), kNow, {provider_zone(dt.get())});
    datetime_api();
    if (PyDateTime_CheckExact(now.get())) {  // now.replace(tzinfo=None), as the datetime type makes it
        PyObject* t = now.get();
        return Ref::steal(datetime_api()->DateTime_FromDateAndTime(
            PyDateTime_GET_YEAR(t), PyDateTime_GET_MONTH(t), PyDateTime_GET_DAY(t), PyDateTime_DATE_GET_HOUR(t),
            PyDateTime_DATE_GET_MINUTE(t), PyDateTime_DATE_GET_SECOND(t), PyDateTime_DATE_GET_MICROSECOND(t),
            Py_None, PyDateTimeAPI->DateTimeType));
    }
    return call(attr(now, kReplace), {}, {{kTzinfo, Py_None}});
}

// Whether the provider answered with a server error (HTTP 500 or more, as a whole number and not a
// truth value): it may have carried the purchase out before it failed.
bool server_error(PyObject* completed) {
    Ref status = attr_if_present(completed, kHttpStatus);
    if (!status || !PyLong_Check(status.get()) || PyBool_Check(status.get())) return false;
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(status.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw PyError();
    return overflow > 0 || (overflow == 0 && value >= kFirstServerError);
}

// Raises RecursionError when Python's recursion depth is near its limit: a retry goes on to requests
// whose errors the pipeline logs, and CPython 3.7 aborts the process when it handles a
// RecursionError more than 50 levels past its limit. So a retry is made only while
// kPythonHeadroom more levels would still fit.
void ensure_python_room() {
    constexpr int kPythonHeadroom = 100;
    int entered = 0;
    while (entered < kPythonHeadroom && Py_EnterRecursiveCall(" before a retry") == 0) ++entered;
    for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
    if (entered < kPythonHeadroom) throw PyError();  // RecursionError is set
}

// Raises RecursionError when another level like `level` would not fit on the current thread's C
// stack: a retry that calls its method through the instance nests C frames that Python's
// recursion limit does not measure (a thread's stack may be as small as the host makes it).
void ensure_stack_room(StackLevel& level) {
    if (!level.another_fits()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded (the thread's C stack is nearly full)");
        throw PyError();
    }
}

// Levels of Python's recursion depth taken by the attempts a call runs itself (see run_attempts),
// as the calls they stand for would take them, until the call returns.
class AttemptDepth {
public:
    AttemptDepth() = default;
    AttemptDepth(const AttemptDepth&) = delete;
    AttemptDepth& operator=(const AttemptDepth&) = delete;
    ~AttemptDepth() {
        if (holds_gil())
            for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
    }
    void enter() {
        if (Py_EnterRecursiveCall(" in a retry")) throw PyError();
        ++entered_;
    }

private:
    int entered_ = 0;
};

// What an attempt came to: the call's result, or, after a lost answer, the next attempt's counter.
struct Attempted {
    Ref result, next;
};

// No answer: the next attempt's counter, or, after the last attempt, the record fails with
// "Koneksi Terputus" after `last_line` is shown.
Attempted retry_or_fail(PyObject* self, PyObject* record, PyObject* counter, const char* last_line) {
    Ref next = Ref::steal(PyNumber_Add(counter, integer(1).get()));
    if (compare(next, integer(kAttempts), Py_GE)) {
        console(self, last_line, Level::Gagal);
        write_outcome(record, kGagal, kNoConnection);
        return {Ref::borrow(record), Ref()};
    }
    return {Ref(), std::move(next)};
}

// Runs attempt(counter) until it gives the call's result. The next attempt after a lost answer is
// self.<method>(record, counter=n), through the instance; when that is this very method bound to
// self (`own`, not replaced by the host), the next attempt runs here, as that call would run it,
// without nesting the thread's C stack but taking a level of Python's recursion depth as the call
// would. A host's own method is called, with the C stack checked first.
template <typename Attempt>
Ref run_attempts(PyObject* self, PyObject* record, PyObject* counter, const Name& method, const Body& own,
                 StackLevel& level, Attempt&& attempt) {
    AttemptDepth depth;
    Ref current = Ref::borrow(counter);
    for (;;) {
        Attempted attempted = attempt(current.get());
        if (!attempted.next) return attempted.result;
        Ref again = attr(self, method);
        ensure_python_room();  // a counter far below the last attempt retries many times
        if (runs_body(again.get(), self, own)) {
            depth.enter();
            current = std::move(attempted.next);
            continue;
        }
        ensure_stack_room(level);
        return call(again, {record}, {{kCounter, attempted.next}});
    }
}

// The record's best offer: item 1 of self.get_produk_terbaik(tujuan, paketid). When it is not
// found, the record fails with the lookup's message and a null Ref is returned.
Ref offer_or_fail(PyObject* self, PyObject* record, PyObject* produk) {
    Ref lookup = attr(self, kGetProdukTerbaik);
    Ref pair = call(lookup, {attr(record, kTujuan), attr(produk, kPaketid)});
    if (!truthy(item_at(pair, 0))) {
        write_outcome(record, kGagal, item_at(pair, 1));
        return Ref();
    }
    return item_at(pair, 1);
}

bool is_type(PyObject* produk, const Name& type) {
    return equals(call_method(attr(produk, kTipe), kUpper), type);
}

// Product check --------------------------------------------------------------------------

// "Cek Produk <shown> dengan harga <price> Berhasil"
void show_checked(PyObject* self, PyObject* shown, PyObject* price) {
    Ref line = join({py_str("Cek Produk "), str_of(shown), py_str(" dengan harga "), str_of(price), py_str(" Berhasil")});
    console(self, line.get(), Level::Sukses);
}

// status "sukses", then inq = InqueryDetail(source[price], {"desc": remove_html_tags(source[description]),
// "nama": nama()}) and pesan = inq.data.
template <typename Nama>
void store_inquiry(PyObject* record, PyObject* source, const Name& price_key, const Name& description_key,
                   Nama&& nama) {
    write_status(record, kSukses);
    Ref price = item(source, price_key);
    Ref data = new_dict();
    set_item(data, kDesc, call(global(kRemoveHtmlTags), {item(source, description_key)}));
    set_item(data, kNama, nama());
    set_attr(record, kInq, call(global(kInqueryDetail), {price, data}));
    write_field(record, kPesan, attr(attr(record, kInq), kData));
}

}  // namespace

Ref cek(PyObject* self, PyObject* transaksi, PyObject* console) {
    Ref produk = attr(transaksi, kProduk);
    if (is_type(produk.get(), kCrp)) {
        Ref offer = offer_or_fail(self, transaksi, produk.get());
        if (!offer) return Ref::borrow(transaksi);
        Ref name = item(offer, kOfferShortDesc);
        set_attr(produk, kNama, name);
        if (truthy(console)) show_checked(self, name.get(), item(offer, kProductPrice).get());
        store_inquiry(transaksi, offer.get(), kProductPrice, kOfferDescription, [&] { return name; });
        return Ref::borrow(transaksi);
    }

    Answer answer = ask(self, kProdukRequest, {{kKategori, attr(produk, kKategori)}}, NoneTest::NotDiffers);
    if (answer.unanswered()) {
        deko::console(self, kPackageCheckFailed, Level::Gagal);
        write_outcome(transaksi, kGagal, kNoConnection);
        return Ref::borrow(transaksi);
    }
    if (!answer.accepted()) {
        show_refusal(self, answer);
        write_outcome(transaksi, kGagal, answer.error());
        return Ref::borrow(transaksi);
    }
    Ref product = call_method(answer.completed, kGetProduk, {attr(produk, kPaketid), attr(produk, kKategori)});
    if (is_none(product)) {
        deko::console(self, "Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar", Level::Gagal);
        write_outcome(transaksi, kGagal, py_str("Produk Tidak Ditemukan"));
        return Ref::borrow(transaksi);
    }
    Ref code = item(product, kCode);
    Ref display_name = item(product, kDisplayName);
    Ref shown = equals(code, display_name) ? code
                                           : join({py_str("("), str_of(code), py_str(") "), str_of(display_name)});
    if (truthy(console)) show_checked(self, shown.get(), item(product, kFinalPrice).get());
    store_inquiry(transaksi, product.get(), kFinalPrice, kDescription, [&] { return item(product, kDisplayName); });
    set_attr(produk, kNama, item(product, kDisplayName));
    return Ref::borrow(transaksi);
}

namespace {

// Purchase -------------------------------------------------------------------------------

// The purchase request of one attempt: what came back, and the price it sent; nothing when a best
// offer was not found (the record then holds the failure).
struct Sent {
    std::optional<Answer> answer;
    Ref price;
};

// Sends the purchase of the record's product type, with the fields its request kind takes, each
// read as the request is built.
Sent send_purchase(PyObject* self, PyObject* record, PyObject* produk, bool& sent) {
    Ref tipe = call_method(attr(produk, kTipe), kUpper);
    auto trx = [&] { return item(settings(self), kNomorTransaksi); };
    auto inq_price = [&] { return attr(attr(record, kInq), kHarga); };
    auto buy = [&](const Name& kind, std::initializer_list<Kw> fields) {
        return ask(self, kind, fields, NoneTest::NotDiffers, false, &sent);
    };

    if (equals(tipe, kSpv)) {
        Ref kategori = attr(produk, kKategori), msisdn = attr(record, kTujuan), pin = attr(record, kPin),
            kode = attr(produk, kPaketid), price = inq_price(), number = trx();
        return {buy(kTransaksiSPV, {{kKategori, kategori}, {kMsisdn, msisdn}, {kPin, pin}, {kKodeproduk, kode},
                                    {kHarga, price}, {kTrx, number}}),
                price};
    }
    if (equals(tipe, kKpk)) {
        Ref msisdn = attr(record, kTujuan), pin = attr(record, kPin), kode = attr(produk, kPaketid),
            price = inq_price(), number = trx();
        return {buy(kTransaksiKPK, {{kMsisdn, msisdn}, {kPin, pin}, {kKodeproduk, kode}, {kHarga, price}, {kTrx, number}}),
                price};
    }
    if (equals(tipe, kCrp)) {
        Ref offer = offer_or_fail(self, record, produk);
        if (!offer) return {};
        Ref msisdn = attr(record, kTujuan), pin = attr(record, kPin), price = item(offer, kProductPrice),
            number = trx(), idretail = item(settings(self), kIdretail), type = item(offer, kProductType),
            offer_id = attr(produk, kPaketid), name = item(offer, kRecommendationName),
            key = item(offer, kRegistrationKey), incentive = item(offer, kRetailerIncentive);
        return {buy(kTransaksiTerbaik, {{kMsisdn, msisdn}, {kPin, pin}, {kHarga, price}, {kTrx, number},
                                        {kIdretail, idretail}, {kProductType, type}, {kOfferId, offer_id},
                                        {kRecommendationName, name}, {kRegistrationKey, key},
                                        {kRetailerIncentive, incentive}}),
                price};
    }
    Ref msisdn = attr(record, kTujuan), pin = attr(record, kPin), kode = attr(produk, kPaketid),
        kategori = attr(produk, kKategori);
    if (equals(kategori, kTopupAll)) kategori = Ref::borrow(kTopup.get());
    Ref nama = attr(produk, kNama), price = inq_price(), number = trx();
    return {buy(kTransaksiRequest, {{kMsisdn, msisdn}, {kPin, pin}, {kKodeproduk, kode}, {kKategori, kategori},
                                    {kNama, nama}, {kHarga, price}, {kTrx, number}}),
            price};
}

// One attempt of the purchase `purchase` (the record's, open on this thread).
Attempted attempt_purchase(PyObject* self, PyObject* record, PyObject* counter, OpenPurchase::State& purchase) {
    console(self, "Mengirim Transaksi...", Level::Default);
    Ref transaksitime = transaction_time();
    if (!purchase.first_time) purchase.first_time = transaksitime;
    Ref produk = attr(record, kProduk);
    Sent sent = send_purchase(self, record, produk.get(), purchase.sent);
    if (!sent.answer) return {Ref::borrow(record), Ref()};  // no such best offer
    const Answer& answer = *sent.answer;

    if (answer.accepted()) {
        Ref msg = attr(answer.completed, kMsg);
        console(self, msg.get(), Level::Sukses);
        console(self, kToHistory, Level::Warning);
        write_outcome(record, kPending, attr(answer.completed, kMsg));
        if (!is_type(produk.get(), kCrp)) {
            Ref settle = attr(self, kGetTransaksiHistory);
            Ref tujuan = attr(record, kTujuan);
            return {call(settle, {record, tujuan, transaksitime}, {{kHarga, attr(attr(record, kInq), kHarga)}}), Ref()};
        }
        return {Ref::borrow(record), Ref()};
    }
    Ref refusal;  // after a server error: "[Deko]: " and the provider's text
    if (!answer.unanswered()) {
        if (!server_error(answer.completed.get())) {
            store_refusal(self, record, answer);
            return {Ref::borrow(record), Ref()};
        }
        refusal = stored_refusal(show_refusal(self, answer));
    }

    // The answer was lost, or a server error came back: the provider may have carried the purchase
    // out all the same. It is looked up in the history before anything else, with the matcher's own
    // passes (not self.get_transaksi_history: a host that replaces that replaces the settling of
    // accepted purchases, not this lookup), from the time of the purchase's first attempt on: all
    // attempts of one record are one purchase, and an attempt whose answer was lost may show in the
    // history only after its own lookup, when a later attempt looks.
    console(self, kToHistory, Level::Warning);
    Lookup lookup = settle_from_history(self, record, attr(record, kTujuan).get(), purchase.first_time.get(),
                                        sent.price.get(), integer(0));
    if (lookup == Lookup::Settled) return {Ref::borrow(record), Ref()};
    if (lookup == Lookup::Unreadable) {
        // The outcome cannot be told: neither sent again nor failed, but left for the history to settle.
        write_outcome(record, kPending, refusal ? Obj(refusal) : Obj(kNoConnection));
        return {Ref::borrow(record), Ref()};
    }
    if (refusal) {  // not in the history: a refusal after all, never sent again
        write_outcome(record, kGagal, refusal);
        return {Ref::borrow(record), Ref()};
    }
    return retry_or_fail(self, record, counter, "Pembelian Gagal");
}

}  // namespace

// A purchase that raises never leaves a verdict it did not reach: when an error leaves the outermost
// call for the record and the purchase wrote no status of its own, the record is "gagal" when no
// purchase request went out in the call, or "pending" when one did (the provider may have it), with
// "[Deko]: " and the error's text. The error then reaches the caller unchanged.
Ref transaksi(PyObject* self, PyObject* transaksi, PyObject* counter) {
    StackLevel level;
    OpenPurchase purchase(transaksi);
    OpenPurchase::State& state = purchase.state();
    auto attempts = [&] {
        return run_attempts(self, transaksi, counter, kTransaksi, body<&deko::transaksi>(), level,
                            [&](PyObject* n) { return attempt_purchase(self, transaksi, n, state); });
    };
    if (!purchase.outermost()) return attempts();
    Ref result;
    std::optional<Fetched> raised = attempt([&] { result = attempts(); });
    if (!raised) return result;
    if (!state.status_written)
        attempt([&] { write_outcome(transaksi, state.sent ? kPending : kGagal, stored_refusal(raised->value)); });
    restore_error(std::move(*raised));
    throw PyError();
}

// Menu check -----------------------------------------------------------------------------

namespace {

// One attempt of the menu check.
Attempted check_menu(PyObject* self, PyObject* record, PyObject* counter) {
    Ref menu = call_method(attr(attr(record, kProduk), kPaketid), kUpper);
    const Name* request_class = equals(menu, kKpk) ? &kCheckKPK : equals(menu, kSpv) ? &kCheckSPV : nullptr;
    if (!request_class) {
        write_outcome(record, kGagal, py_str("Menu CEK Tidak Ditemukan"));
        return {Ref::borrow(record), Ref()};
    }
    Answer answer = ask(self, *request_class, {{kMsisdn, attr(record, kTujuan)}}, NoneTest::NotDiffers);
    if (answer.unanswered()) return retry_or_fail(self, record, counter, "Cek Gagal");
    if (answer.accepted()) {
        write_outcome(record, kSukses, attr(answer.completed, kData));
        Ref line = join({py_str("Cek "), str_of(attr(attr(record, kProduk), kPaketid)), py_str(" Berhasil")});
        console(self, line.get(), Level::Sukses);
    } else {
        store_refusal(self, record, answer);
    }
    return {Ref::borrow(record), Ref()};
}

}  // namespace

Ref menu_cek(PyObject* self, PyObject* transaksi, PyObject* counter) {
    StackLevel level;
    return run_attempts(self, transaksi, counter, kMenuCek, body<&menu_cek>(), level,
                        [&](PyObject* n) { return check_menu(self, transaksi, n); });
}

// The methods this subsystem gives the module's classes, each with its place in its class.
namespace {
constexpr MethodDef kRows[] = {
    {kConnectionClass, 12, &kCek, {self, required(kTransaksi), optional(kConsole, ParamDefault::True)},
     "Check a record's product and price; fills its inquiry detail.", body<&cek>()},
    {kConnectionClass, 13, &kTransaksi, {self, required(kTransaksi), optional(kCounter, ParamDefault::Zero)},
     "Send a record's purchase and settle it from the history.", body<&transaksi>()},
    {kConnectionClass, 14, &kMenuCek, {self, required(kTransaksi), optional(kCounter, ParamDefault::Zero)},
     "Run the KPK or SPV check menu for a record.", body<&menu_cek>()},
};
}  // namespace
const MethodTable kTransactionMethods = method_table<kRows, sizeof kRows / sizeof kRows[0]>();

}  // namespace deko
