#include "glue.h"

namespace deko {

void add_history_methods(Methods&) {}

}  // namespace deko
