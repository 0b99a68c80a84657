// Board and game pictures as SVG text: wood, grid, star points, coordinates,
// stones; on a game also the last placed stone (a ring in the other colour)
// and the ko point (a square). Whole-pixel geometry and fixed formatting, so
// the same position always gives the same bytes.
//
// Coordinates follow the Go convention: columns lettered from the left
// skipping I (A..H, J..Z, then AA..AG past 25 columns), rows numbered from 1
// at the bottom (engine row 0).
#pragma once

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/board.hpp"
#include "engine/game.hpp"
#include "engine/point.hpp"

namespace vexlor::render {

struct SvgOptions {
  unsigned cell = 24;       // pixels from one line to the next, 8 to 128
  bool coordinates = true;  // letters and numbers around the grid
};

struct SvgMarks {
  std::optional<Point> last_move;  // ringed stone
  std::optional<Point> ko_point;   // square on an empty point
};

// Column label of column c.
inline std::string column_label(unsigned c) {
  static const char* kLetters = "ABCDEFGHJKLMNOPQRSTUVWXYZ";
  if (c < 25) return std::string(1, kLetters[c]);
  return std::string("A") + kLetters[c - 25];
}

// Star points of one side of length n: the points 3 (boards of 13 and up) or
// 2 (7 to 12) from each edge; empty below 7.
inline std::vector<unsigned> star_lines(unsigned n) {
  if (n < 7) return {};
  const unsigned e = n >= 13 ? 3 : 2;
  return {e, n - 1 - e};
}

// The star points of a width x height board as (col, row): the four corner
// points, the centre when both sides are odd, and the side midpoints along a
// side of 15 or more whose length is odd.
inline std::vector<Point> star_points(unsigned width, unsigned height) {
  std::vector<Point> out;
  const std::vector<unsigned> cols = star_lines(width), rows = star_lines(height);
  for (unsigned c : cols)
    for (unsigned r : rows) out.push_back(Point{uint8_t(c), uint8_t(r)});
  const bool mid_col = width % 2 == 1 && width >= 7, mid_row = height % 2 == 1 && height >= 7;
  if (mid_col && mid_row && !cols.empty() && !rows.empty())
    out.push_back(Point{uint8_t(width / 2), uint8_t(height / 2)});
  if (mid_col && width >= 15)
    for (unsigned r : rows) out.push_back(Point{uint8_t(width / 2), uint8_t(r)});
  if (mid_row && height >= 15)
    for (unsigned c : cols) out.push_back(Point{uint8_t(c), uint8_t(height / 2)});
  std::sort(out.begin(), out.end(), [](Point a, Point b) { return a.row != b.row ? a.row < b.row : a.col < b.col; });
  return out;
}

template <int NW>
std::string board_svg(const Board<NW>& b, const SvgOptions& opt = {}, const SvgMarks& marks = {}) {
  if (opt.cell < 8 || opt.cell > 128) throw std::invalid_argument("cell size must be between 8 and 128 pixels");
  const unsigned w = b.width, h = b.height, cell = opt.cell;
  const unsigned margin = opt.coordinates ? cell * 3 / 2 : cell;
  const unsigned width_px = 2 * margin + (w - 1) * cell, height_px = 2 * margin + (h - 1) * cell;
  auto x_of = [&](unsigned c) { return std::to_string(margin + c * cell); };
  auto y_of = [&](unsigned r) { return std::to_string(margin + (h - 1 - r) * cell); };
  const std::string radius = std::to_string(cell / 2 - 1);

  std::string s;
  s.reserve(2048 + size_t(w) * h * 64);
  s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width_px) + "\" height=\"" +
       std::to_string(height_px) + "\" viewBox=\"0 0 " + std::to_string(width_px) + " " + std::to_string(height_px) +
       "\">\n";
  s += "<rect width=\"" + std::to_string(width_px) + "\" height=\"" + std::to_string(height_px) +
       "\" fill=\"#dcb35c\"/>\n";
  s += "<path stroke=\"#000\" stroke-width=\"1\" d=\"";
  for (unsigned c = 0; c < w; ++c) s += "M" + x_of(c) + " " + y_of(h - 1) + "V" + y_of(0);
  for (unsigned r = 0; r < h; ++r) s += "M" + x_of(0) + " " + y_of(r) + "H" + x_of(w - 1);
  s += "\"/>\n";
  const std::string star_r = std::to_string(std::max(2u, cell / 8));
  for (const Point p : star_points(w, h))
    s += "<circle cx=\"" + x_of(p.col) + "\" cy=\"" + y_of(p.row) + "\" r=\"" + star_r + "\" fill=\"#000\"/>\n";
  if (opt.coordinates) {
    const unsigned font = cell * 11 / 24 > 6 ? cell * 11 / 24 : 6;
    const unsigned near = margin - cell * 9 / 10;
    s += "<g font-family=\"sans-serif\" font-size=\"" + std::to_string(font) +
         "\" text-anchor=\"middle\" fill=\"#000\">\n";
    const unsigned lift = font / 3;  // centres the digits on their line
    for (unsigned c = 0; c < w; ++c) {
      const std::string label = column_label(c);
      s += "<text x=\"" + x_of(c) + "\" y=\"" + std::to_string(near + lift) + "\">" + label + "</text>";
      s += "<text x=\"" + x_of(c) + "\" y=\"" + std::to_string(margin + (h - 1) * cell + cell * 9 / 10 + lift) + "\">" +
           label + "</text>\n";
    }
    for (unsigned r = 0; r < h; ++r) {
      const std::string label = std::to_string(r + 1);
      const std::string y = std::to_string(margin + (h - 1 - r) * cell + lift);
      s += "<text x=\"" + std::to_string(near) + "\" y=\"" + y + "\">" + label + "</text>";
      s += "<text x=\"" + std::to_string(margin + (w - 1) * cell + cell * 9 / 10) + "\" y=\"" + y + "\">" + label +
           "</text>\n";
    }
    s += "</g>\n";
  }
  for (unsigned r = 0; r < h; ++r)
    for (unsigned c = 0; c < w; ++c) {
      const auto piece = b.get_piece(c, r);
      if (!piece) continue;
      s += "<circle cx=\"" + x_of(c) + "\" cy=\"" + y_of(r) + "\" r=\"" + radius + "\"";
      s += *piece == Player::Black ? " fill=\"#000\"/>\n" : " fill=\"#fff\" stroke=\"#000\" stroke-width=\"1\"/>\n";
    }
  if (marks.last_move && marks.last_move->col < w && marks.last_move->row < h) {
    const auto piece = b.get_piece(marks.last_move->col, marks.last_move->row);
    if (piece) {
      s += "<circle cx=\"" + x_of(marks.last_move->col) + "\" cy=\"" + y_of(marks.last_move->row) + "\" r=\"" +
           std::to_string(std::max(3u, cell / 5)) + "\" fill=\"none\" stroke=\"" +
           (*piece == Player::Black ? "#fff" : "#000") + "\" stroke-width=\"2\"/>\n";
    }
  }
  if (marks.ko_point && marks.ko_point->col < w && marks.ko_point->row < h) {
    const unsigned half = std::max(3u, cell / 4);
    s += "<rect x=\"" + std::to_string(margin + marks.ko_point->col * cell - half) + "\" y=\"" +
         std::to_string(margin + (h - 1 - marks.ko_point->row) * cell - half) + "\" width=\"" +
         std::to_string(2 * half) + "\" height=\"" + std::to_string(2 * half) +
         "\" fill=\"none\" stroke=\"#000\" stroke-width=\"2\"/>\n";
  }
  s += "</svg>\n";
  return s;
}

// The game's board with its last placed stone (when the last move was a
// placement) and its ko point marked.
template <int NW>
std::string game_svg(const Game<NW>& g, const SvgOptions& opt = {}) {
  SvgMarks marks;
  if (!g.history().empty() && !g.history().back().move.is_pass())
    marks.last_move = Point{g.history().back().move.col, g.history().back().move.row};
  marks.ko_point = g.ko_point();
  return board_svg(g.board(), opt, marks);
}

}  // namespace vexlor::render
