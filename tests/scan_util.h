// Scans a log built from bytes in a test, with the globals reset first.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "dulk.h"

namespace dulk_test {

struct scanned {
  int count = 0;
  std::vector<std::string> titles;
};

// Resets the globals, sets max_ent, scans bytes with the meter off.
inline scanned scan_log(std::string_view bytes, int capacity = 5000) {
  dulk::reset_state();
  dulk::max_ent = capacity;
  dulk::vf = 1;
  dulk::alloc_tables();
  FILE* fp = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), fp);
  std::fflush(fp);
  std::rewind(fp);
  scanned r;
  dulk::read_title(fp, dulk::tent, &r.count);
  dulk::ent_cnt = r.count;
  for (int i = 0; i < r.count; i++) r.titles.emplace_back(dulk::tent[i].title);
  dulk::log_fp = fp;  // left open for extracts; tests close nothing
  return r;
}

}  // namespace dulk_test
