// Makes jansson's allocations fail on purpose, for sweeps over every
// allocation a request makes: the Nth alone, or the Nth and every later one
// (memory that stays short once it runs out).
#pragma once

#include <jansson.h>

#include <cstddef>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>

namespace pts_test {

enum class FailMode { kOnce, kFromNOn };

inline const char *fail_mode_name(FailMode mode) {
  return mode == FailMode::kOnce ? "Once" : "FromNOn";
}
inline void PrintTo(FailMode mode, std::ostream *os) { *os << fail_mode_name(mode); }

// Names a sweep's test for its parameters (a scenario with a name, a mode).
struct SweepName {
  template <typename Info>
  std::string operator()(const Info &info) const {
    return std::string(std::get<0>(info.param).name) + fail_mode_name(std::get<1>(info.param));
  }
};

// Counts jansson's allocations (1-based) and fails per the mode while it
// lives; one at a time.
class FailingAlloc {
 public:
  FailingAlloc(size_t fail_at, FailMode mode) {
    count_ = 0;
    fail_at_ = fail_at;
    mode_ = mode;
    json_set_alloc_funcs(allocate, std::free);
  }
  ~FailingAlloc() { json_set_alloc_funcs(std::malloc, std::free); }
  FailingAlloc(const FailingAlloc &) = delete;
  FailingAlloc &operator=(const FailingAlloc &) = delete;

  // Whether allocation number fail_at was reached: if not, the run made
  // fewer allocations and the sweep is complete.
  bool hit() const { return count_ >= fail_at_; }

 private:
  static void *allocate(size_t size) {
    ++count_;
    bool fail = mode_ == FailMode::kOnce ? count_ == fail_at_ : count_ >= fail_at_;
    return fail ? nullptr : std::malloc(size);
  }

  static inline size_t count_ = 0;
  static inline size_t fail_at_ = 0;
  static inline FailMode mode_ = FailMode::kOnce;
};

}  // namespace pts_test
