// Product catalogue: category and best-offer lookups, and the catalogue pull into records.
#include "answer.h"
#include "core/text.h"
#include "errors.h"
#include "names.h"
#include "runtime.h"
#include "terminal.h"
#include "subsystems.h"

#include <string>

namespace deko {

using namespace names;

namespace {

// The category codes of the regular catalogue, in the order they are pulled.
const char* const kCategoryCodes[] = {"0", "1", "3"};

// Product-type key -> catalogue type code; any other key is its own type code.
const std::pair<const char*, const char*> kTypeCodes[] = {
    {"DEKO_TOPUP", "PULSA"}, {"DEKO_TOPUPALL", "PULSA"}, {"DEKO_PACKAGE", "PAKET"},
    {"VAS_PRODUCTS", "PAKET"}, {"FRC", kKpk.text()},     {"SPV_BLANK", kSpv.text()}};

const char* const kMessageNoBestOffers = "Cek Paket Terbaik Gagal";

// The completed request's payload, or an empty list after showing why there is none.
Ref payload(PyObject* self, const Answer& answer) {
    if (answer.unanswered()) {
        console(self, kMessageNoBestOffers, Level::Gagal);
        return new_list();
    }
    if (!answer.accepted()) {
        show_refusal(self, answer);
        return new_list();
    }
    return attr(answer.completed, kProduk);
}

}  // namespace

// The lookups compare makerequest's result with none by equality, as they are written.
Ref get_produk(PyObject* self, PyObject* kategori) {
    return payload(self, ask(self, kProdukRequest, {{kKategori, kategori}}, NoneTest::Equals));
}

Ref get_terbaik(PyObject* self, PyObject* msisdn) {
    return payload(self, ask(self, kProdukTerbaik, {{kMsisdn, msisdn}}, NoneTest::Equals));
}

Ref get_produk_terbaik(PyObject* self, PyObject* msisdn, PyObject* offerid) {
    Answer answer = ask(self, kProdukTerbaik, {{kMsisdn, msisdn}}, NoneTest::Is);
    if (answer.unanswered()) {
        console(self, kPackageCheckFailed, Level::Gagal);
        return tuple({Py_False, kNoConnection});
    }
    if (!answer.accepted()) return tuple({Py_False, show_refusal(self, answer)});
    Ref offer = call_method(answer.completed, kProdukById, {offerid});
    if (equals(offer, Py_None))
        return tuple({Py_False, py_str("Produk Tidak Ditemukan, Pastikan PAKETID dan MSISDN Produk Sudah Benar")});
    return tuple({Py_True, offer});
}

namespace {

// Catalogue pull -----------------------------------------------------------------------------

// A plain ASCII str without its product-code noise, written straight into the new str; the str
// itself when it has none.
Ref clean_ascii_code(PyObject* code) {
    std::string_view chars(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(code)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(code)));
    size_t kept = product_code_size(chars);
    if (kept == chars.size()) return Ref::borrow(code);
    Ref out = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(kept), 127));
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get()));
    clean_product_code_into(chars, data);  // may overwrite the terminator, put back below
    data[kept] = '\0';
    return out;
}

// The cleaned text, or `original` itself when nothing was removed.
Ref cleaned(const std::string& result, PyObject* original, std::string_view original_utf8) {
    if (result.size() == original_utf8.size()) return Ref::borrow(original);
    return py_str(result);
}

// code.replace(".", "").replace(" ", "").replace("-", "")
Ref clean_code(PyObject* code) {
    if (PyUnicode_CheckExact(code) && PyUnicode_IS_ASCII(code)) return clean_ascii_code(code);
    if (auto utf8 = utf8_view(code)) return cleaned(clean_product_code(*utf8), code, *utf8);
    Ref s = Ref::borrow(code);
    for (char noise : kCodeNoise) s = call_method(s, kReplace, {py_str(std::string_view(&noise, 1)), kEmpty});
    return s;
}

// key.replace("_", "")
Ref clean_type_key(PyObject* key) {
    constexpr const char* underscore = "_";
    if (auto utf8 = utf8_view(key)) return cleaned(remove_chars(*utf8, underscore), key, *utf8);
    return call_method(key, kReplace, {py_str(underscore), kEmpty});
}

// The offer description without "<div>", "</div>", "<p>", "</p>".
Ref clean_description(PyObject* description) {
    if (auto utf8 = utf8_view(description)) return cleaned(strip_offer_tags(*utf8), description, *utf8);
    Ref s = Ref::borrow(description);
    for (std::string_view tag : kOfferTags) s = call_method(s, kReplace, {py_str(tag), kEmpty});
    return s;
}

// The catalogue type code of a product-type key.
Ref type_code(PyObject* key) {
    static PyObject* table = [] {
        Ref t = new_dict();
        for (const auto& [type_key, code] : kTypeCodes) set_item(t, py_str(type_key), py_str(code));
        return t.release();  // kept for the life of the process
    }();
    Ref code = Ref::borrow(PyDict_GetItemWithError(table, key));  // may run the key's __eq__
    if (!code && PyErr_Occurred()) throw PyError();
    return code ? code : Ref::borrow(key);
}

// A record template: the seven keys in record order, with the fields shared by a run of records
// (their type, and the category of a product group) already set; each record is a copy of it,
// so filling one never grows or reorders it.
Ref record_template(Obj tipe, Obj kategori) {
    Ref t = new_dict();
    for (const Name* key : {&kKodeproduk, &kTipe, &kPaketid, &kHarga, &kKategori, &kNama}) set_item(t, *key, Py_None);
    set_item(t, kKeterangan, kEmpty);
    set_item(t, kTipe, tipe);
    if (kategori.get()) set_item(t, kKategori, kategori);
    return t;
}

// A copy of `base` with the given fields set, appended to `records`.
void append_record(const Ref& base, const Ref& records, std::initializer_list<Kw> fields) {
    Ref record = Ref::steal(PyDict_Copy(base.get()));
    for (const Kw& field : fields) set_item(record, field.name, field.value);
    append(records, record);
}

// One record per product of each product group, in the groups' order.
void add_products(PyObject* self, const Ref& records) {
    Ref products = new_dict();
    for (const char* code : kCategoryCodes) {
        Ref result = call(attr(self, kGetProduk), {py_str(code)});
        for_each(result, [&](PyObject* key) {
            set_item(products, key, item(result, key));
            return true;
        });
    }
    for_each(products, [&](PyObject* key) {
        Ref group;  // made at the group's first product: an empty group reads nothing of its key
        for_each(item(products, key), [&](PyObject* p) {
            Ref paketid = item(p, kCode);
            Ref kodeproduk = clean_code(item(p, kCode).get());
            if (!group) {
                Ref kategori = clean_type_key(key);
                group = record_template(type_code(key), kategori);
            }
            Ref code = item(p, kCode);
            Ref display_name = item(p, kDisplayName);
            Ref nama = equals(code, display_name) ? item(p, kDescription) : item(p, kDisplayName);
            Ref harga = item(p, kFinalPrice);
            append_record(group, records,
                          {{kKodeproduk, kodeproduk}, {kPaketid, paketid}, {kHarga, harga}, {kNama, nama}});
            return true;
        });
        return true;
    });
}

// One record per best offer of each number listed in `nomors`.
void add_offers(PyObject* self, PyObject* nomors, const Ref& records) {
    Ref group = record_template(kCrp, nullptr);
    for_each(call_method(nomors, kSplit, {kComma}), [&](PyObject* number) {
        if (equals(number, kEmpty)) return true;
        for_each(call(attr(self, kGetTerbaik), {number}), [&](PyObject* o) {
            Ref paketid = item(o, kOfferId);
            Ref kodeproduk = clean_code(item(o, kOfferId).get());
            Ref kategori = item(o, kProductType);
            Ref nama = clean_description(item(o, kOfferDescription).get());
            Ref harga = item(o, kProductPrice);
            append_record(group, records,
                          {{kKodeproduk, kodeproduk}, {kPaketid, paketid}, {kHarga, harga},
                           {kKategori, kategori}, {kNama, nama}});
            return true;
        });
        return true;
    });
}

}  // namespace

Ref tarik_produk(PyObject* self, PyObject* nomors) {
    return guarded(
        [&] {
            Ref records = new_list();
            add_products(self, records);
            add_offers(self, nomors, records);
            return call(global(kFuncResponse), {Py_True, records});
        },
        [&](PyObject* error) {
            print_line(log_exception(self, error));
            return call(global(kFuncResponse), {Py_False, py_str("Gagal Mengambil Produk")});
        });
}

// The methods this subsystem gives the module's classes, each with its place in its class.
namespace {
constexpr MethodDef kRows[] = {
    {kConnectionClass, 5, &kTarikProduk, {self, required(kNomors)},
     "Pull the catalogue and the best offers for the numbers into records.", body<&tarik_produk>()},
    {kConnectionClass, 9, &kGetProduk, {self, required(kKategori)}, "The products of one category, by type.",
     body<&get_produk>()},
    {kConnectionClass, 10, &kGetTerbaik, {self, required(kMsisdn)}, "The best offers for one number.",
     body<&get_terbaik>()},
    {kConnectionClass, 11, &kGetProdukTerbaik, {self, required(kMsisdn), required(kOfferid)},
     "One best offer of a number: (found, offer or message).", body<&get_produk_terbaik>()},
};
}  // namespace
const MethodTable kCatalogueMethods = method_table<kRows, sizeof kRows / sizeof kRows[0]>();

}  // namespace deko
