// The bodies of the module's methods, by subsystem: module.cpp binds each to its row of the method
// table, whose parameters it takes, in order (the instance first).
#pragma once
#include "binder.h"

namespace deko {

// Session (session.cpp): the connection object, the request pipeline, login, balance.
Ref connection_init(PyObject* self, PyObject* controller, PyObject* terminal);
Ref makerequest(PyObject* self, PyObject* request, PyObject* options);
Ref login(PyObject* self);
Ref cek_saldo(PyObject* self, PyObject* check_login);
Ref get_connection_thread(PyObject* self);

// Catalogue (catalogue.cpp): lookups, best offers, the catalogue pull.
Ref tarik_produk(PyObject* self, PyObject* nomors);
Ref get_produk(PyObject* self, PyObject* kategori);
Ref get_terbaik(PyObject* self, PyObject* msisdn);
Ref get_produk_terbaik(PyObject* self, PyObject* msisdn, PyObject* offerid);

// Transactions (transactions.cpp): product check, purchase, menu check.
Ref cek(PyObject* self, PyObject* record, PyObject* show_success);
Ref transaksi(PyObject* self, PyObject* record, PyObject* counter);
Ref menu_cek(PyObject* self, PyObject* record, PyObject* counter);

// History (history.cpp): history query, previous purchase, the history matcher.
Ref history(PyObject* self);
Ref get_previous_transaksi(PyObject* self, PyObject* record, PyObject* transaksi_db);
Ref get_transaksi_history(PyObject* self, PyObject* record, PyObject* tujuan, PyObject* transaksitime,
                          PyObject* harga, PyObject* counter);

// Threads (threads.cpp): the worker thread and the history wait thread.
Ref worker_init(PyObject* self, PyObject* conn, PyObject* func, PyObject* args, PyObject* parent, PyObject* kwargs);
Ref worker_run(PyObject* self);
Ref waiter_init(PyObject* self, PyObject* conn, PyObject* request, PyObject* record, PyObject* transaksitime,
                PyObject* harga, PyObject* parent);
Ref waiter_run(PyObject* self);

// A process forked while logins were in flight starts with none (session.cpp).
void forget_logins_in_flight();

}  // namespace deko
