// The log scanner over arbitrary bytes, with any mix of options, then the
// thread order.  The trailing bytes of the input choose the options; the
// newsgroup of "-g" is cut out of the log itself so that it sometimes occurs.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = (dulk_fuzz::init_process(), true);
  (void)once;
  FuzzedDataProvider in(data, size);
  uint8_t opts = in.ConsumeIntegral<uint8_t>();
  uint16_t group_at = in.ConsumeIntegral<uint16_t>();
  uint8_t group_len = in.ConsumeIntegral<uint8_t>();
  std::string log = in.ConsumeRemainingBytesAsString();

  int link_mode = opts & 1;
  bool with_group = (opts & 2) != 0;
  int capacity = (opts & 4) != 0 ? 1 + (opts >> 4) : 5000;

  std::string group;
  if (with_group && !log.empty()) {
    size_t at = group_at % log.size();
    group = log.substr(at, group_len % 40);
  }
  if (!dulk_fuzz::scan(log, capacity, link_mode, with_group ? &group : nullptr)) return 0;
  dulk_fuzz::check_table(static_cast<long>(log.size()));
  if (dulk::ent_cnt > 0 && dulk::tentp[0] == nullptr) dulk::make_tentp();
  dulk_fuzz::check_thread_order();
  // A second build is harmless: roots keep depth 0, so the order is the same.
  std::vector<dulk::title_ent*> first(dulk::tentp, dulk::tentp + dulk::ent_cnt);
  dulk::make_tentp();
  for (int i = 0; i < dulk::ent_cnt; i++)
    FUZZ_CHECK(dulk::tentp[i] == first[static_cast<size_t>(i)]);
  return 0;
}
