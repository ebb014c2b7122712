// Transactions: product check, purchase with retries, menu check.
#include "history.h"
#include "members.h"
#include "terminal.h"

namespace deko {

namespace {

using py::arg;

const Name kMakerequest{"makerequest"}, kRequests{"dekorequest"}, kSukses{"sukses"}, kMsg{"msg"},
    kErrorMsg{"error_msg"}, kData{"data"}, kProduk{"produk"}, kTipe{"tipe"}, kKategori{"kategori"},
    kPaketid{"paketid"}, kNama{"nama"}, kTujuan{"tujuan"}, kPin{"pin"}, kInq{"inq"}, kHarga{"harga"},
    kStatus{"status"}, kPesan{"pesan"}, kUpper{"upper"}, kMsisdn{"msisdn"}, kKodeproduk{"kodeproduk"},
    kTrx{"trx"}, kIdretail{"idretail"}, kProductType{"productType"}, kOfferId{"offerId"},
    kRecommendationName{"recommendationName"}, kRegistrationKey{"registrationKey"},
    kRetailerIncentive{"retailerIncentive"}, kCounter{"counter"}, kGetProdukTerbaik{"get_produk_terbaik"},
    kGetTransaksiHistory{"get_transaksi_history"}, kTransaksi{"transaksi"}, kMenuCek{"menu_cek"},
    kNomorTransaksi{"nomor_transaksi"}, kDatetime{"datetime"}, kTimezone{"timezone"}, kTimedelta{"timedelta"},
    kHours{"hours"}, kNow{"now"}, kReplace{"replace"}, kTzinfo{"tzinfo"}, kInqueryDetail{"InqueryDetail"},
    kRemoveHtmlTags{"remove_html_tags"}, kDesc{"desc"}, kGetProduk{"get_produk"}, kHttpStatus{"http_status"};

// Keys of an offer and of a provider product.
const Name kProductPrice{"productPrice"}, kOfferShortDesc{"offerShortDesc"}, kOfferDescription{"offerDescription"},
    kCode{"CODE"}, kDisplayName{"DISPLAY_NAME"}, kFinalPrice{"FINAL_PRICE"}, kDescription{"DESCRIPTION"};

// Product types with a purchase request of their own, and the category sent under another name.
const Name kSpv{"SPV"}, kKpk{"KPK"}, kCrp{"CRP"}, kTopupAll{"DEKOTOPUPALL"}, kTopup{"DEKOTOPUP"};

// Request classes.
const Name kTransaksiSPV{"TransaksiSPV"}, kTransaksiKPK{"TransaksiKPK"}, kTransaksiTerbaik{"TransaksiTerbaik"},
    kTransaksiClass{"Transaksi"}, kProdukClass{"Produk"}, kCheckKPK{"CheckKPK"}, kCheckSPV{"CheckSPV"};

// Texts stored in a record.
const Name kPending{"pending"}, kGagal{"gagal"}, kBerhasil{"sukses"}, kNoConnection{"Koneksi Terputus"};

// HTTP statuses from this one on are server errors.
constexpr long kFirstServerError = 500;

// Sends of one purchase or menu check that got no answer before it fails.
constexpr long kAttempts = 4;

// The transaction time: UTC+7 wall clock, without its zone.
constexpr long kProviderUtcOffsetHours = 7;

void set_outcome(PyObject* record, Obj status, Obj pesan) {
    set_attr(record, kStatus, status);
    set_attr(record, kPesan, pesan);
}

Ref transaction_time() {
    Ref dt = global(kDatetime);
    Ref offset = call(attr(dt, kTimedelta), {}, {{kHours, integer(kProviderUtcOffsetHours)}});
    Ref zone = call(attr(dt, kTimezone), {offset});
    Ref now = call_method(attr(dt, kDatetime), kNow, {zone});
    return call(attr(now, kReplace), {}, {{kTzinfo, Py_None}});
}

// A provider refusal of a purchase or a menu check: shown, and stored with the "[Deko]: " prefix.
void store_refusal(PyObject* self, PyObject* record, PyObject* completed) {
    console(self, attr(completed, kErrorMsg).get(), Level::Gagal);
    set_attr(record, kStatus, kGagal);
    set_attr(record, kPesan, join({text("[Deko]: "), str_of(attr(completed, kErrorMsg))}));
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

// No answer: `method` runs again with the next counter, or, after the last attempt, the record
// fails with "Koneksi Terputus" after `last_line` is shown.
Ref retry_or_fail(PyObject* self, PyObject* record, PyObject* counter, const Name& method, const char* last_line) {
    Ref next = Ref::steal(PyNumber_Add(counter, integer(1).get()));
    if (compare(next, integer(kAttempts), Py_GE)) {
        console(self, last_line, Level::Gagal);
        set_outcome(record, kGagal, kNoConnection);
        return Ref::borrow(record);
    }
    ensure_stack_room();  // a counter far below the last attempt recurses deeply
    return call(attr(self, method), {record}, {{kCounter, next}});
}

// The record's best offer: item 1 of self.get_produk_terbaik(tujuan, paketid). When it is not
// found, the record fails with the lookup's message and a null Ref is returned.
Ref offer_or_fail(PyObject* self, PyObject* record, PyObject* produk) {
    Ref lookup = attr(self, kGetProdukTerbaik);
    Ref pair = call(lookup, {attr(record, kTujuan), attr(produk, kPaketid)});
    if (!truthy(item_at(pair, 0))) {
        set_outcome(record, kGagal, item_at(pair, 1));
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
    Ref line = join({text("Cek Produk "), str_of(shown), text(" dengan harga "), str_of(price), text(" Berhasil")});
    console(self, line.get(), Level::Sukses);
}

// status "sukses", then inq = InqueryDetail(source[price], {"desc": remove_html_tags(source[description]),
// "nama": nama()}) and pesan = inq.data.
template <typename Nama>
void store_inquiry(PyObject* record, PyObject* source, const Name& price_key, const Name& description_key,
                   Nama&& nama) {
    set_attr(record, kStatus, kBerhasil);
    Ref price = item(source, price_key);
    Ref data = new_dict();
    set_item(data, kDesc, call(global(kRemoveHtmlTags), {item(source, description_key)}));
    set_item(data, kNama, nama());
    set_attr(record, kInq, call(global(kInqueryDetail), {price, data}));
    set_attr(record, kPesan, attr(attr(record, kInq), kData));
}

Ref cek(py::handle self_handle, py::handle record_handle, py::handle show_success) {
    PyObject *self = self_handle.ptr(), *record = record_handle.ptr();
    Ref produk = attr(record, kProduk);
    if (is_type(produk.get(), kCrp)) {
        Ref offer = offer_or_fail(self, record, produk.get());
        if (!offer) return Ref::borrow(record);
        Ref name = item(offer, kOfferShortDesc);
        set_attr(produk, kNama, name);
        if (truthy(show_success.ptr())) show_checked(self, name.get(), item(offer, kProductPrice).get());
        store_inquiry(record, offer.get(), kProductPrice, kOfferDescription, [&] { return name; });
        return Ref::borrow(record);
    }

    Ref makerequest = attr(self, kMakerequest);
    Ref cls = attr(global(kRequests), kProdukClass);
    Ref completed = call(makerequest, {cls}, {{kKategori, attr(produk, kKategori)}});
    if (!differs(completed, Py_None)) {
        console(self, "Cek Paket Gagal", Level::Gagal);
        set_outcome(record, kGagal, kNoConnection);
        return Ref::borrow(record);
    }
    if (!truthy(attr(completed, kSukses))) {
        console(self, attr(completed, kErrorMsg).get(), Level::Gagal);
        set_outcome(record, kGagal, attr(completed, kErrorMsg));
        return Ref::borrow(record);
    }
    Ref product = call_method(completed, kGetProduk, {attr(produk, kPaketid), attr(produk, kKategori)});
    if (is_none(product)) {
        console(self, "Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar", Level::Gagal);
        set_outcome(record, kGagal, text("Produk Tidak Ditemukan"));
        return Ref::borrow(record);
    }
    Ref code = item(product, kCode);
    Ref display_name = item(product, kDisplayName);
    Ref shown = equals(code, display_name) ? code
                                           : join({text("("), str_of(code), text(") "), str_of(display_name)});
    if (truthy(show_success.ptr())) show_checked(self, shown.get(), item(product, kFinalPrice).get());
    store_inquiry(record, product.get(), kFinalPrice, kDescription, [&] { return item(product, kDisplayName); });
    set_attr(produk, kNama, item(product, kDisplayName));
    return Ref::borrow(record);
}

// Purchase -------------------------------------------------------------------------------

// The purchase request of one attempt: the completed request (or none), and the price it sent.
struct Sent {
    Ref completed, price;
};

// Sends the purchase of the record's product type; a null `completed` when a best offer was not
// found (the record then holds the failure).
Sent send_purchase(PyObject* self, PyObject* record, PyObject* produk) {
    Ref makerequest = attr(self, kMakerequest);
    Ref requests = global(kRequests);
    Ref tipe = call_method(attr(produk, kTipe), kUpper);
    auto trx = [&] { return item(settings(self), kNomorTransaksi); };
    auto inq_price = [&] { return attr(attr(record, kInq), kHarga); };

    if (equals(tipe, kSpv)) {
        Ref cls = attr(requests, kTransaksiSPV);
        Ref kategori = attr(produk, kKategori), msisdn = attr(record, kTujuan), pin = attr(record, kPin),
            kode = attr(produk, kPaketid), price = inq_price(), number = trx();
        Ref completed = call(makerequest, {cls},
                             {{kKategori, kategori}, {kMsisdn, msisdn}, {kPin, pin}, {kKodeproduk, kode},
                              {kHarga, price}, {kTrx, number}});
        return {completed, price};
    }
    if (equals(tipe, kKpk)) {
        Ref cls = attr(requests, kTransaksiKPK);
        Ref msisdn = attr(record, kTujuan), pin = attr(record, kPin), kode = attr(produk, kPaketid),
            price = inq_price(), number = trx();
        Ref completed = call(makerequest, {cls},
                             {{kMsisdn, msisdn}, {kPin, pin}, {kKodeproduk, kode}, {kHarga, price}, {kTrx, number}});
        return {completed, price};
    }
    if (equals(tipe, kCrp)) {
        Ref offer = offer_or_fail(self, record, produk);
        if (!offer) return {};
        Ref cls = attr(requests, kTransaksiTerbaik);
        Ref msisdn = attr(record, kTujuan), pin = attr(record, kPin), price = item(offer, kProductPrice),
            number = trx(), idretail = item(settings(self), kIdretail), type = item(offer, kProductType),
            offer_id = attr(produk, kPaketid), name = item(offer, kRecommendationName),
            key = item(offer, kRegistrationKey), incentive = item(offer, kRetailerIncentive);
        Ref completed = call(makerequest, {cls},
                             {{kMsisdn, msisdn}, {kPin, pin}, {kHarga, price}, {kTrx, number}, {kIdretail, idretail},
                              {kProductType, type}, {kOfferId, offer_id}, {kRecommendationName, name},
                              {kRegistrationKey, key}, {kRetailerIncentive, incentive}});
        return {completed, price};
    }
    Ref cls = attr(requests, kTransaksiClass);
    Ref msisdn = attr(record, kTujuan), pin = attr(record, kPin), kode = attr(produk, kPaketid),
        kategori = attr(produk, kKategori);
    if (equals(kategori, kTopupAll)) kategori = Ref::borrow(kTopup.get());
    Ref nama = attr(produk, kNama), price = inq_price(), number = trx();
    Ref completed = call(makerequest, {cls},
                         {{kMsisdn, msisdn}, {kPin, pin}, {kKodeproduk, kode}, {kKategori, kategori}, {kNama, nama},
                          {kHarga, price}, {kTrx, number}});
    return {completed, price};
}

Ref transaksi(py::handle self_handle, py::handle record_handle, py::handle counter) {
    PyObject *self = self_handle.ptr(), *record = record_handle.ptr();
    console(self, "Mengirim Transaksi...", Level::Default);
    Ref transaksitime = transaction_time();
    Ref produk = attr(record, kProduk);
    Sent sent = send_purchase(self, record, produk.get());
    if (!sent.completed) return Ref::borrow(record);  // no such best offer

    bool answered = differs(sent.completed, Py_None);
    if (answered && truthy(attr(sent.completed, kSukses))) {
        console(self, attr(sent.completed, kMsg).get(), Level::Sukses);
        console(self, "Mengambil Transaksi Dari History...", Level::Warning);
        set_outcome(record, kPending, attr(sent.completed, kMsg));
        if (!is_type(produk.get(), kCrp)) {
            Ref settle = attr(self, kGetTransaksiHistory);
            Ref tujuan = attr(record, kTujuan);
            return call(settle, {record, tujuan, transaksitime}, {{kHarga, attr(attr(record, kInq), kHarga)}});
        }
        return Ref::borrow(record);
    }
    Ref refusal;  // after a server error: "[Deko]: " and the provider's text
    if (answered) {
        if (!server_error(sent.completed.get())) {
            store_refusal(self, record, sent.completed.get());
            return Ref::borrow(record);
        }
        Ref error = attr(sent.completed, kErrorMsg);
        console(self, error.get(), Level::Gagal);
        refusal = join({text("[Deko]: "), str_of(error)});
    }

    // The answer was lost, or a server error came back: the provider may have carried the purchase
    // out all the same. It is looked up in the history before anything else, with the matcher's own
    // passes (not self.get_transaksi_history: a host that replaces that replaces the settling of
    // accepted purchases, not this lookup).
    console(self, "Mengambil Transaksi Dari History...", Level::Warning);
    Settled settled = settle_from_history(self, record, attr(record, kTujuan).get(), transaksitime.get(),
                                          sent.price.get(), integer(0));
    if (settled == Settled::Taken) return Ref::borrow(record);
    if (settled == Settled::HistoryFailed) {
        // The outcome cannot be told: neither sent again nor failed, but left for the history to settle.
        set_outcome(record, kPending, refusal ? Obj(refusal) : Obj(kNoConnection));
        return Ref::borrow(record);
    }
    if (refusal) {  // not in the history: a refusal after all, never sent again
        set_outcome(record, kGagal, refusal);
        return Ref::borrow(record);
    }
    return retry_or_fail(self, record, counter.ptr(), kTransaksi, "Pembelian Gagal");
}

// Menu check -----------------------------------------------------------------------------

Ref menu_cek(py::handle self_handle, py::handle record_handle, py::handle counter) {
    PyObject *self = self_handle.ptr(), *record = record_handle.ptr();
    Ref menu = call_method(attr(attr(record, kProduk), kPaketid), kUpper);
    const Name* request_class = equals(menu, kKpk) ? &kCheckKPK : equals(menu, kSpv) ? &kCheckSPV : nullptr;
    if (!request_class) {
        set_outcome(record, kGagal, text("Menu CEK Tidak Ditemukan"));
        return Ref::borrow(record);
    }
    Ref makerequest = attr(self, kMakerequest);
    Ref cls = attr(global(kRequests), *request_class);
    Ref completed = call(makerequest, {cls}, {{kMsisdn, attr(record, kTujuan)}});
    if (differs(completed, Py_None)) {
        if (truthy(attr(completed, kSukses))) {
            set_outcome(record, kBerhasil, attr(completed, kData));
            Ref line = join({text("Cek "), str_of(attr(attr(record, kProduk), kPaketid)), text(" Berhasil")});
            console(self, line.get(), Level::Sukses);
        } else {
            store_refusal(self, record, completed.get());
        }
        return Ref::borrow(record);
    }
    return retry_or_fail(self, record, counter.ptr(), kMenuCek, "Cek Gagal");
}

}  // namespace

py::object cek_method() {
    return method("cek", &cek, "Check a record's product and price; fills its inquiry detail.", arg("self"),
                  arg("transaksi"), arg("console") = true);
}

py::object transaksi_method() {
    return method("transaksi", &transaksi, "Send a record's purchase and settle it from the history.", arg("self"),
                  arg("transaksi"), arg("counter") = 0);
}

py::object menu_cek_method() {
    return method("menu_cek", &menu_cek, "Run the KPK or SPV check menu for a record.", arg("self"),
                  arg("transaksi"), arg("counter") = 0);
}

}  // namespace deko
