// Subject decoding over arbitrary text: the encoded-word decoder, then the
// JIS to Shift-JIS conversion, each into a buffer of exactly the size its
// caller is promised to need, so any overrun is caught.
#include <cstring>
#include <memory>

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int start_state = data[0] & 1;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  text.resize(std::strlen(text.c_str()));  // the decoders see a C string

  std::unique_ptr<char[]> jis(new char[text.size() + 1]);
  FUZZ_CHECK(dulk::chg_iso2022(text.c_str(), jis.get()) == jis.get());
  size_t jis_len = std::strlen(jis.get());
  FUZZ_CHECK(jis_len <= text.size());  // the scanner decodes in place

  std::unique_ptr<char[]> sjis(new char[jis_len + 2]);
  int state = start_state;
  FUZZ_CHECK(dulk::jis2sjis(jis.get(), sjis.get(), &state) == sjis.get());
  FUZZ_CHECK(state == 0 || state == 1);
  size_t sjis_len = std::strlen(sjis.get());
  if (start_state == 0) {
    FUZZ_CHECK(sjis_len <= jis_len);
    // Text without an escape is plain ASCII mode from end to end.
    if (std::memchr(jis.get(), '\033', jis_len) == nullptr) {
      FUZZ_CHECK(std::strcmp(sjis.get(), jis.get()) == 0);
      FUZZ_CHECK(state == 0);
    }
  }
  FUZZ_CHECK(dulk::IsEscExist(text.c_str()) == (text.find("\033$B") != std::string::npos));
  return 0;
}
