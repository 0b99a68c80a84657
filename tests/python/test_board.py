"""Board: construction, point access, clearing and the text picture."""

import pytest

import vexlor_go as vg


def picture(rows, width):
    """Expected picture from rows given top (highest row) first."""
    body = "".join("|" + "|".join(r) + "|\n" for r in rows)
    return body + " " + "".join(f"{c} " for c in range(width)) + "\n"


class TestConstruction:
    @pytest.mark.parametrize("w, h", [(2, 2), (9, 9), (19, 13), (5, 13), (8, 8), (32, 32), (32, 2), (2, 32)])
    def test_size_and_repr(self, w, h):
        b = vg.Board(w, h)
        assert (b.width(), b.height()) == (w, h)
        assert repr(b) == f"Board(width={w}, height={h})"
        assert all(b.get_piece(c, r) is None for c in range(w) for r in range(h))

    def test_standard(self):
        b = vg.Board.standard()
        assert (b.width(), b.height()) == (19, 19)
        assert repr(b) == "Board(width=19, height=19)"
        assert vg.Board(3, 3).standard().width() == 19

    @pytest.mark.parametrize(
        "w, h, message",
        [
            (1, 5, "Board width must be between 2 and 32"),
            (33, 5, "Board width must be between 2 and 32"),
            (0, 0, "Board width must be between 2 and 32"),
            (40, 40, "Board width must be between 2 and 32"),
            (256 + 9, 9, "Board width must be between 2 and 32"),
            (5, 0, "Board height must be between 2 and 32"),
            (5, 1, "Board height must be between 2 and 32"),
            (5, 33, "Board height must be between 2 and 32"),
            (9, 2**63, "Board height must be between 2 and 32"),
        ],
    )
    def test_size_out_of_range(self, w, h, message):
        with pytest.raises(ValueError) as info:
            vg.Board(w, h)
        assert str(info.value) == message

    @pytest.mark.parametrize("args", [(-2, 5), (5, -1), (2**64, 5)])
    def test_negative_or_huge_size_overflows(self, args):
        with pytest.raises(OverflowError):
            vg.Board(*args)


class TestPicture:
    def test_empty_9x9(self):
        text = str(vg.Board(9, 9))
        lines = text.split("\n")
        assert lines[:9] == ["|.|.|.|.|.|.|.|.|.|"] * 9
        assert lines[9:] == [" 0 1 2 3 4 5 6 7 8 ", ""]

    def test_highest_row_printed_first(self):
        b = vg.Board(3, 3)
        b.set_piece(0, 0, vg.BLACK)
        b.set_piece(2, 2, vg.WHITE)
        assert str(b) == "|.|.|W|\n|.|.|.|\n|B|.|.|\n 0 1 2 \n"

    def test_2x2(self):
        b = vg.Board(2, 2)
        b.set_piece(1, 0, 1)
        assert str(b) == "|.|.|\n|.|B|\n 0 1 \n"

    def test_wide_board_numbers_are_not_padded(self):
        assert str(vg.Board(12, 2)).split("\n")[-2] == " 0 1 2 3 4 5 6 7 8 9 10 11 "

    @pytest.mark.parametrize("w, h", [(4, 3), (13, 5), (32, 32)])
    def test_layout_matches_points(self, w, h):
        b = vg.Board(w, h)
        rows = [["."] * w for _ in range(h)]
        for i in range(0, w * h, 3):
            c, r = i % w, i // w
            colour = vg.BLACK if i % 2 else vg.WHITE
            b.set_piece(c, r, colour)
            rows[r][c] = "B" if colour == vg.BLACK else "W"
        assert str(b) == picture(list(reversed(rows)), w)


class TestPoints:
    @pytest.mark.parametrize("piece", [vg.BLACK, vg.WHITE, None])
    def test_set_then_get(self, piece):
        b = vg.Board(9, 9)
        b.set_piece(3, 4, vg.BLACK)
        assert b.set_piece(3, 4, piece) is None
        assert b.get_piece(3, 4) == piece
        assert b.get_piece(4, 3) is None

    def test_replacing_and_emptying(self):
        b = vg.Board(9, 9)
        b.set_piece(3, 4, 1)
        b.set_piece(3, 4, -1)
        assert b.get_piece(3, 4) == -1
        assert str(b).count("W") == 1 and "B" not in str(b)
        b.set_piece(3, 4, None)
        assert b.get_piece(3, 4) is None
        assert str(b) == str(vg.Board(9, 9))

    def test_results_are_plain_ints(self):
        b = vg.Board(2, 2)
        b.set_piece(0, 0, True)
        assert type(b.get_piece(0, 0)) is int and b.get_piece(0, 0) == 1

    @pytest.mark.parametrize(
        "col, row",
        [(9, 0), (0, 9), (9, 9), (256, 0), (0, 256), (265, 0), (2**32, 0), (0, 2**32 + 1), (2**64 - 1, 2**64 - 1)],
    )
    def test_off_board(self, col, row):
        b = vg.Board(9, 9)
        b.set_piece(0, 0, vg.BLACK)
        before = str(b)
        assert b.get_piece(col, row) is None
        for piece in (vg.BLACK, vg.WHITE, None):
            assert b.set_piece(col, row, piece) is None
        assert str(b) == before

    def test_points_use_row_major_numbering(self):
        # Column beyond the width must not wrap to the next row.
        b = vg.Board(3, 4)
        b.set_piece(0, 1, vg.BLACK)
        assert b.get_piece(3, 0) is None
        b.set_piece(3, 0, vg.WHITE)
        assert b.get_piece(0, 1) == vg.BLACK

    def test_clear(self):
        b = vg.Board(5, 7)
        for c in range(5):
            for r in range(7):
                b.set_piece(c, r, vg.BLACK if (c + r) % 2 else vg.WHITE)
        assert b.clear() is None
        assert (b.width(), b.height()) == (5, 7)
        assert str(b) == str(vg.Board(5, 7))


class TestPieceValidation:
    @pytest.mark.parametrize("piece", [0, 2, -2, 127, -128, False, 5])
    @pytest.mark.parametrize("point", [(0, 0), (9, 9)], ids=["on-board", "off-board"])
    def test_invalid_player_value(self, piece, point):
        b = vg.Board(9, 9)
        b.set_piece(0, 0, vg.WHITE)
        before = str(b)
        with pytest.raises(ValueError) as info:
            b.set_piece(*point, piece)
        assert str(info.value) == "Invalid player value"
        assert str(b) == before

    @pytest.mark.parametrize("piece, exc", [(300, OverflowError), (-129, OverflowError), ("B", TypeError), (1.0, TypeError)])
    def test_conversion_failures(self, piece, exc):
        b = vg.Board(9, 9)
        with pytest.raises(exc) as info:
            b.set_piece(0, 0, piece)
        if exc is TypeError:
            assert "piece" in str(info.value)
        assert b.get_piece(0, 0) is None

    def test_piece_is_required(self):
        with pytest.raises(TypeError):
            vg.Board(9, 9).set_piece(0, 0)


class TestAccess:
    def test_callback_into_board_during_set_piece_is_refused(self):
        b = vg.Board(5, 5)
        seen = []

        class Col:
            def __index__(self):
                for call in (lambda: b.get_piece(0, 0), lambda: b.set_piece(1, 1, 1), b.clear, lambda: str(b)):
                    try:
                        call()
                    except RuntimeError:
                        seen.append("refused")
                return 2

        b.set_piece(Col(), 2, vg.BLACK)
        assert seen == ["refused"] * 4
        assert b.get_piece(2, 2) == vg.BLACK and b.get_piece(1, 1) is None

    def test_refusal_propagates_and_leaves_board_unchanged(self):
        b = vg.Board(5, 5)

        class Col:
            def __index__(self):
                b.clear()
                return 0

        b.set_piece(4, 4, vg.WHITE)
        with pytest.raises(RuntimeError):
            b.set_piece(Col(), 0, vg.BLACK)
        assert b.get_piece(4, 4) == vg.WHITE and b.get_piece(0, 0) is None
        b.set_piece(0, 0, vg.BLACK)  # the access was released
        assert b.get_piece(0, 0) == vg.BLACK

    def test_reading_during_a_read_is_fine(self):
        b = vg.Board(5, 5)
        b.set_piece(1, 1, vg.WHITE)

        class Col:
            def __index__(self):
                return b.width() - 5 + (b.get_piece(1, 1) == vg.WHITE)

        assert b.get_piece(Col(), 1) == vg.WHITE

    def test_writing_during_a_read_is_refused(self):
        b = vg.Board(5, 5)

        class Col:
            def __index__(self):
                b.set_piece(0, 0, vg.BLACK)
                return 0

        with pytest.raises(RuntimeError):
            b.get_piece(Col(), 0)
        assert b.get_piece(0, 0) is None


class TestIndependence:
    def test_board_from_game_is_a_copy(self):
        g = vg.Game(9, 9)
        g.make_move(vg.Move.place(4, 4))
        b = g.board()
        assert type(b) is vg.Board and (b.width(), b.height()) == (9, 9)
        assert b.get_piece(4, 4) == vg.BLACK
        before = str(g)
        b.set_piece(0, 0, vg.WHITE)
        b.set_piece(4, 4, None)
        assert g.get_piece(0, 0) is None and g.get_piece(4, 4) == vg.BLACK
        assert str(g) == before
        b.clear()
        assert g.get_piece(4, 4) == vg.BLACK

    def test_game_moves_do_not_reach_an_earlier_copy(self):
        g = vg.Game(9, 9)
        b = g.board()
        g.make_move(vg.Move.place(0, 0))
        assert b.get_piece(0, 0) is None

    def test_board_picture_matches_game_picture(self):
        g = vg.Game(7, 5)
        for m in [(0, 0), (6, 4), (3, 2)]:
            g.make_move(vg.Move.place(*m))
        assert str(g).split("\n", 1)[1] == str(g.board())
