// Inputs the fuzz targets found faults with, kept so the faults stay fixed.
#include <gtest/gtest.h>

#include <string>

#include "dulk.h"
#include "scan_util.h"

using dulk_test::scan_log;

// An empty line handed out by the scanner (the blank line that ends a news
// header block) was trimmed of a carriage return by looking at the byte
// before it: pointer arithmetic below the line's start.  clang's sanitizer
// reports it (the fuzz smoke test replays the same input from the seeds);
// every build must still see the article.
TEST(FuzzRegress, EmptyLineEndingAHeaderBlock) {
  struct row {
    const char* name;
    std::string log;
    std::string title;
  } rows[] = {
      {"blank line ends the block", "Subject: x\n\nbody\n", "00000: x"},
      {"blank line after a carriage return", "Subject: x\r\nStatus: RO\r\n\nbody\n", "00000: x"},
      {"empty lines only after the title", "Subject: y\n\n\n\n", "00000: y"},
  };
  for (const auto& r : rows) {
    auto t = scan_log(r.log);
    ASSERT_EQ(t.count, 1) << r.name;
    EXPECT_EQ(t.titles[0], r.title) << r.name;
  }
}
