// Builds a capture log the way a long series of sessions with the service
// would leave it: a log-in banner and menus, then forums read message by
// message, home-party boards, the mail inbox and mail lists, saved news
// articles, member and data lists.  About half the messages answer an
// earlier one; a forum often carries one long back-and-forth, so some reply
// chains run hundreds deep.
#include "loggen.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "sjis.h"

namespace dulk_bench {

namespace sjis = dulk::sjis;

namespace {

// splitmix64: small, fast, and the same everywhere.
class rng {
 public:
  explicit rng(uint64_t seed) : s_(seed) {}
  uint64_t next() {
    uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  int range(int lo, int hi) { return lo + below(hi - lo + 1); }
  bool chance(int percent) { return below(100) < percent; }

 private:
  uint64_t s_;
};

// Shift-JIS words the service and its members use.
constexpr std::string_view kWords[] = {
    "\x89\xef\x8b\x63\x8e\xba",                  // 会議室
    "\x8f\x91\x82\xab\x8d\x9e\x82\xdd",          // 書き込み
    "\x83\x70\x83\x5c\x83\x52\x83\x93",          // パソコン
    "\x92\xca\x90\x4d",                          // 通信
    "\x83\x74\x83\x48\x81\x5b\x83\x89\x83\x80",  // フォーラム
    "\x90\x56\x92\x85",                          // 新着
    "\x93\x8a\x8d\x65",                          // 投稿
    "\x95\xd4\x90\x4d",                          // 返信
    "\x8e\x47\x92\x6b",                          // 雑談
    "\x8f\xee\x95\xf1",                          // 情報
    "\x8e\xbf\x96\xe2",                          // 質問
    "\x89\xf1\x93\x9a",                          // 回答
    "\x8c\x66\x8e\xa6\x94\xc2",                  // 掲示板
    "\x93\x64\x8e\x71\x83\x81\x81\x5b\x83\x8b",  // 電子メール
    "\xba\xd2\xdd\xc4",                          // ｺﾒﾝﾄ (half-width)
};
constexpr std::string_view kPhrases[] = {
    "\x82\xa0\x82\xe8\x82\xaa\x82\xc6\x82\xa4\x82\xb2\x82\xb4\x82\xa2\x82\xdc\x82\xb7\x81"
    "\x42",  // ありがとうございます。
    "\x82\xe6\x82\xeb\x82\xb5\x82\xad\x82\xa8\x8a\xe8\x82\xa2\x82\xb5\x82\xdc\x82\xb7\x81"
    "\x42",                                              // よろしくお願いします。
    "\x82\xc6\x82\xb1\x82\xeb\x82\xc5",                  // ところで
    "\x90\xe6\x93\xfa\x82\xcc",                          // 先日の
    "\x8c\x8f\x82\xc5\x82\xb7\x82\xaa",                  // 件ですが
    "\x8a\x6d\x82\xa9\x82\xc9",                          // 確かに
    "\x82\xbb\x82\xa4\x82\xc5\x82\xb7\x82\xcb\x81\x42",  // そうですね。
    "\x82\xc5\x82\xb7\x81\x42",                          // です。
    "\x82\xdc\x82\xb7\x81\x42",                          // ます。
};
using sjis::kAngle;
using sjis::kConferenceHeading;
using sjis::kDataName;
using sjis::kGreater;
using sjis::kHomeParty;
using sjis::kIdList;
using sjis::kInbox;
using sjis::kWeekly;
constexpr std::string_view kComment =
    "\x82\xd6\x82\xcc\x83\x52\x83\x81\x83\x93\x83\x67";                    // へのコメント
constexpr std::string_view kCommand = "\x83\x52\x83\x7d\x83\x93\x83\x68";  // コマンド
constexpr std::string_view kMenu = "\x83\x81\x83\x6a\x83\x85\x81\x5b";     // メニュー
constexpr std::string_view kEnd = "\x8f\x49\x97\xb9";                      // 終了

constexpr const char* kHandles[] = {"TAROU", "HANAKO", "KEN-1", "MIYUKI", "SYSOP", "NORI",
                                    "YAMA",  "KAZU",   "AKI",   "TOMO",   "SATO",  "MAMI"};
constexpr const char* kNewsGroups[] = {"fj.comp.misc", "fj.rec.travel", "fj.sci.math",
                                       "japan.comp.lang", "fj.news.misc"};

// JIS X 0208 row and cell (0x21..0x7e each) to Shift-JIS.
void put_jis_as_sjis(std::string& out, int j1, int j2) {
  int s1 = ((j1 + 1) >> 1) + (j1 <= 0x5e ? 0x70 : 0xb0);
  int s2 = j2 + ((j1 & 1) != 0 ? (j2 >= 0x60 ? 0x20 : 0x1f) : 0x7e);
  out.push_back(static_cast<char>(s1));
  out.push_back(static_cast<char>(s2));
}

// A random JIS character: hiragana, katakana or a common kanji.
std::pair<int, int> random_jis(rng& r) {
  int k = r.below(10);
  if (k < 4) return {0x24, r.range(0x21, 0x73)};
  if (k < 6) return {0x25, r.range(0x21, 0x76)};
  return {r.range(0x30, 0x4e), r.range(0x21, 0x7e)};
}

class generator {
 public:
  generator(FILE* out, uint64_t seed, const loggen_shape& shape)
      : out_(out), r_(seed), shape_(shape) {
    for (int g = 0; g < kGroups; g++) forums_[g].number = r_.range(1, 4000);
  }

  loggen_stats run(uint64_t size) {
    while (st_.bytes < size) session();
    flush();
    return st_;
  }

 private:
  static constexpr int kGroups = 40;

  struct forum {
    int number = 0;           // last message number given
    std::vector<int> recent;  // numbers of recent messages
    int chain_tip = 0;        // the message a long discussion last reached
  };

  // ---- output ----
  void line(std::string_view text) {
    buf_.append(text);
    if (crlf_) buf_.push_back('\r');
    buf_.push_back('\n');
    st_.bytes += text.size() + (crlf_ ? 2 : 1);
    st_.lines++;
    if (buf_.size() > (1u << 20)) flush();
  }
  void title(std::string_view text) {
    st_.title_lines++;
    if (shape_.crlf >= 0) crlf_ = r_.chance(shape_.crlf);
    line(text);
  }
  void flush() {
    std::fwrite(buf_.data(), 1, buf_.size(), out_);
    buf_.clear();
  }

  // ---- text ----
  std::string handle() { return kHandles[r_.below(std::size(kHandles))]; }
  std::string words(int max_bytes) {
    std::string s;
    while (static_cast<int>(s.size()) < max_bytes - 12) {
      int k = r_.below(10);
      if (k < 3) {
        s += kWords[r_.below(std::size(kWords))];
      } else if (k < 5) {
        s += kPhrases[r_.below(std::size(kPhrases))];
      } else if (k < 9) {
        for (int n = r_.range(1, 4); n > 0; n--) {
          auto [a, b] = random_jis(r_);
          put_jis_as_sjis(s, a, b);
        }
      } else {
        static constexpr std::string_view kAscii[] = {
            "OK", " ", "PC-9801", "modem", "2400bps", "(^_^)", "MS-DOS", "!", "?", "..."};
        s += kAscii[r_.below(std::size(kAscii))];
      }
    }
    return s;
  }
  // Cuts text to at most n bytes without splitting a double-byte character,
  // then pads it with blanks to n.
  static std::string fit(std::string s, size_t n) {
    size_t i = 0;
    while (i < s.size()) {
      size_t w = dulk::opens_pair(static_cast<unsigned char>(s[i])) ? 2 : 1;
      if (i + w > n) break;
      i += w;
    }
    s.resize(i);
    s.resize(n, ' ');
    return s;
  }
  std::string date() {
    char d[32];
    std::snprintf(d, sizeof d, "%02d/%02d %02d:%02d", r_.range(1, 12), r_.range(1, 28),
                  r_.range(0, 23), r_.range(0, 59));
    return d;
  }
  void body(bool quoting) {
    int n = r_.chance(10) ? r_.range(20, 80) : r_.range(2, 14);
    for (int i = 0; i < n; i++) {
      if (quoting && i < 6 && r_.chance(50)) {
        line(std::string(kGreater) + words(r_.range(20, 70)));
      } else if (r_.chance(12)) {
        line("");
      } else {
        std::string t = words(r_.range(10, 76));
        if (r_.chance(1)) t.push_back('\r');  // a stray carriage return
        line(t);
      }
    }
  }
  void prompt() {
    static constexpr std::string_view kPrompts[] = {
        "(E)nd (N)ext (R)eply (P)rev > ", "\x94\xd4\x8d\x86\x82\xdc\x82\xbd\x82\xcd",  // 番号または
        "=> ", "Hit any key ", ""};
    std::string p(kPrompts[r_.below(std::size(kPrompts))]);
    if (p.size() > 1 && p[0] == '\x94') p += std::string(kCommand) + " > ";
    line(p);
  }

  // Picks the parent a reply answers, or 0 for a new topic.  A forum often
  // carries one long discussion whose tip moves on with each answer.
  int parent_for(forum& f) {
    if (f.recent.empty() || !r_.chance(50)) return 0;
    st_.replies++;
    if (f.chain_tip != 0 && r_.chance(60)) return f.chain_tip;
    return f.recent[static_cast<size_t>(r_.below(static_cast<int>(f.recent.size())))];
  }
  void remember(forum& f, int num, int parent) {
    if (f.recent.size() >= static_cast<size_t>(shape_.reach)) f.recent.erase(f.recent.begin());
    f.recent.push_back(num);
    if (parent != 0 && parent == f.chain_tip) f.chain_tip = num;
    if (f.chain_tip == 0 || r_.chance(1)) f.chain_tip = num;
  }

  // ---- sessions ----
  void session() {
    if (shape_.crlf < 0) crlf_ = r_.chance(15);
    line("");
    line("*** Welcome. Last access " + date() + " ***");
    line(std::string(kMenu) + "  1.FORUM  2.HP  3.MAIL  4.NEWS  5.LIBRARY  0." + std::string(kEnd));
    for (int n = r_.range(2, 6); n > 0; n--) {
      // News takes the weight of its knob; the other visits keep theirs.
      int k = r_.below(85 + shape_.news);
      if (k >= 77 + shape_.news) {
        k -= shape_.news - 15;
      } else if (k >= 77) {
        k = 77;
      }
      if (k < 45) {
        forum_visit();
      } else if (k < 55) {
        escape_board();
      } else if (k < 65) {
        home_party();
      } else if (k < 72) {
        inbox();
      } else if (k < 77) {
        mail_list();
      } else if (k < 92) {
        news();
      } else if (k < 95) {
        id_list();
      } else if (k < 98) {
        data_list();
      } else {
        weekly();
      }
      prompt();
    }
    line("*** " + std::string(kEnd) + " ***");
  }

  void forum_visit() {
    title(std::string(kAngle) + words(24) + "\x81\x84");                     // ＜...＞
    if (r_.chance(15)) title(std::string(kAngle) + words(20) + "\x81\x84");  // empty forum
    if (shape_.rooms > 0) {
      for (int n = r_.chance(10) ? r_.range(50, 300) : r_.range(3, 30); n > 0; n--) {
        spread_message();
        if (r_.chance(20)) prompt();
      }
      return;
    }
    int rooms = r_.range(1, 3);
    for (int room = 0; room < rooms; room++) {
      int g = r_.below(kGroups);
      forum& f = forums_[g];
      if (r_.chance(70))
        title(std::string(kConferenceHeading) + " " + std::to_string(g + 1) + " " + words(20));
      if (r_.chance(10)) title("No." + std::to_string(g + 1) + " " + words(16));
      bool indented = r_.chance(20);
      for (int n = r_.chance(10) ? r_.range(50, 300) : r_.range(3, 30); n > 0; n--) {
        forum_message(f, g + 1, indented);
        if (r_.chance(20)) prompt();
      }
    }
  }

  // One message numbered from the number all rooms share: a reply goes to
  // the room of the message it answers, a new topic to any room.
  void spread_message() {
    int num = ++spread_number_;
    if (num > 99999) num = spread_number_ = 1;
    int parent = 0;
    int room = r_.below(shape_.rooms);
    if (!spread_recent_.empty() && r_.chance(50)) {
      auto [p, p_room] =
          spread_recent_[static_cast<size_t>(r_.below(static_cast<int>(spread_recent_.size())))];
      parent = p;
      room = p_room;
      st_.replies++;
    }
    write_forum_message(num, parent, room + 1, r_.chance(20));
    if (spread_recent_.size() >= static_cast<size_t>(shape_.reach)) {
      spread_recent_[spread_next_] = {num, room};
      spread_next_ = (spread_next_ + 1) % spread_recent_.size();
    } else {
      spread_recent_.push_back({num, room});
    }
  }

  void forum_message(forum& f, int group, bool indented) {
    int num = ++f.number;
    if (num > 99999) num = f.number = 1;
    int parent = parent_for(f);
    write_forum_message(num, parent, group, indented);
    remember(f, num, parent);
  }

  void write_forum_message(int num, int parent, int group, bool indented) {
    char head[64];
    std::snprintf(head, sizeof head, "%s%05d/%05d %-8s ", indented ? "  " : "", num,
                  num + r_.range(0, 40), handle().c_str());
    title(std::string(head) + words(r_.range(16, 44)));
    // Follow-up line: the room's number at column 1, the parent at 23.
    char follow[64];
    std::snprintf(follow, sizeof follow, " %02d %-8s%s", group, handle().c_str(), date().c_str());
    std::string fl = follow;
    fl.resize(23, ' ');
    if (parent != 0) {
      char p[16];
      std::snprintf(p, sizeof p, "%05d", parent);
      line(fl + p + " " + std::string(kComment));
    } else if (r_.chance(50)) {
      line(fl + "00000");
    } else {
      line(fl.substr(0, 17));
    }
    body(parent != 0);
  }

  // Boards whose titles come after an escape sequence: the marker line,
  // the title line with the number in parentheses, the reply line.
  void escape_board() {
    static constexpr std::string_view kBoards[] = {"SX", "MAC", "\x8e\x47\x92\x6b", "PC"};
    int b = r_.below(std::size(kBoards));
    forum& f = forums_[kGroups - 1 - b];
    for (int n = r_.range(3, 25); n > 0; n--) {
      int num = ++f.number;
      if (num > 99999) num = f.number = 1;
      int parent = parent_for(f);
      title(r_.chance(50) ? "\033[7m" : "\033[1;33m");
      char t[48];
      std::snprintf(t, sizeof t, "(%d) %-8s ", num, handle().c_str());
      line(std::string(kBoards[b]) + t + words(r_.range(14, 40)));
      if (parent != 0) {
        line(" <" + std::to_string(parent) + " " + std::string(kComment));
      } else {
        line("\033[0m " + date());
      }
      body(parent != 0);
      remember(f, num, parent);
    }
  }

  void home_party() {
    title(std::string(kHomeParty) + " " + std::to_string(r_.range(1, 999)) + " " + words(24));
    bool indented = r_.chance(30);
    int num = r_.range(1, 300);
    for (int n = r_.range(2, 20); n > 0; n--) {
      char h[64];
      std::string name = handle();
      name.resize(14, ' ');
      std::snprintf(h, sizeof h, "%s%04d [%s] ", indented ? "   " : "", num++, name.c_str());
      title(std::string(h) + words(r_.range(10, 40)));
      body(r_.chance(40));
    }
  }

  void inbox() {
    for (int n = r_.range(1, 8); n > 0; n--) {
      char h[48];
      std::snprintf(h, sizeof h, " %04d From: %s ", ++mail_no_, handle().c_str());
      title(std::string(kInbox) + h + words(24));
      line("Date: " + date());
      body(r_.chance(30));
    }
  }

  // A mail list: subject in the first 40 bytes, the date at 40.
  void mail_list() {
    title(std::string("No.  From     ") + std::string(kComment));
    for (int n = r_.range(3, 30); n > 0; n--) {
      char h[48];
      std::snprintf(h, sizeof h, "%04d %-8s ", r_.range(1, 9999), handle().c_str());
      std::string l = fit(std::string(h) + words(26), 40);
      char d[32];
      std::snprintf(d, sizeof d, "%02d/%02d/%02d %02d:%02d", r_.range(90, 99), r_.range(1, 12),
                    r_.range(1, 28), r_.range(0, 23), r_.range(0, 59));
      title(l + d + " " + std::to_string(r_.range(1, 200)) + "L");
    }
  }

  static void base64(std::string& out, std::string_view in) {
    static constexpr char kTab[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
      uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
      for (int k = 18; k >= 0; k -= 6) out.push_back(kTab[(v >> k) & 63]);
    }
    if (i + 1 == in.size()) {
      uint32_t v = uint8_t(in[i]) << 16;
      out += {kTab[v >> 18], kTab[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
      uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
      out += {kTab[v >> 18], kTab[(v >> 12) & 63], kTab[(v >> 6) & 63], '='};
    }
  }

  // A subject in MIME-encoded ISO-2022-JP, or plain ASCII.
  std::string subject() {
    if (r_.chance(25)) return "Question about " + std::string(r_.chance(50) ? "modems" : "fonts");
    std::string jis = "\033$B";
    for (int n = r_.range(3, 12); n > 0; n--) {
      auto [a, b] = random_jis(r_);
      jis.push_back(static_cast<char>(a));
      jis.push_back(static_cast<char>(b));
    }
    jis += "\033(B";
    std::string s = "=?ISO-2022-JP?B?";
    base64(s, jis);
    return s + "?=";
  }

  std::string message_id(uint64_t n) {
    static constexpr const char* kHosts[] = {"ntt.jp", "Kyoto-U.AC.JP", "sony.co.jp", "nec.co.jp"};
    return "<" + std::to_string(n) + "." + std::to_string(r_.range(100, 999)) + "@" +
           kHosts[n % std::size(kHosts)] + ">";
  }

  void news() {
    int group = r_.below(std::size(kNewsGroups));
    for (int n = r_.range(1, 6); n > 0; n--) {
      st_.articles++;
      uint64_t id = ++article_;
      std::string mid = message_id(id);
      int article_no = ++news_no_[group];
      line("Path: news.ntt.jp!wnoc-tyo-news!" + std::string(r_.chance(50) ? "kogwy" : "sranha"));
      line("From: " + handle() + "@" + "example.or.jp");
      line(std::string("Newsgroups: ") + kNewsGroups[group]);
      std::string xref =
          "Xref: news.ntt.jp " + std::string(kNewsGroups[group]) + ":" + std::to_string(article_no);
      if (r_.chance(20))
        xref += std::string(" ") + kNewsGroups[(group + 1) % 5] + ":" +
                std::to_string(r_.range(1, 20000));
      bool xref_before = r_.chance(15);
      if (xref_before) line(xref);
      std::string subj = subject();
      bool reply = !news_ids_.empty() && r_.chance(shape_.refs);
      if (reply) st_.replies++;
      title("Subject: " + std::string(reply ? "Re: " : "") + subj);
      line("Date: " + date() + " JST");
      line("Message-ID: " + mid);
      if (reply) {
        // The parent is the last id; a long thread folds its References.
        size_t depth = static_cast<size_t>(r_.range(1, 6));
        std::vector<std::string> refs;
        for (size_t i = 0; i < depth && i < news_ids_.size(); i++) {
          refs.push_back(
              news_ids_[news_ids_.size() - 1 -
                        static_cast<size_t>(r_.below(static_cast<int>(news_ids_.size())))]);
        }
        std::string l = "References: ";
        for (size_t i = 0; i < refs.size(); i++) {
          if (i > 0 && r_.chance(40)) {
            line(l);
            l = "\t";
          } else if (i > 0) {
            l += " ";
          }
          l += refs[i];
        }
        line(l);
      }
      line("Organization: " + words(30));
      if (!xref_before) line(xref);
      line("Lines: " + std::to_string(r_.range(3, 40)));
      line("");
      body(reply);
      if (news_ids_.size() >= 500) news_ids_.erase(news_ids_.begin());
      news_ids_.push_back(mid);
    }
  }

  void id_list() {
    title(std::string(r_.chance(50) ? "" : "  ") + std::string(kIdList) + "       " + words(20));
    for (int n = r_.range(3, 20); n > 0; n--) {
      char l[64];
      std::snprintf(l, sizeof l, "%4d  %s%05d   ", n, "PCS", r_.range(10000, 99999));
      line(std::string(l) + handle());
    }
  }

  void data_list() {
    title(std::string(r_.chance(50) ? "" : "  ") + std::string(kDataName) + "    " + words(20));
    for (int n = r_.range(3, 15); n > 0; n--) {
      line(std::to_string(n) + ". " + words(30) + ".LZH  " + std::to_string(r_.range(1, 900)) +
           "KB");
    }
  }

  void weekly() {
    title(std::string(kWeekly) + " " + date());
    body(false);
  }

  FILE* out_;
  rng r_;
  loggen_shape shape_;
  loggen_stats st_;
  std::string buf_;
  bool crlf_ = false;
  std::array<forum, kGroups> forums_{};
  int mail_no_ = 0;
  uint64_t article_ = 0;
  std::array<int, 5> news_no_{};
  std::vector<std::string> news_ids_;
  int spread_number_ = 0;
  std::vector<std::pair<int, int>> spread_recent_;  // number and room
  size_t spread_next_ = 0;
};

}  // namespace

loggen_stats generate_log(FILE* out, uint64_t seed, uint64_t size, const loggen_shape& shape) {
  generator g(out, seed, shape);
  return g.run(size);
}

}  // namespace dulk_bench
