// History reconciliation: the history query, the previous-transaction lookup and the
// history matcher that settles a purchase.
#include "core/datetime_parse.h"
#include "core/pynum.h"
#include "glue.h"

#include <optional>
#include <string>

namespace deko {

namespace {

using py::arg;

// Python-compatible whole numbers -----------------------------------------------------------

// A whole number as Python's int() gives it: in 64 bits when it fits, else a Python int.
struct Whole {
    long long small = 0;
    py::object big;  // set when the value does not fit in `small`

    static Whole of_python_int(py::object value) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow) return Whole{0, std::move(value)};
        return Whole{v, py::object()};
    }
    py::object as_python() const { return big ? big : py::int_(small); }
    py::str digits() const {
        return big ? py::str(big) : py::str(std::to_string(small));
    }
};

bool same(const Whole& a, const Whole& b) {
    if (!a.big && !b.big) return a.small == b.small;
    return equals(a.as_python(), b.as_python());
}

std::optional<std::string_view> plain_text(py::handle value) {
    if (!PyUnicode_CheckExact(value.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<size_t>(size));
}

py::object python_call(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// int(float(value)): a price given as a number or as a text spelling a decimal number.
Whole whole_via_decimal(py::handle value) {
    PyObject* o = value.ptr();
    std::optional<long long> fast;
    if (auto text = plain_text(value)) {
        fast = int_of_float_text(*text);
    } else if (PyFloat_CheckExact(o)) {
        fast = truncate_double(PyFloat_AS_DOUBLE(o));
    } else if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        // Whole numbers up to 2**53 go through a double unchanged.
        if (!overflow && v <= (1LL << 53) && v >= -(1LL << 53)) fast = v;
    }
    if (fast) return Whole{*fast, py::object()};
    py::object as_float = python_call(PyNumber_Float(o));
    return Whole::of_python_int(python_call(PyNumber_Long(as_float.ptr())));
}

// int(value): a stored or expected price; a text must spell a whole number.
Whole whole_direct(py::handle value) {
    PyObject* o = value.ptr();
    if (PyLong_CheckExact(o)) return Whole::of_python_int(py::reinterpret_borrow<py::object>(value));
    std::optional<long long> fast;
    if (auto text = plain_text(value))
        fast = int_of_text(*text);
    else if (PyFloat_CheckExact(o))
        fast = truncate_double(PyFloat_AS_DOUBLE(o));
    if (fast) return Whole{*fast, py::object()};
    return Whole::of_python_int(python_call(PyNumber_Long(o)));
}

// Provider data ---------------------------------------------------------------------------------

struct Keys {
    py::handle trx_detail = name("trxDetail"), product_id = name("productId"), final_success_price = name("finalSuccessPrice"),
        product_price = name("productPrice"), status_desc = name("statusDesc"), submitted_date = name("submittedDate"),
        batch_id = name("batchId"), msisdn = name("msisdn"), qrvoucher = name("qrvoucher"), harga = name("harga"),
        orderid = name("orderid");
    py::handle dash = name("-"), zero = name("0"), spv = name("SPV");
    py::int_ first{0};
    py::object datetime_class;  // the standard library's own, for the fast comparison
};
const Keys* g_keys = nullptr;

py::object item(py::handle mapping, py::handle key) { return get_item(mapping, key); }

// The first detail of an entry: entry["trxDetail"][0].
py::object first_detail(py::handle entry) {
    py::object details = item(entry, g_keys->trx_detail);
    if (PyList_CheckExact(details.ptr()) && PyList_GET_SIZE(details.ptr()) > 0)
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(details.ptr(), 0));
    return item(details, g_keys->first);
}

// Whether mapping[key] == value can be decided in place: a plain dict holding a plain text,
// compared with a plain text. Returns 1 (equal), 0 (different) or -1 (not decidable here).
// Runs no Python code and takes no references.
int text_item_equals(PyObject* mapping, PyObject* key, PyObject* value) {
    if (!PyDict_CheckExact(mapping) || !PyUnicode_CheckExact(value)) return -1;
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (!v) {
        PyErr_Clear();  // a missing key is reported by the general path
        return -1;
    }
    if (!PyUnicode_CheckExact(v)) return -1;
    return same_text(v, value) ? 1 : 0;
}

// mapping[key] == value with Python's equality.
bool item_equals(py::handle mapping, py::handle key, py::handle value) {
    int r = text_item_equals(mapping.ptr(), key.ptr(), value.ptr());
    if (r >= 0) return r == 1;
    return equals(item(mapping, key), value);
}

// The completed History request, when the provider answered with success; else none.
py::object fetch_history(py::handle self) {
    py::object completed = self.attr("makerequest")(global("dekorequest").attr("History"));
    if (!completed.is_none() && truthy(completed.attr("conn")) && truthy(completed.attr("sukses")))
        return completed;
    return py::none();
}

// The record's status for a provider status text, looked up in lower case.
py::object status_for(py::handle status_desc) {
    return global("TRANSAKSI_TYPES").attr("DEKO_STATUS")[status_desc.attr("lower")()];
}

// "submittedDate": the milliseconds "000" dropped, then "%Y%m%d%H%M%S".
CivilTime submitted_time(py::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        throw py::type_error(std::string("submittedDate must be text, not ") +
                             Py_TYPE(value.ptr())->tp_name);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) throw py::error_already_set();
    std::string_view text(data, static_cast<size_t>(size));
    if (auto t = parse_submitted_date(text)) return *t;
    if (text.size() > 14 && text.substr(text.size() - 3) == "000") text.remove_suffix(3);
    PyErr_Format(PyExc_ValueError, "time data %R does not match format '%%Y%%m%%d%%H%%M%%S'",
                 py::str(text.data(), text.size()).ptr());
    throw py::error_already_set();
}

// "At or after the transaction time, to the second". A plain naive datetime is compared
// field by field; anything else is compared by Python itself.
class TimeBound {
public:
    explicit TimeBound(py::handle transaksitime) : time_(transaksitime) {}

    bool reached_by(const CivilTime& t) {
        if (!ready_) prepare();
        if (fast_) return !(t < bound_);
        py::object entry = global("datetime").attr("datetime")(t.year, t.month, t.day, t.hour,
                                                                t.minute, t.second);
        int r = PyObject_RichCompareBool(entry.ptr(), cut_.ptr(), Py_GE);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    }

private:
    void prepare() {
        ready_ = true;
        cut_ = time_.attr("replace")(arg("microsecond") = 0);
        fast_ = Py_TYPE(cut_.ptr()) == reinterpret_cast<PyTypeObject*>(g_keys->datetime_class.ptr()) &&
                cut_.attr("tzinfo").is_none();
        if (fast_) {
            auto field = [&](const char* name) { return cut_.attr(name).cast<int>(); };
            bound_ = CivilTime{field("year"), field("month"), field("day"),
                               field("hour"), field("minute"), field("second")};
        }
    }

    py::handle time_;
    bool ready_ = false, fast_ = false;
    py::object cut_;
    CivilTime bound_{};
};

// history() -------------------------------------------------------------------------------------

py::object history(py::object self) {
    py::object completed = fetch_history(self);
    if (completed.is_none()) return py::none();
    return completed.attr("history");
}

// get_previous_transaksi() ------------------------------------------------------------------------

py::object get_previous_transaksi(py::object self, py::object transaksi, py::object transaksi_db) {
    const Keys& k = *g_keys;
    py::object harga = item(transaksi_db, k.harga);
    py::object completed = fetch_history(self);
    if (completed.is_none()) return py::none();

    py::object taken;
    py::object orderid, paketid, tujuan;
    bool mode_known = false, by_order = false;
    std::optional<Whole> stored_price;

    // In product mode an entry of another product is passed over at once when that can be
    // told without running Python code.
    auto other_product = [&](PyObject* entry) {
        return mode_known && !by_order &&
               text_item_equals(entry, k.product_id.ptr(), paketid.ptr()) == 0;
    };
    for_each_unless(completed.attr("history"), other_product, [&](py::handle entry) {
        if (!mode_known) {
            orderid = item(transaksi_db, k.orderid);
            by_order = !orderid.is_none();
            if (!by_order) {
                paketid = transaksi.attr("produk").attr("paketid");
                tujuan = transaksi.attr("tujuan");
            }
            mode_known = true;
        }
        if (by_order) {
            py::object detail = first_detail(entry);
            if (equals(item(detail, k.batch_id), orderid)) taken = py::reinterpret_borrow<py::object>(entry);
            return true;
        }
        if (!item_equals(entry, k.product_id, paketid)) return true;
        py::object number = global("normalizemsisdn")(tujuan, arg("start") = "08");
        py::object detail = first_detail(entry);
        if (!equals(number, item(detail, k.msisdn))) return true;
        if (!harga.is_none()) {
            Whole price = whole_via_decimal(item(entry, k.final_success_price));
            if (!stored_price) stored_price = whole_direct(harga);
            if (!same(price, *stored_price)) return true;
        }
        taken = py::reinterpret_borrow<py::object>(entry);
        return false;
    });
    if (!taken) return py::none();

    transaksi.attr("status") = status_for(item(taken, k.status_desc));
    // The provider writes "-" for an entry without a product price; the amount charged
    // then stands for it, as in the history matcher.
    py::object price = item(taken, k.product_price);
    if (equals(price, k.dash)) price = item(taken, k.final_success_price);
    transaksi.attr("pesan") = py::str("Transaksi sudah pernah berhasil utk pembelian paket ke ") +
                              text_of(transaksi.attr("tujuan")) + py::str(" sebesar ") +
                              whole_via_decimal(price).digits() + py::str(" .");
    transaksi.attr("serialnumber") = item(first_detail(taken), k.batch_id);
    return transaksi;
}

// get_transaksi_history() ---------------------------------------------------------------------------

py::object get_transaksi_history(py::object self, py::object transaksi, py::object tujuan,
                                 py::object transaksitime, py::object harga, py::object counter) {
    const Keys& k = *g_keys;
    py::object completed = fetch_history(self);
    if (completed.is_none()) return py::none();

    TimeBound bound(transaksitime);
    py::object paketid;
    int spv = -1;  // whether the product is a voucher (SPV), worked out at the first entry
    std::optional<Whole> expected;
    py::object taken, taken_detail, taken_price;

    for_each(completed.attr("history"), [&](py::handle entry) {
        CivilTime time = submitted_time(item(entry, k.submitted_date));
        py::object detail = first_detail(entry);
        py::object number = get_if_present(detail, k.msisdn);
        if (!number) number = py::none();
        py::object voucher = get_if_present(detail, k.qrvoucher);
        if (!voucher) voucher = py::none();
        py::object price = item(entry, k.product_price);
        if (equals(price, k.dash)) price = item(entry, k.final_success_price);

        if (spv < 0) spv = equals(transaksi.attr("produk").attr("tipe").attr("upper")(), k.spv);
        if ((number.is_none() && !voucher.is_none()) || spv) number = voucher;

        if (!paketid) paketid = transaksi.attr("produk").attr("paketid");
        if (!item_equals(entry, k.product_id, paketid)) return true;
        if (!equals(tujuan, number)) return true;
        if (!bound.reached_by(time)) return true;

        if (!harga.is_none() && differs(price, k.zero) && differs(price, k.dash)) {
            if (!expected) expected = whole_direct(harga);
            if (!same(whole_via_decimal(price), *expected)) return true;
        }
        taken = py::reinterpret_borrow<py::object>(entry);
        taken_detail = detail;
        taken_price = price;
        return false;
    });

    if (taken) {
        transaksi.attr("status") = status_for(item(taken, k.status_desc));
        if (truthy(transaksi.attr("sukses")))
            transaksi.attr("pesan") =
                py::str("Transaksi berhasil utk pembelian produk ") +
                text_of(transaksi.attr("produk").attr("nama")) + py::str(" ke ") + text_of(tujuan) +
                py::str(" sebesar ") + whole_via_decimal(taken_price).digits() + py::str(" .");
        else
            transaksi.attr("pesan") = item(taken_detail, k.status_desc);
        transaksi.attr("serialnumber") = item(taken_detail, k.batch_id);
        return transaksi;
    }

    int more = PyObject_RichCompareBool(counter.ptr(), py::int_(5).ptr(), Py_LT);
    if (more < 0) throw py::error_already_set();
    if (!more) return transaksi;
    console(self, "Belum menemukan transaksi di history...", "warning");
    global("sleep")(1);
    return self.attr("get_transaksi_history")(transaksi, tujuan, transaksitime, arg("harga") = harga,
                                              arg("counter") = counter + py::int_(1));
}

}  // namespace

void add_history_methods(Methods& m) {
    if (!g_keys) {
        auto* keys = new Keys();
        keys->datetime_class = py::module_::import("datetime").attr("datetime");
        g_keys = keys;
    }
    m["history"] = method("history", &history, "The provider's transaction history, or none.",
                          arg("self"));
    m["get_previous_transaksi"] =
        method("get_previous_transaksi", &get_previous_transaksi,
               "Find an earlier purchase of the same package for a stored transaction.", arg("self"),
               arg("transaksi"), arg("transaksi_db"));
    m["get_transaksi_history"] =
        method("get_transaksi_history", &get_transaksi_history,
               "Settle a purchase from the provider's history (up to six passes).", arg("self"),
               arg("transaksi"), arg("tujuan"), arg("transaksitime"), arg("harga") = py::none(),
               arg("counter") = 0);
}

}  // namespace deko
