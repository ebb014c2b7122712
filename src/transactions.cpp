// Transactions: product check, purchase with retries, menu check.
#include "glue.h"

namespace deko {

namespace {

using py::arg;

constexpr int kAttempts = 4;

py::object settings(py::handle self) {
    return self.attr("terminal").attr("config").attr("deko");
}

void set_outcome(py::handle transaksi, py::handle status, py::handle pesan) {
    transaksi.attr("status") = status;
    transaksi.attr("pesan") = pesan;
}

void set_outcome(py::handle transaksi, const char* status, py::handle pesan) {
    set_outcome(transaksi, py::str(status), pesan);
}

// counter + 1, and whether it has reached the attempt limit.
py::object next_attempt(py::handle counter, bool& exhausted) {
    py::object next = py::reinterpret_borrow<py::object>(counter) + py::int_(1);
    int r = PyObject_RichCompareBool(next.ptr(), py::int_(kAttempts).ptr(), Py_GE);
    if (r < 0) throw py::error_already_set();
    exhausted = r == 1;
    return next;
}

// The transaction time: now at UTC+7, without its zone.
py::object transaction_time() {
    py::object dt = global("datetime");
    py::object zone = dt.attr("timezone")(dt.attr("timedelta")(arg("hours") = 7));
    return dt.attr("datetime").attr("now")(zone).attr("replace")(arg("tzinfo") = py::none());
}

// A provider refusal of a purchase or a menu check: shown, and stored with the "[Deko]: " prefix.
void store_refusal(py::handle self, py::handle record, py::handle completed) {
    console(self, completed.attr("error_msg"), "gagal");
    record.attr("status") = "gagal";
    record.attr("pesan") = py::str("[Deko]: ") + text_of(completed.attr("error_msg"));
}

// No answer: the operation `method` runs again with the next counter, or, after the last
// attempt, the record fails with "Koneksi Terputus" after `last_line` is shown.
py::object retry_or_fail(py::handle self, py::handle record, py::handle counter, const char* method,
                         const char* last_line) {
    bool exhausted = false;
    py::object next = next_attempt(counter, exhausted);
    if (exhausted) {
        console(self, last_line, "gagal");
        set_outcome(record, "gagal", py::str("Koneksi Terputus"));
        return py::reinterpret_borrow<py::object>(record);
    }
    return self.attr(method)(record, arg("counter") = next);
}

// Product check --------------------------------------------------------------------------

py::dict inquiry_data(py::handle description, py::handle nama) {
    py::dict data;
    data["desc"] = global("remove_html_tags")(description);
    data["nama"] = nama;
    return data;
}

void store_inquiry(py::handle transaksi, py::handle price, py::dict data) {
    transaksi.attr("status") = "sukses";
    transaksi.attr("inq") = global("InqueryDetail")(price, data);
    transaksi.attr("pesan") = transaksi.attr("inq").attr("data");
}

py::object cek(py::object self, py::object transaksi, py::object show_success) {
    py::object produk = transaksi.attr("produk");
    if (equals(produk.attr("tipe").attr("upper")(), py::str("CRP"))) {
        py::object pair = self.attr("get_produk_terbaik")(transaksi.attr("tujuan"), produk.attr("paketid"));
        if (!truthy(pair[py::int_(0)])) {
            set_outcome(transaksi, "gagal", pair[py::int_(1)]);
            return transaksi;
        }
        py::object offer = pair[py::int_(1)];
        py::object name = offer["offerShortDesc"];
        produk.attr("nama") = name;
        if (truthy(show_success))
            console(self,
                    py::str("Cek Produk ") + text_of(name) + py::str(" dengan harga ") +
                        text_of(offer["productPrice"]) + py::str(" Berhasil"),
                    "sukses");
        py::object price = offer["productPrice"];
        store_inquiry(transaksi, price, inquiry_data(offer["offerDescription"], name));
        return transaksi;
    }

    py::object completed =
        self.attr("makerequest")(global("dekorequest").attr("Produk"), arg("kategori") = produk.attr("kategori"));
    if (!differs(completed, py::none())) {
        console(self, "Cek Paket Gagal", "gagal");
        set_outcome(transaksi, "gagal", py::str("Koneksi Terputus"));
        return transaksi;
    }
    if (!truthy(completed.attr("sukses"))) {
        console(self, completed.attr("error_msg"), "gagal");
        set_outcome(transaksi, "gagal", completed.attr("error_msg"));
        return transaksi;
    }
    py::object product = completed.attr("get_produk")(produk.attr("paketid"), produk.attr("kategori"));
    if (product.is_none()) {
        console(self, "Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar", "gagal");
        set_outcome(transaksi, "gagal", py::str("Produk Tidak Ditemukan"));
        return transaksi;
    }
    py::object code = product["CODE"];
    py::object display_name = product["DISPLAY_NAME"];
    py::object shown = equals(code, display_name)
                           ? code
                           : py::object(py::str("(") + text_of(code) + py::str(") ") + text_of(display_name));
    if (truthy(show_success))
        console(self,
                py::str("Cek Produk ") + text_of(shown) + py::str(" dengan harga ") +
                    text_of(product["FINAL_PRICE"]) + py::str(" Berhasil"),
                "sukses");
    store_inquiry(transaksi, product["FINAL_PRICE"],
                  inquiry_data(product["DESCRIPTION"], product["DISPLAY_NAME"]));
    produk.attr("nama") = product["DISPLAY_NAME"];
    return transaksi;
}

// Purchase -------------------------------------------------------------------------------

py::object transaksi(py::object self, py::object record, py::object counter) {
    console(self, "Mengirim Transaksi...", "default");
    py::object transaksitime = transaction_time();
    py::object requests = global("dekorequest");
    py::object produk = record.attr("produk");
    py::object tipe = produk.attr("tipe").attr("upper")();
    bool is_crp = false;
    py::object completed;

    if (equals(tipe, py::str("SPV"))) {
        completed = self.attr("makerequest")(
            requests.attr("TransaksiSPV"), arg("kategori") = produk.attr("kategori"),
            arg("msisdn") = record.attr("tujuan"), arg("pin") = record.attr("pin"),
            arg("kodeproduk") = produk.attr("paketid"), arg("harga") = record.attr("inq").attr("harga"),
            arg("trx") = settings(self)["nomor_transaksi"]);
    } else if (equals(tipe, py::str("KPK"))) {
        completed = self.attr("makerequest")(
            requests.attr("TransaksiKPK"), arg("msisdn") = record.attr("tujuan"),
            arg("pin") = record.attr("pin"), arg("kodeproduk") = produk.attr("paketid"),
            arg("harga") = record.attr("inq").attr("harga"),
            arg("trx") = settings(self)["nomor_transaksi"]);
    } else if (equals(tipe, py::str("CRP"))) {
        is_crp = true;
        py::object pair =
            self.attr("get_produk_terbaik")(record.attr("tujuan"), produk.attr("paketid"));
        if (!truthy(pair[py::int_(0)])) {
            set_outcome(record, "gagal", pair[py::int_(1)]);
            return record;
        }
        py::object offer = pair[py::int_(1)];
        completed = self.attr("makerequest")(
            requests.attr("TransaksiTerbaik"), arg("msisdn") = record.attr("tujuan"),
            arg("pin") = record.attr("pin"), arg("harga") = offer["productPrice"],
            arg("trx") = settings(self)["nomor_transaksi"], arg("idretail") = settings(self)["idretail"],
            arg("productType") = offer["productType"], arg("offerId") = produk.attr("paketid"),
            arg("recommendationName") = offer["recommendationName"],
            arg("registrationKey") = offer["registrationKey"],
            arg("retailerIncentive") = offer["retailerIncentive"]);
    } else {
        py::object kategori = produk.attr("kategori");
        if (equals(kategori, py::str("DEKOTOPUPALL"))) kategori = py::str("DEKOTOPUP");
        completed = self.attr("makerequest")(
            requests.attr("Transaksi"), arg("msisdn") = record.attr("tujuan"),
            arg("pin") = record.attr("pin"), arg("kodeproduk") = produk.attr("paketid"),
            arg("kategori") = kategori, arg("nama") = produk.attr("nama"),
            arg("harga") = record.attr("inq").attr("harga"),
            arg("trx") = settings(self)["nomor_transaksi"]);
    }

    if (differs(completed, py::none())) {
        if (truthy(completed.attr("sukses"))) {
            console(self, completed.attr("msg"), "sukses");
            console(self, "Mengambil Transaksi Dari History...", "warning");
            set_outcome(record, "pending", completed.attr("msg"));
            if (!is_crp)
                record = self.attr("get_transaksi_history")(record, record.attr("tujuan"), transaksitime,
                                                             arg("harga") = record.attr("inq").attr("harga"));
        } else {
            store_refusal(self, record, completed);
        }
        return record;
    }
    return retry_or_fail(self, record, counter, "transaksi", "Pembelian Gagal");
}

// Menu check -----------------------------------------------------------------------------

py::object menu_cek(py::object self, py::object record, py::object counter) {
    py::object paketid = record.attr("produk").attr("paketid");
    py::object menu = paketid.attr("upper")();
    const char* request_class = nullptr;
    if (equals(menu, py::str("KPK")))
        request_class = "CheckKPK";
    else if (equals(menu, py::str("SPV")))
        request_class = "CheckSPV";
    else {
        set_outcome(record, "gagal", py::str("Menu CEK Tidak Ditemukan"));
        return record;
    }
    py::object completed = self.attr("makerequest")(global("dekorequest").attr(request_class),
                                                     arg("msisdn") = record.attr("tujuan"));
    if (differs(completed, py::none())) {
        if (truthy(completed.attr("sukses"))) {
            set_outcome(record, "sukses", completed.attr("data"));
            console(self, py::str("Cek ") + text_of(record.attr("produk").attr("paketid")) + py::str(" Berhasil"),
                    "sukses");
        } else {
            store_refusal(self, record, completed);
        }
        return record;
    }
    return retry_or_fail(self, record, counter, "menu_cek", "Cek Gagal");
}

}  // namespace

void add_transaction_methods(Methods& m) {
    m["cek"] = method("cek", &cek, "Check a record's product and price; fills its inquiry detail.",
                      arg("self"), arg("transaksi"), arg("console") = true);
    m["transaksi"] = method("transaksi", &transaksi,
                            "Send a record's purchase and settle it from the history.", arg("self"),
                            arg("transaksi"), arg("counter") = 0);
    m["menu_cek"] = method("menu_cek", &menu_cek, "Run the KPK or SPV check menu for a record.",
                           arg("self"), arg("transaksi"), arg("counter") = 0);
}

}  // namespace deko
