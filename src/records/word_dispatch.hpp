// Runs f.template operator()<NW>() with the word count of a width x height
// board, for code that meets board sizes only at run time (records, pictures).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/geometry.hpp"

namespace vexlor::records {

template <class F, int... I>
decltype(auto) with_word_count_impl(int nw, F& f, std::integer_sequence<int, I...>) {
  using R = decltype(f.template operator()<1>());
  if constexpr (std::is_void_v<R>) {
    const bool found = ((nw == I + 1 ? (f.template operator()<I + 1>(), true) : false) || ...);
    if (!found) throw std::invalid_argument("board size needs " + std::to_string(nw) + " words (1 to 16)");
  } else {
    std::optional<R> out;
    const bool found = ((nw == I + 1 ? (out.emplace(f.template operator()<I + 1>()), true) : false) || ...);
    if (!found) throw std::invalid_argument("board size needs " + std::to_string(nw) + " words (1 to 16)");
    return R(std::move(*out));
  }
}

// The board must have 1 to 1024 points; throws std::invalid_argument otherwise.
template <class F>
decltype(auto) with_word_count(unsigned width, unsigned height, F&& f) {
  return with_word_count_impl(words_for(width * height), f, std::make_integer_sequence<int, 16>{});
}

}  // namespace vexlor::records
