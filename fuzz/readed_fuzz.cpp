// Loading and storing the read flags over an arbitrary "dk_readed", in a
// directory of the fuzzer's own.  Besides crashes it looks for lost data:
// the lines of other logs must come through a store unchanged and in order,
// and flags stored must load back the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "fuzz_util.h"

namespace {

// The path, a blank, and flags; flags hold no blank, so "a b 0101" is the
// line of the path "a b", never of "a".
bool belongs(const std::string& line, const std::string& path) {
  return line.size() > path.size() && line.compare(0, path.size(), path) == 0 &&
         line[path.size()] == ' ' && line.find(' ', path.size() + 1) == std::string::npos;
}

// The file a store should leave: every line of the log replaced by the new
// one (appended when there was none), every other line kept.
std::string expected_store(const std::vector<std::string>& lines, size_t n, const std::string& path,
                           const std::string& fresh) {
  std::string out;
  bool matched = false;
  for (size_t i = 0; i < n; i++) {
    if (belongs(lines[i], path)) {
      out += fresh + "\n";
      matched = true;
    } else {
      out += lines[i] + "\n";
    }
  }
  if (!matched) out += fresh + "\n";
  return out;
}

void fill_table(int count, int capacity) {
  dulk::reset_state();
  dulk::max_ent = capacity;
  if (!dulk::alloc_tables()) std::abort();
  for (int i = 0; i < count; i++) dulk::tent[i].title = dulk::title_store("t");
  dulk::ent_cnt = count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    dulk_fuzz::init_process();
    if (::chdir(dulk_fuzz::work_dir().c_str()) != 0) std::abort();
    return true;
  }();
  (void)once;
  FuzzedDataProvider in(data, size);
  uint8_t opts = in.ConsumeIntegral<uint8_t>();
  int count = in.ConsumeIntegralInRange<int>(0, 300);
  uint64_t flag_bits = in.ConsumeIntegral<uint64_t>();
  size_t path_cut = in.ConsumeIntegral<uint8_t>();
  std::string file = in.ConsumeRemainingBytesAsString();

  // The path: often the first word of the file, so that its line is found.
  std::string path;
  if ((opts & 1) != 0) {
    path = file.substr(0, std::min(file.find_first_of(" \n"), path_cut % 64));
  } else {
    path = std::string("log") + static_cast<char>('a' + path_cut % 4);
  }
  path.resize(std::strlen(path.c_str()));  // a command-line word has no NUL
  if (path.empty()) path = "x";

  ::unlink(dulk::kReadedTmp);
  if ((opts & 2) != 0) {
    ::unlink(dulk::kReadedFile);
  } else {
    dulk_fuzz::write_whole(dulk::kReadedFile, file);
  }
  if ((opts & 4) != 0) dulk_fuzz::write_whole(dulk::kReadedTmp, "left over\n");

  int capacity = count + ((opts >> 3) & 3);
  fill_table(count, capacity);
  try {
    dulk::set_readed(dulk::tent, path.c_str());
  } catch (const dulk_fuzz::exit_called&) {
    FUZZ_CHECK(false);  // loading never ends the run in a writable directory
  }
  std::string before = dulk_fuzz::read_whole(dulk::kReadedFile);

  // Flags for the store: the loaded ones, with some turned over.
  std::string fresh = path + " ";
  for (int i = 0; i < count; i++) {
    if ((flag_bits >> (i % 64)) & 1)
      dulk::tent[i].readed = static_cast<int8_t>(!dulk::tent[i].readed);
    FUZZ_CHECK(dulk::tent[i].readed == 0 || dulk::tent[i].readed == 1);
    fresh += dulk::tent[i].readed ? '1' : '0';
  }
  try {
    dulk::save_readed(dulk::tent, path.c_str(), count);
  } catch (const dulk_fuzz::exit_called&) {
    FUZZ_CHECK(false);
  }
  FUZZ_CHECK(::access(dulk::kReadedTmp, F_OK) != 0);
  std::string after = dulk_fuzz::read_whole(dulk::kReadedFile);

  // A path with a line break, or a file with a NUL byte, cannot be told
  // apart line by line; only the absence of crashes is asked of them.
  bool plain =
      path.find_first_of("\n\r") == std::string::npos && before.find('\0') == std::string::npos;
  if (!plain) return 0;
  bool open_tail = false;
  std::vector<std::string> lines = dulk_test::split_lines(before, &open_tail);
  std::string with_tail = expected_store(lines, lines.size(), path, fresh);
  std::string without_tail =
      expected_store(lines, open_tail ? lines.size() - 1 : lines.size(), path, fresh);
  FUZZ_CHECK(after == with_tail || after == without_tail);

  // What was stored loads back the same.
  std::vector<int8_t> stored(static_cast<size_t>(count));
  for (int i = 0; i < count; i++) stored[static_cast<size_t>(i)] = dulk::tent[i].readed;
  fill_table(count, capacity);
  dulk::set_readed(dulk::tent, path.c_str());
  for (int i = 0; i < count; i++)
    FUZZ_CHECK(dulk::tent[i].readed == stored[static_cast<size_t>(i)]);
  return 0;
}
