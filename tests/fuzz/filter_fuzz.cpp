// Filter preparation, selection and the two pattern searches: the searches
// agree with a literal transcription of the backtracking search (no memory
// of failed pairs) on short inputs, and their work stays within a polynomial
// bound on every input.
#include <cstdlib>

#include "base/memory.h"
#include "fuzz_util.h"
#include "listing/filter.h"
#include "pattern_reference.h"

namespace {

bool ascii(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = split_input(data, size, 2);
  const std::string& p = parts[0];
  const std::string t = parts.size() > 1 ? parts[1] : "";
  const uint64_t bound = (p.size() + 1) * (t.size() + 1) * kPatternAlternatives * (p.size() + t.size() + 2) + 64;
  for (int both = 0; both < 2; ++both) {
    const uint32_t got = both ? pattern_overlap(p.c_str(), p.size(), t.c_str(), t.size())
                              : pattern_match(p.c_str(), p.size(), t.c_str(), t.size());
    if (pattern_search_work() > bound) std::abort();
    // The literal search decodes bytes; compare where bytes are code points.
    if (p.size() <= 40 && t.size() <= 40 && ascii(p) && ascii(t) && p.find('\0') == std::string::npos) {
      bool lost = false;
      const int expect = literal_search(p, t, both != 0, 200000, &lost);
      if (expect >= 0 && static_cast<uint32_t>(expect) != got) std::abort();
    }
  }
  ScopedPool pool;
  const char* prepared = filter_prepare(pool.alloc(), p.c_str());
  if (prepared) {
    const char* filters[] = {prepared, nullptr};
    const std::string rel = t + "\\";
    filter_selects(filters, rel.c_str());
    filter_may_descend(filters, rel.c_str(), (t + "\\**").c_str());
  }
  return 0;
}
