// Result of a finished game; the codes index the reward tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "player.hpp"

namespace vexlor {

enum class GameOutcome : uint8_t { BlackWin = 0, WhiteWin = 1, Draw = 2 };

constexpr std::string_view outcome_text(GameOutcome o) {
  switch (o) {
    case GameOutcome::BlackWin:
      return "Black wins";
    case GameOutcome::WhiteWin:
      return "White wins";
    default:
      return "Draw";
  }
}
constexpr std::string_view outcome_debug_name(GameOutcome o) {
  switch (o) {
    case GameOutcome::BlackWin:
      return "BlackWin";
    case GameOutcome::WhiteWin:
      return "WhiteWin";
    default:
      return "Draw";
  }
}
constexpr std::optional<Player> outcome_winner(GameOutcome o) {
  if (o == GameOutcome::BlackWin) return Player::Black;
  if (o == GameOutcome::WhiteWin) return Player::White;
  return std::nullopt;
}
constexpr bool outcome_is_draw(GameOutcome o) { return o == GameOutcome::Draw; }
constexpr int outcome_code(GameOutcome o) { return int(o); }

// Reward from Black's side: 1 for a win, -1 for a loss, 0 for a draw or a game not over.
constexpr double black_reward(std::optional<GameOutcome> o) {
  if (!o) return 0.0;
  return *o == GameOutcome::BlackWin ? 1.0 : *o == GameOutcome::WhiteWin ? -1.0 : 0.0;
}

}  // namespace vexlor
