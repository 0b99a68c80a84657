// One engine value per object, of the word count its board needs.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace vexlor::py {

inline constexpr int kMaxWords = 16;

template <template <int> class T, class Seq>
struct NwVariantOf;
template <template <int> class T, int... I>
struct NwVariantOf<T, std::integer_sequence<int, I...>> {
  using type = std::variant<T<I + 1>...>;
};
// std::variant<T<1>, ..., T<16>>.
template <template <int> class T>
using NwVariant = typename NwVariantOf<T, std::make_integer_sequence<int, kMaxWords>>::type;

// Words needed for a width x height board.
constexpr int words_for_size(unsigned width, unsigned height) { return int((width * height + 63) / 64); }

// Builds alternative NW-1 from make.template operator()<NW>().
template <class V, class F, size_t... I>
V make_nw_variant_impl(int nw, F& make, std::index_sequence<I...>) {
  std::optional<V> out;
  (void)((nw == int(I) + 1 ? (out.emplace(std::in_place_index<I>, make.template operator()<int(I) + 1>()), true)
                           : false) ||
         ...);
  if (!out) throw std::logic_error("NW out of range: " + std::to_string(nw));
  return std::move(*out);
}
template <class V, class F>
V make_nw_variant(int nw, F&& make) {
  return make_nw_variant_impl<V>(nw, make, std::make_index_sequence<std::variant_size_v<V>>{});
}

}  // namespace vexlor::py
