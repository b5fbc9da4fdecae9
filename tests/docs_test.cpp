// The manual page and the README against what they describe.
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"
#include "support.h"

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
    EXPECT_EQ(row.substr(mark.size()), dulk_test::utf8(t.titles[static_cast<size_t>(i)])) << i;
  }
}

namespace {

// The cells of the README table row whose first cell begins with label.
std::vector<std::string> readme_row(const std::string& readme, const std::string& label) {
  std::vector<std::string> cells;
  size_t at = readme.find("\n| " + label);
  if (at == std::string::npos) return cells;
  std::string line = readme.substr(at + 1, readme.find('\n', at + 1) - at - 1);
  size_t p = 1;
  for (size_t bar; (bar = line.find('|', p)) != std::string::npos; p = bar + 1) {
    std::string cell = line.substr(p, bar - p);
    cell.erase(0, cell.find_first_not_of(' '));
    cell.erase(cell.find_last_not_of(' ') + 1);
    cells.push_back(cell);
  }
  return cells;
}

// The paragraph under label in the rendered manual, its blanks and line
// breaks made single spaces.
std::string man_paragraph(const std::string& text, const std::string& label) {
  size_t at = text.find("\n       " + label + "\n");
  if (at == std::string::npos) return "";
  size_t end = text.find("\n\n", at + 1);
  std::string para;
  for (char c : text.substr(at + 1, end - at - 1)) {
    if (c == ' ' || c == '\n') {
      if (!para.empty() && para.back() != ' ') para += ' ';
    } else {
      para += c;
    }
  }
  return para;
}

}  // namespace

// Each way the program can end, run for real: whether the read marks were
// stored and the extract removed must be what README and the manual say.
TEST(E2eDocs, EachEndKeepsWhatTheDocumentsSay) {
  const std::string readme = dulk_test::read_file(dulk_test::source_dir() + "/README.md");
  int status = 0;
  run("command -v groff", status);
  const bool have_groff = status == 0;
  const std::string man =
      have_groff
          ? run("groff -man -Tutf8 -P-c -P-b -P-u '" + dulk_test::source_dir() + "/dulk.1'", status)
          : "";
  struct end_case {
    const char* label;
    void (*end)(dulk_test::pty_session&);
  } cases[] = {
      {"quit key", [](dulk_test::pty_session& s) { s.send("q"); }},
      {"hang-up", [](dulk_test::pty_session& s) { ::kill(s.pid(), SIGHUP); }},
      {"interrupt", [](dulk_test::pty_session& s) { s.send("\x03"); }},
      {"terminate", [](dulk_test::pty_session& s) { ::kill(s.pid(), SIGTERM); }},
      {"failure",  // the pager's copy of a message cannot be written
       [](dulk_test::pty_session& s) {
         ::unlink(dulk::kDisplayCopy);
         ::mkdir(dulk::kDisplayCopy, 0700);
         s.send("\r");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    dulk_test::temp_dir dir;
    dir.write("a.log", "00001/00002 one\n 1\nbody\n");
    ::unlink(dulk::kTmpFile);
    dulk_test::run_options o;
    o.cwd = dir.path();
    o.args = {"-v", "a.log"};
    o.env["DULK_CHARSET"] = "UTF-8";
    dulk_test::pty_session s(o);
    ASSERT_TRUE(s.wait_for("LOG FILE"));
    size_t m = s.mark();
    s.send("\r");  // the pager reads it: marked read, and the extract made
    ASSERT_TRUE(s.wait_for("LOG FILE", 5000, m));
    s.settle(100);
    c.end(s);
    s.wait_exit();
    const bool stored = dir.read("dk_readed") == "a.log 1\n";
    struct stat st;
    const bool removed = ::lstat(dulk::kTmpFile, &st) != 0;
    ::rmdir(dulk::kDisplayCopy);

    std::vector<std::string> row = readme_row(readme, c.label);
    ASSERT_GE(row.size(), 3u) << "README has no row for this end";
    EXPECT_EQ(row[1].starts_with("stored"), stored) << row[1];
    EXPECT_EQ(row[2].starts_with("removed"), removed) << row[2];
    if (have_groff) {
      std::string para = man_paragraph(man, c.label);
      EXPECT_NE(para.find(stored ? "read marks are stored" : "read marks are not stored"),
                std::string::npos)
          << para;
      EXPECT_NE(para.find(removed ? "removed" : "are left"), std::string::npos) << para;
    }
  }
  ::unlink(dulk::kTmpFile);
}
