// Product catalogue: category and best-offer lookups, and the catalogue pull.
#include "core/text.h"
#include "glue.h"

#include <cstring>
#include <string>

namespace deko {

namespace {

using py::arg;

// request == None, with Python's equality.
bool equals_none(py::handle value) { return equals(value, py::none()); }

// The completed request's payload, or an empty list after showing why there is none.
py::object lookup(py::handle self, const char* request_class, const char* field, py::handle value) {
    py::dict fields;
    fields[field] = value;
    py::object completed =
        self.attr("makerequest")(global("dekorequest").attr(request_class), **fields);
    if (equals_none(completed)) {
        console(self, "Cek Paket Terbaik Gagal", "gagal");
        return py::list();
    }
    if (!truthy(completed.attr("sukses"))) {
        console(self, completed.attr("error_msg"), "gagal");
        return py::list();
    }
    return completed.attr("produk");
}

py::object get_produk(py::object self, py::object kategori) {
    return lookup(self, "Produk", "kategori", kategori);
}

py::object get_terbaik(py::object self, py::object msisdn) {
    return lookup(self, "ProdukTerbaik", "msisdn", msisdn);
}

py::object get_produk_terbaik(py::object self, py::object msisdn, py::object offerid) {
    py::object completed = self.attr("makerequest")(global("dekorequest").attr("ProdukTerbaik"),
                                                     arg("msisdn") = msisdn);
    if (completed.is_none()) {
        console(self, "Cek Paket Gagal", "gagal");
        return py::make_tuple(false, "Koneksi Terputus");
    }
    if (!truthy(completed.attr("sukses"))) {
        py::object error_msg = completed.attr("error_msg");
        console(self, error_msg, "gagal");
        return py::make_tuple(false, error_msg);
    }
    py::object offer = completed.attr("produkById")(offerid);
    if (equals_none(offer))
        return py::make_tuple(
            false, "Produk Tidak Ditemukan, Pastikan PAKETID dan MSISDN Produk Sudah Benar");
    return py::make_tuple(true, offer);
}

// Catalogue pull -----------------------------------------------------------------------------

// Keys of a catalogue record, in record order, made once.
struct RecordKeys {
    py::handle kodeproduk = name("kodeproduk"), tipe = name("tipe"), paketid = name("paketid"), harga = name("harga"),
        kategori = name("kategori"), nama = name("nama"), keterangan = name("keterangan");
    py::handle code = name("CODE"), display_name = name("DISPLAY_NAME"), description = name("DESCRIPTION"),
        final_price = name("FINAL_PRICE");
    py::handle offer_id = name("offerId"), product_type = name("productType"), offer_description = name("offerDescription"),
        product_price = name("productPrice");
    py::handle empty = name(""), crp = name("CRP");
    py::dict record_template = make_template();

    py::dict make_template() const {
        py::dict t;
        for (py::handle key : {kodeproduk, tipe, paketid, harga, kategori, nama}) t[key] = py::none();
        t[keterangan] = empty;
        return t;
    }
};

// A plain str as UTF-8, or nothing for anything else (str subclasses, other types and texts
// that cannot be encoded are handled by Python's own methods).
bool utf8_of(py::handle value, std::string_view& out) {
    if (!PyUnicode_CheckExact(value.ptr())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

py::object text_from(const std::string& s, py::handle original, std::string_view original_utf8) {
    if (s.size() == original_utf8.size()) return py::reinterpret_borrow<py::object>(original);
    PyObject* text = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

// A plain ASCII code without its noise characters, built in place; the str itself when it
// holds none of them.
py::object clean_ascii_code(py::handle code) {
    std::string_view text(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(code.ptr())),
                          static_cast<size_t>(PyUnicode_GET_LENGTH(code.ptr())));
    size_t kept = product_code_size(text);
    if (kept == text.size()) return py::reinterpret_borrow<py::object>(code);
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(kept), 127);
    if (!out) throw py::error_already_set();
    char* data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out));
    clean_product_code_into(text, data);  // may overwrite the terminator, put back below
    data[kept] = '\0';
    return py::reinterpret_steal<py::object>(out);
}

// code.replace(".", "").replace(" ", "").replace("-", "")
py::object clean_code(py::handle code) {
    if (PyUnicode_CheckExact(code.ptr()) && PyUnicode_IS_ASCII(code.ptr())) return clean_ascii_code(code);
    std::string_view utf8;
    if (utf8_of(code, utf8)) return text_from(clean_product_code(utf8), code, utf8);
    return code.attr("replace")(".", "").attr("replace")(" ", "").attr("replace")("-", "");
}

// key.replace("_", "")
py::object clean_type_key(py::handle key) {
    std::string_view utf8;
    if (utf8_of(key, utf8)) return text_from(remove_chars(utf8, "_"), key, utf8);
    return key.attr("replace")("_", "");
}

// The offer description without "<div>", "</div>", "<p>", "</p>".
py::object clean_description(py::handle description) {
    std::string_view utf8;
    if (utf8_of(description, utf8)) return text_from(strip_offer_tags(utf8), description, utf8);
    py::object s = py::reinterpret_borrow<py::object>(description);
    for (const char* tag : {"<div>", "</div>", "<p>", "</p>"}) s = s.attr("replace")(tag, "");
    return s;
}

// Catalogue records are copies of a template that already holds the seven keys in order, so
// filling one never grows or reorders it. A template can hold the fields shared by a run of
// records (type and category of one product group), leaving fewer to set per record.
py::dict record_template(const RecordKeys& k, py::handle tipe, py::handle kategori) {
    py::dict t = py::reinterpret_steal<py::dict>(PyDict_Copy(k.record_template.ptr()));
    if (!t) throw py::error_already_set();
    if (PyDict_SetItem(t.ptr(), k.tipe.ptr(), tipe.ptr()) < 0) throw py::error_already_set();
    if (kategori && PyDict_SetItem(t.ptr(), k.kategori.ptr(), kategori.ptr()) < 0)
        throw py::error_already_set();
    return t;
}

// A new record from `base`, with the given fields set, appended to `records`.
template <size_t N>
void append_record(py::handle base, py::list& records,
                   const std::pair<py::handle, py::handle> (&fields)[N]) {
    py::object r = py::reinterpret_steal<py::object>(PyDict_Copy(base.ptr()));
    if (!r) throw py::error_already_set();
    for (const auto& f : fields)
        if (PyDict_SetItem(r.ptr(), f.first.ptr(), f.second.ptr()) < 0) throw py::error_already_set();
    if (PyList_Append(records.ptr(), r.ptr()) < 0) throw py::error_already_set();
}

// Made at import, kept for the life of the process.
const RecordKeys* g_keys = nullptr;

py::object pull_catalogue(py::handle self, py::handle nomors) {
    const RecordKeys& k = *g_keys;

    py::dict category_tipe;
    category_tipe["DEKO_TOPUP"] = "PULSA";
    category_tipe["DEKO_TOPUPALL"] = "PULSA";
    category_tipe["DEKO_PACKAGE"] = "PAKET";
    category_tipe["VAS_PRODUCTS"] = "PAKET";
    category_tipe["FRC"] = "KPK";
    category_tipe["SPV_BLANK"] = "SPV";
    py::dict products;
    py::list clean_products;

    for (const char* code : {"0", "1", "3"}) {
        py::object result = self.attr("get_produk")(code);
        for (py::handle key : result) products[key] = get_item(result, key);
    }

    for (auto entry : products) {
        py::handle key = entry.first;
        py::object group;  // the records' template, made with the key's first product
        for_each(entry.second, [&](py::handle p) {
            py::object code = get_item(p, k.code);
            py::object display_name = get_item(p, k.display_name);
            // A plain dict of plain texts cannot change while it is read, so each key is read
            // once; any other mapping is read key by key as often as the record needs it.
            bool plain = PyDict_CheckExact(p.ptr()) && PyUnicode_CheckExact(code.ptr()) &&
                         PyUnicode_CheckExact(display_name.ptr());
            py::object paketid = code;
            py::object kodeproduk = clean_code(plain ? code : get_item(p, k.code));
            if (!group) {
                py::object kategori = clean_type_key(key);
                py::object tipe = category_tipe.contains(key) ? py::object(category_tipe[key])
                                                              : py::reinterpret_borrow<py::object>(key);
                group = record_template(k, tipe, kategori);
            }
            py::object nama;
            if (plain)
                nama = equals(code, display_name) ? get_item(p, k.description) : display_name;
            else
                nama = equals(get_item(p, k.code), get_item(p, k.display_name))
                           ? get_item(p, k.description)
                           : get_item(p, k.display_name);
            py::object harga = get_item(p, k.final_price);
            append_record(group, clean_products,
                          {{k.kodeproduk, kodeproduk}, {k.paketid, paketid}, {k.harga, harga}, {k.nama, nama}});
            return true;
        });
    }

    py::dict offer_group = record_template(k, k.crp, py::handle());
    for (py::handle number : nomors.attr("split")(",")) {
        if (equals(number, k.empty)) continue;
        py::object offers = self.attr("get_terbaik")(number);
        for_each(offers, [&](py::handle o) {
            py::object paketid = get_item(o, k.offer_id);
            py::object kodeproduk = clean_code(get_item(o, k.offer_id));
            py::object kategori = get_item(o, k.product_type);
            py::object nama = clean_description(get_item(o, k.offer_description));
            py::object harga = get_item(o, k.product_price);
            append_record(offer_group, clean_products,
                          {{k.kodeproduk, kodeproduk}, {k.paketid, paketid}, {k.harga, harga},
                           {k.kategori, kategori}, {k.nama, nama}});
            return true;
        });
    }
    return global("FuncResponse")(true, clean_products);
}

py::object tarik_produk(py::object self, py::object nomors) {
    try {
        return pull_catalogue(self, nomors);
    } catch (...) {
        if (!current_exception_is_ordinary()) throw;
        global("print")(log_current_exception(self));
        return global("FuncResponse")(false, "Gagal Mengambil Produk");
    }
}

}  // namespace

void add_catalogue_methods(Methods& m) {
    if (!g_keys) g_keys = new RecordKeys();
    m["tarik_produk"] = method("tarik_produk", &tarik_produk,
                               "Pull the catalogue and the best offers for the numbers into records.",
                               arg("self"), arg("nomors"));
    m["get_produk"] = method("get_produk", &get_produk, "The products of one category, by type.",
                             arg("self"), arg("kategori"));
    m["get_terbaik"] = method("get_terbaik", &get_terbaik, "The best offers for one number.",
                              arg("self"), arg("msisdn"));
    m["get_produk_terbaik"] = method("get_produk_terbaik", &get_produk_terbaik,
                                     "One best offer of a number: (found, offer or message).",
                                     arg("self"), arg("msisdn"), arg("offerid"));
}

}  // namespace deko
