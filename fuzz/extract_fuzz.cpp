// The message extract in all three modes for every message of an arbitrary
// log, with arbitrary signature file contents and settings.  Layout of an
// input: the log, then the signature bytes, then the option bytes at the end
// (so that a plain log is a useful seed).  The signature's first bytes are
// also a pattern for the text search, held against the extracts.
#include <cstring>
#include <vector>

#include "fuzz_util.h"

namespace {

bool ends_with(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void set_or_unset(const char* name, bool set, const char* value) {
  if (set) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = (dulk_fuzz::init_process(), true);
  (void)once;
  if (size < 2) return 0;
  uint8_t opts = data[size - 1];
  size_t sign_len = data[size - 2];
  size -= 2;
  if (sign_len > size) sign_len = size;
  std::string_view sign(reinterpret_cast<const char*>(data) + size - sign_len, sign_len);
  std::string_view log(reinterpret_cast<const char*>(data), size - sign_len);

  const std::string& dir = dulk_fuzz::work_dir();
  std::string sign_path = dir + "/sign";
  std::string out_path = dir + "/out";
  dulk_fuzz::write_whole(sign_path, sign);
  // SIGN: unset, the file, or a file that does not exist.
  set_or_unset("SIGN", (opts & 3) != 0,
               (opts & 3) == 3 ? (dir + "/none").c_str() : sign_path.c_str());
  set_or_unset("HANDLE", (opts & 4) != 0, (opts & 8) != 0 ? "" : "handle");
  set_or_unset("COMMENT", (opts & 16) != 0, "");
  set_or_unset("\x83\x6b\x83\x79", (opts & 32) != 0, "");  // ヌペ

  if (!dulk_fuzz::scan(log, 5000, (opts >> 6) & 1, nullptr)) return 0;
  if (dulk::link == 1 && dulk::ent_cnt > 0 && dulk::tentp[0] == nullptr) dulk::make_tentp();
  long log_size = static_cast<long>(log.size());
  for (int i = 0; i < dulk::ent_cnt; i++) {
    const dulk::title_ent* e = dulk::link ? dulk::tentp[i] : &dulk::tent[i];
    if (e->kind != 0) continue;  // headings are never opened
    for (int mode = dulk::kPlain; mode <= dulk::kSay; mode++) {
      try {
        dulk::write_one_log(dulk::log_fp, dulk::tent, out_path.c_str(), mode, i);
      } catch (const dulk_fuzz::exit_called&) {
        FUZZ_CHECK(false);  // nothing here may end the run
      }
      std::string out = dulk_fuzz::read_whole(out_path);
      if (mode == dulk::kPlain) {
        // The title line, then no more than the log holds after the previous
        // title (a news article's header block stands above its Subject: line).
        std::string head = std::string(e->title) + "\n";
        const long floor = e > dulk::tent ? (e - 1)->offset : 0;
        FUZZ_CHECK(out.compare(0, head.size(), head) == 0);
        FUZZ_CHECK(static_cast<long>(out.size() - head.size()) <= log_size - floor);
      } else {
        FUZZ_CHECK(ends_with(out, "/POST\n"));
      }
    }
  }

  // The text search finds a pattern (the first bytes of the signature, as a
  // prompt could give them) in the messages whose extract holds it.
  std::string_view pattern = sign.substr(0, 4);
  if (pattern.empty() || pattern.find_first_of(std::string_view("\n\r\0", 3)) != pattern.npos)
    return 0;
  std::vector<uint8_t> hits =
      dulk::message_hits(dulk::log_fp, dulk::tent, dulk::ent_cnt, pattern, {});
  FUZZ_CHECK(hits.size() == static_cast<size_t>(dulk::ent_cnt));
  int link = dulk::link;
  dulk::link = 0;
  for (int i = 0; i < dulk::ent_cnt; i++) {
    bool held = false;
    if (dulk::tent[i].kind == 0) {
      dulk::write_one_log(dulk::log_fp, dulk::tent, out_path.c_str(), dulk::kPlain, i);
      std::string out = dulk_fuzz::read_whole(out_path);
      std::string_view text(out);
      for (size_t at = 0, nl; !held && (nl = text.find('\n', at)) != text.npos; at = nl + 1) {
        held = dulk::sjis_find(text.substr(at, nl - at), pattern) != text.npos;
      }
    }
    FUZZ_CHECK(hits[static_cast<size_t>(i)] == (held ? 1 : 0));
  }
  dulk::link = link;
  return 0;
}
