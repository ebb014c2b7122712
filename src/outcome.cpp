// A record's outcome (see outcome.h).
#include "outcome.h"

#include <algorithm>
#include <vector>

#include "names.h"

namespace deko {

using namespace names;

namespace {

// The purchases open on this thread (nearly always none or one).
thread_local std::vector<std::shared_ptr<OpenPurchase::State>> t_open;

std::shared_ptr<OpenPurchase::State> open_for(PyObject* record) {
    for (const auto& open : t_open)
        if (open->record.get() == record) return open;
    return nullptr;
}

}  // namespace

void write_status(PyObject* record, Obj status) {
    set_attr(record, kStatus, status);
    if (auto open = open_for(record)) open->status_written = true;
}

void write_outcome(PyObject* record, Obj status, Obj pesan) {
    write_status(record, status);
    set_attr(record, kPesan, pesan);
}

void write_field(PyObject* record, const Name& field, Obj value) { set_attr(record, field, value); }

OpenPurchase::OpenPurchase(PyObject* record) : state_(open_for(record)) {
    if (state_) return;
    state_ = std::make_shared<State>();
    state_->record = Ref::borrow(record);
    t_open.push_back(state_);
    outermost_ = true;
}

OpenPurchase::~OpenPurchase() {
    if (!outermost_) return;
    auto mine = std::find(t_open.begin(), t_open.end(), state_);
    if (mine != t_open.end()) t_open.erase(mine);
}

}  // namespace deko
