// The root properties that decide how a record is replayed: size, komi,
// handicap, side to play, result, character set.
//
// Strictness: a value that cannot be read (KM[abc], HA[-1], PL[x]) is an
// SgfError in a strict read and is ignored with a note in a lenient one. A
// size that cannot be played (SZ[0], SZ[40], SZ[19:0]) and a record of another
// game (GM other than 1) are errors in both.
//
// Komi quirks corrected (each leaves a note):
// - komi written as a whole number of 100 or more that exceeds the board's
//   point count is taken as hundredths (the Fox server writes KM[650] for 6.5);
// - a record without KM whose root has a numeric KO value takes it as komi
//   (some exports write KO[7.5]; KO is otherwise a move property without value).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/player.hpp"
#include "record_error.hpp"
#include "sgf_tree.hpp"
#include "sgf_values.hpp"

namespace vexlor::records {

struct GameInfo {
  uint8_t width = 19;  // SZ absent means 19 x 19
  uint8_t height = 19;
  float komi = 0.0f;  // 0 when absent
  bool komi_given = false;
  long long handicap = 0;
  GameResult result;
  std::optional<Player> to_play;  // the root's PL
  std::string charset;            // the CA value; empty when absent (read as UTF-8)
  std::vector<std::string> notes;
};

// "B" or "W" (either case), else nothing.
inline std::optional<Player> read_colour(std::string_view raw) {
  const PlainValue pv(raw);
  const std::string_view v = trim(pv.get());
  if (v == "B" || v == "b") return Player::Black;
  if (v == "W" || v == "w") return Player::White;
  return std::nullopt;
}

// Reads the root of game `game`; `name` prefixes the messages.
inline GameInfo read_game_info(const SgfTree& t, size_t game, bool strict, std::string_view name = "record") {
  GameInfo info;
  const uint32_t root = t.root(game);
  const std::string prefix = std::string(name) + ": ";
  auto first_value = [&](std::string_view id) -> std::optional<std::pair<std::string_view, size_t>> {
    const auto p = t.find(root, id);
    if (!p || t.value_count(*p) == 0) return std::nullopt;
    return std::make_pair(t.raw_value(*p, 0), t.value_offset(*p, 0));
  };
  auto shown = [](std::string_view raw) { return shown_value(trim(raw)); };
  auto unreadable = [&](const std::string& what, size_t offset) {
    if (strict) throw SgfError(prefix + what, offset);
    info.notes.push_back(what + " at byte " + std::to_string(offset) + ": ignored");
  };

  if (const auto gm = first_value("GM")) {
    const auto v = read_number(gm->first);
    if (v && *v != 1) throw SgfError(prefix + "GM[" + shown(gm->first) + "] is not a Go record", gm->second);
  }
  if (const auto sz = first_value("SZ")) {
    std::tie(info.width, info.height) = read_board_size(sz->first, sz->second, prefix);
  }
  const double area = double(info.width) * info.height;
  std::optional<std::pair<std::string_view, size_t>> km = first_value("KM");
  std::string km_name = "KM";
  if (!km) {
    if (const auto ko = first_value("KO"); ko && read_real(ko->first)) {
      km = ko;
      km_name = "KO";
      info.notes.push_back("komi read from KO[" + shown(ko->first) + "]");
    }
  }
  if (km) {
    const auto v = read_real(km->first);
    if (!v) {
      unreadable("komi " + km_name + "[" + shown(km->first) + "] is not a number", km->second);
    } else if (std::fabs(*v) > 3.0e38) {
      unreadable("komi " + km_name + "[" + shown(km->first) + "] out of range", km->second);
    } else {
      double k = *v;
      const std::string_view digits = trim(km->first);
      const bool whole = digits.find_first_not_of("+-0123456789") == std::string_view::npos;
      if (whole && std::fabs(k) >= 100 && std::fabs(k) > area) {
        k /= 100.0;
        info.notes.push_back("komi " + km_name + "[" + shown(km->first) + "] read as hundredths");
      }
      info.komi = float(k);
      info.komi_given = true;
    }
  }
  if (const auto ha = first_value("HA")) {
    const auto v = read_number(ha->first);
    if (!v || *v < 0)
      unreadable("handicap HA[" + shown(ha->first) + "] is not a stone count", ha->second);
    else
      info.handicap = *v;
  }
  if (const auto pl = first_value("PL")) {
    info.to_play = read_colour(pl->first);
    if (!info.to_play) unreadable("PL[" + shown(pl->first) + "] names no player", pl->second);
  }
  if (const auto re = first_value("RE")) info.result = read_result(re->first);
  if (const auto ca = first_value("CA")) info.charset = std::string(trim(unescape_value(ca->first)));
  return info;
}

}  // namespace vexlor::records
