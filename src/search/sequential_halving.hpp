// Sequential halving at a Gumbel root: the visit count an action must have to
// be eligible at each simulation of a search (Danihelka et al. 2022, as mctx's
// get_sequence_of_considered_visits lays it out).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vexlor::search {

// out[i] = visit count of the eligible actions at simulation i (0-based), for
// `considered` actions considered and a budget of `simulations`. Each phase
// gives every remaining action max(1, simulations / (ceil(log2 m) * considered))
// more visits, then halves the actions considered (down to 2).
inline void considered_visit_sequence(uint32_t considered, uint32_t simulations, std::vector<uint32_t>& out) {
  out.clear();
  if (considered <= 1) {
    for (uint32_t i = 0; i < simulations; ++i) out.push_back(i);
    return;
  }
  uint32_t log2max = 0;
  while ((uint64_t(1) << log2max) < considered) ++log2max;
  uint32_t visits = 0;  // every remaining action has the same count at the start of a phase
  uint32_t num = considered;
  while (out.size() < simulations) {
    const uint32_t extra = std::max<uint32_t>(1, simulations / (log2max * num));
    for (uint32_t k = 0; k < extra && out.size() < simulations; ++k, ++visits)
      for (uint32_t i = 0; i < num && out.size() < simulations; ++i) out.push_back(visits);
    num = std::max<uint32_t>(2, num / 2);
  }
}

}  // namespace vexlor::search
