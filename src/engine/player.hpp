// Side to move / stone colour: Black = 1, White = -1.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vexlor {

enum class Player : int8_t { Black = 1, White = -1 };

constexpr Player opposite(Player p) { return p == Player::Black ? Player::White : Player::Black; }
// 0 for Black, 1 for White: the index of per-colour tables.
constexpr unsigned colour_index(Player p) { return p == Player::Black ? 0 : 1; }
constexpr std::string_view player_name(Player p) { return p == Player::Black ? "Black" : "White"; }
// Byte used for the player in hashed streams.
constexpr uint8_t player_hash_byte(Player p) { return p == Player::Black ? 0x01 : 0xFF; }
// 1 -> Black, -1 -> White, anything else -> no player.
constexpr std::optional<Player> player_from_int(long v) {
  if (v == 1) return Player::Black;
  if (v == -1) return Player::White;
  return std::nullopt;
}

}  // namespace vexlor
