// The methods each subsystem contributes to the module's classes: each subsystem's file holds its
// rows beside their bodies, and module.cpp joins the tables into the three classes.
#pragma once
#include "binder.h"

namespace deko {

extern const MethodTable kSessionMethods;      // session.cpp
extern const MethodTable kCatalogueMethods;    // catalogue.cpp
extern const MethodTable kTransactionMethods;  // transactions.cpp
extern const MethodTable kHistoryMethods;      // history.cpp
extern const MethodTable kThreadMethods;       // threads.cpp

// A process forked while logins were in flight starts with none (session.cpp).
void forget_logins_in_flight();

}  // namespace deko
