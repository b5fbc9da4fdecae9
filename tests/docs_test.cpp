// The manual page and the README against what they describe.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dulk.h"
#include "iconv_util.h"
#include "pty_driver.h"
#include "scan_util.h"

namespace {

// Runs a shell command; its standard output and standard error together.
std::string run(const std::string& cmd, int& status) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  status = pclose(p);
  return out;
}

std::string utf8_of(const std::string& sjis) {
  std::string out;
  return dulk_test::iconv_convert(sjis, "UTF-8", "CP932", out) ? out : std::string();
}

}  // namespace

TEST(Docs, ManPageRendersWithoutWarnings) {
  int status = 0;
  run("command -v groff", status);
  if (status != 0) GTEST_SKIP() << "groff is not installed";
  std::string page = dulk_test::source_dir() + "/dulk.1";
  std::string warnings = run("groff -man -Tutf8 -ww -z '" + page + "'", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(warnings, "");
  std::string text = run("groff -man -Tutf8 -P-c -P-b -P-u '" + page + "'", status);
  for (const char* section : {"SYNOPSIS", "OPTIONS", "KEYS", "ENVIRONMENT", "FILES", "EXIT STATUS",
                              "DULK_CHARSET", "/tmp/dulk_tmp"}) {
    EXPECT_NE(text.find(section), std::string::npos) << section;
  }
}

// The screen shown in the README is the first page of the sample log: the
// same titles in the same order, after the header and one empty row.
TEST(Docs, ReadmeScreenIsTheSampleFirstPage) {
  std::string readme = dulk_test::read_file(dulk_test::source_dir() + "/README.md");
  std::string sample = dulk_test::read_file(dulk_test::source_dir() + "/examples/sample.log");
  ASSERT_FALSE(readme.empty());
  ASSERT_FALSE(sample.empty());
  if (utf8_of("\x82\xa0").empty()) GTEST_SKIP() << "no CP932 converter in this C library";

  size_t at = readme.find("LOG FILE : examples/sample.log");
  ASSERT_NE(at, std::string::npos);
  size_t end = readme.find("```", at);
  ASSERT_NE(end, std::string::npos);
  std::vector<std::string> rows;
  size_t p = at;
  while (p < end) {
    size_t nl = readme.find('\n', p);
    rows.push_back(readme.substr(p, nl - p));
    p = nl + 1;
  }
  ASSERT_EQ(rows.size(), 22u) << "header, empty row, 20 titles";
  EXPECT_EQ(rows[1], "");

  auto t = dulk_test::scan_log(sample);
  ASSERT_GE(t.count, 41);
  EXPECT_NE(rows[0].find("PAGE : 1/" + std::to_string((t.count - 1) / 20 + 1)), std::string::npos);
  const std::string star = "\xe2\x98\x86";  // ☆ in UTF-8
  for (int i = 0; i < 20; i++) {
    std::string row = rows[static_cast<size_t>(i) + 2];
    std::string mark = row.compare(0, star.size(), star) == 0 ? star : "  ";
    ASSERT_EQ(row.compare(0, mark.size(), mark), 0) << row;
    EXPECT_EQ(row.substr(mark.size()), utf8_of(t.titles[static_cast<size_t>(i)])) << i;
  }
}
