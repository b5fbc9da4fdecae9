// Which character set the terminal speaks, from the settings and the
// locale, and what the user typed in it as the screen shows it.
#include <langinfo.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dulk.h"
#include "sjis.h"

namespace dulk {

std::string for_screen(std::string_view typed) {
  std::string out;
  std::string part;
  size_t bad = 0;
  while (!from_terminal(typed, part, &bad)) {
    out += part;
    out += '?';
    if (bad >= typed.size()) return out;
    typed.remove_prefix(bad + utf8_char_len(typed.substr(bad)));  // past it
  }
  return out + part;
}

namespace {

// The charset part of a locale name ("ja_JP.UTF-8@x" gives "UTF-8").
std::string codeset_of_name(const char* locale) {
  std::string_view l = locale != nullptr ? locale : "";
  size_t dot = l.find('.');
  if (dot == std::string_view::npos) return "";
  l.remove_prefix(dot + 1);
  return std::string(l.substr(0, l.find('@')));
}

// The charset the locale names for the terminal, as the C library sees it;
// from the name alone when the locale is not installed.
std::string locale_codeset() {
  const char* was = std::setlocale(LC_CTYPE, nullptr);
  const std::string old = was != nullptr ? was : "C";
  std::string codeset;
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    codeset = ::nl_langinfo(CODESET);
  } else {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* v = std::getenv(var);
      if (v != nullptr && *v != '\0') {
        codeset = codeset_of_name(v);
        break;
      }
    }
  }
  // The program itself works on bytes in the C library's own locale.
  std::setlocale(LC_CTYPE, old.c_str());
  return codeset;
}

}  // namespace

// DULK_CHARSET, when set (even empty), says what the terminal shows;
// otherwise the locale does.
void out_init_charset() {
  const char* name = std::getenv("DULK_CHARSET");
  out_set_charset(charset_from_name(name != nullptr ? name : locale_codeset().c_str()));
}

}  // namespace dulk
