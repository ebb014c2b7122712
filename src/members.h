// The methods each subsystem contributes to the module's classes; module.cpp lists them per
// class, in attribute order. Each builds its Python function object.
#pragma once
#include "classes.h"

namespace deko {

// Session (session.cpp): the connection object, the request pipeline, login, balance.
py::object connection_init();
py::object makerequest_method();
py::object login_method();
py::object cek_saldo_method();
py::object get_connection_thread_method();

// Catalogue (catalogue.cpp): lookups, best offers, the catalogue pull.
py::object tarik_produk_method();
py::object get_produk_method();
py::object get_terbaik_method();
py::object get_produk_terbaik_method();

// Transactions (transactions.cpp): product check, purchase, menu check.
py::object cek_method();
py::object transaksi_method();
py::object menu_cek_method();

// History (history.cpp): history query, previous purchase, the history matcher.
py::object history_method();
py::object get_previous_transaksi_method();
py::object get_transaksi_history_method();

// Threads (threads.cpp): the worker thread and the history wait thread.
py::object connection_thread_init();
py::object connection_thread_run();
py::object history_thread_init();
py::object history_thread_run();

// A process forked while logins were in flight starts with none (session.cpp).
void forget_logins_in_flight();

}  // namespace deko
