/* On a busy machine other work only ever adds time, so the best of several
 * rounds is the figure to compare: register with
 * ->ComputeStatistics("best", best_of) and run with repetitions. */
#pragma once

#include <algorithm>
#include <vector>

inline double best_of(const std::vector<double> &rounds) {
  return *std::min_element(rounds.begin(), rounds.end());
}
