// Message extract and the reply and post scripts.
#include "dulk.h"

namespace dulk {

void write_one_log(FILE* log, title_ent* table, const char* name, int mode, int index) {
  (void)log;
  (void)table;
  (void)name;
  (void)mode;
  (void)index;
}

}  // namespace dulk
