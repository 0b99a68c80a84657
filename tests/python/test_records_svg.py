"""Board and game pictures: valid XML, drawn correctly by a real renderer
(rsvg-convert): pixel colours at stone centres and on empty points."""

from __future__ import annotations

import xml.etree.ElementTree as ET

import pytest

import vexlor_go as vg
from conftest import ko_game, play
from records_helpers import RSVG, pixel, render_svg

WOOD = (0xDC, 0xB3, 0x5C)


def near(rgb, want, tol=40):
    return all(abs(a - b) <= tol for a, b in zip(rgb, want))


def centre(col, row, height, cell=24, coordinates=True):
    margin = cell * 3 // 2 if coordinates else cell
    return margin + col * cell, margin + (height - 1 - row) * cell


@pytest.mark.parametrize("cls", [vg.Board, vg.Game])
def test_svg_is_xml_and_shows_in_notebooks(cls):
    obj = cls(9, 7)
    obj.set_piece(1, 2, vg.BLACK)
    svg = obj._repr_svg_()
    root = ET.fromstring(svg)
    assert root.tag.endswith("svg") and root.get("width") == str(2 * 36 + 8 * 24)
    assert svg == obj.to_svg()
    assert obj.to_svg(cell=8, coordinates=False) != svg
    with pytest.raises(ValueError, match="between 8 and 128"):
        obj.to_svg(cell=7)


@pytest.mark.skipif(RSVG is None, reason="rsvg-convert not installed (Debian package librsvg2-bin)")
@pytest.mark.parametrize("w, h, coordinates", [(9, 9, True), (19, 19, False), (7, 5, True), (25, 3, True)])
def test_rendered_colours(w, h, coordinates):
    board = vg.Board(w, h)
    placed = {(0, 0): vg.BLACK, (w - 1, h - 1): vg.WHITE, (w // 2, 1): vg.WHITE, (1, h - 1): vg.BLACK}
    for (c, r), p in placed.items():
        board.set_piece(c, r, p)
    width, height, rows = render_svg(board.to_svg(coordinates=coordinates))
    assert (width, height) == (2 * (36 if coordinates else 24) + (w - 1) * 24,
                               2 * (36 if coordinates else 24) + (h - 1) * 24)
    for r in range(h):
        for c in range(w):
            x, y = centre(c, r, h, coordinates=coordinates)
            piece = placed.get((c, r))
            if piece == vg.BLACK:
                assert near(pixel(rows, x + 4, y + 4), (0, 0, 0)), (c, r)
            elif piece == vg.WHITE:
                assert near(pixel(rows, x + 4, y + 4), (255, 255, 255)), (c, r)
            else:  # the wood between the grid lines next to the point
                assert near(pixel(rows, x + 6, y + 6), WOOD), (c, r)


@pytest.mark.skipif(RSVG is None, reason="rsvg-convert not installed (Debian package librsvg2-bin)")
def test_game_marks_last_move_and_ko():
    g = ko_game()  # Black just captured at (2, 1); ko point (1, 1)
    svg = g.to_svg()
    _, _, rows = render_svg(svg)
    x, y = centre(2, 1, 4)
    ring = 24 // 5
    assert near(pixel(rows, x + ring, y), (255, 255, 255))  # the white ring on the last black stone
    assert near(pixel(rows, x + 6, y + 6), (0, 0, 0))
    kx, ky = centre(1, 1, 4)
    assert near(pixel(rows, kx + 6, ky - 3), (0, 0, 0), tol=90)  # the ko square's edge
    play(g, None)
    assert "<rect x=" not in g.to_svg()  # a pass clears the ko point and the last stone
