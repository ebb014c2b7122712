#include "glue.h"

namespace deko {

void add_transaction_methods(Methods&) {}

}  // namespace deko
