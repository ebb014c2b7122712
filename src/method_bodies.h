// The method bodies each subsystem contributes to the module's classes; module.cpp binds them in
// its one method table. A body takes the call's bound arguments (the instance first).
#pragma once
#include "binder.h"

namespace deko {

// Session (session.cpp): the connection object, the request pipeline, login, balance.
Ref connection_init(const Args& a);
Ref makerequest(const Args& a);
Ref login(const Args& a);
Ref cek_saldo(const Args& a);
Ref get_connection_thread(const Args& a);

// Catalogue (catalogue.cpp): lookups, best offers, the catalogue pull.
Ref tarik_produk(const Args& a);
Ref get_produk(const Args& a);
Ref get_terbaik(const Args& a);
Ref get_produk_terbaik(const Args& a);

// Transactions (transactions.cpp): product check, purchase, menu check.
Ref cek(const Args& a);
Ref transaksi(const Args& a);
Ref menu_cek(const Args& a);

// History (history.cpp): history query, previous purchase, the history matcher.
Ref history(const Args& a);
Ref get_previous_transaksi(const Args& a);
Ref get_transaksi_history(const Args& a);

// Threads (threads.cpp): the worker thread and the history wait thread.
Ref worker_init(const Args& a);
Ref worker_run(const Args& a);
Ref waiter_init(const Args& a);
Ref waiter_run(const Args& a);

// A process forked while logins were in flight starts with none (session.cpp).
void forget_logins_in_flight();

}  // namespace deko
