"""Game records: reading SGF (quirks, encodings, collections), records into
games (strict and lenient), games into SGF, and hostile input."""

from __future__ import annotations

import random
import tracemalloc

import pytest

import vexlor_go as vg
from conftest import QUICK, play, random_game

GR = vg.GameRecord


def one(text, **kw):
    records = GR.parse(text, **kw)
    assert len(records) == 1
    return records[0]


def stones(game):
    return {(c, r): game.get_piece(c, r) for r in range(game.height()) for c in range(game.width())
            if game.get_piece(c, r) is not None}


# --- reading ---------------------------------------------------------------------------------


def test_root_properties_and_main_line():
    r = one("(;FF[4]GM[1]SZ[9]KM[6.5]HA[0]RU[Japanese]RE[W+2.5]PB[Black \\] one]PW[W\\\\two]"
            "BR[3d]WR[5k]DT[2024-01-02]EV[Cup]GN[g1]C[hello]XX[kept];B[ee](;W[cc];B[gg])(;W[dd]))")
    assert (r.width, r.height, r.komi, r.handicap, r.result, r.winner) == (9, 9, 6.5, 0, "W+2.5", -1)
    root = r.root_properties()
    assert root["PB"] == ["Black ] one"] and root["PW"] == ["W\\two"] and root["XX"] == ["kept"]
    for key in ("BR", "WR", "DT", "EV", "GN", "C", "RU"):
        assert key in root
    assert [list(n) for n in r.main_line()] == [list(root), ["B"], ["W"], ["B"]]
    assert [(c, m.col(), m.row()) for c, m in r.moves()] == [(1, 4, 4), (-1, 2, 6), (1, 6, 2)]
    assert r.move_count == 3


@pytest.mark.parametrize("sz, shape", [("", (19, 19)), ("SZ[13]", (13, 13)), ("SZ[19:13]", (19, 13)),
                                       ("SZ[ 7 : 5 ]", (7, 5))])
def test_board_sizes(sz, shape):
    r = one(f"(;GM[1]{sz};B[aa])")
    assert (r.width, r.height) == shape
    g = r.to_game()
    assert (g.width(), g.height()) == shape
    assert g.get_piece(0, shape[1] - 1) == vg.BLACK  # SGF row a is the top row


def test_passes_setup_and_point_lists():
    r = one("(;SZ[19]AB[aa:cc][ss]AW[dd];B[];W[dc];B[tt];W[ab])")
    black, white = r.setup()
    assert sorted(black) == sorted([(c, 18 - r_) for c in range(3) for r_ in range(3)] + [(18, 0)])
    assert white == [(3, 15)]
    moves = r.moves()
    assert moves[0][1].is_pass() and moves[2][1].is_pass() and not moves[1][1].is_pass()
    _, report = r.replay(strict=False)
    assert report["stopped"]["reason"].endswith("the point is occupied")
    assert report["moves_played"] == 3


def test_tt_is_a_point_on_larger_boards():
    r = one("(;SZ[21];B[tt])")
    assert not r.moves()[0][1].is_pass()


def test_whitespace_newlines_bom_and_soft_breaks():
    text = "\ufeff  junk before\n( \n ; GM [1] SZ\n[5]\nC[line\\\none\\\r\ntwo]\n ;\nB [aa] )\n"
    r = one(text.encode("utf-8"))
    assert r.root_properties()["C"] == ["lineonetwo"]
    assert r.moves()[0][1].col() == 0


def test_old_formats_long_identifiers():
    r = one("(;GaMe[1]SiZe[9]AddBlack[aa]PlayerBlack[x];Black[bb])")
    assert set(r.root_properties()) == {"GM", "SZ", "AB", "PB"}
    assert r.move_count == 1


def test_collection_of_games_and_variations():
    records = GR.parse(b"(;SZ[9];B[aa](;W[bb];B[cc])(;W[cc]))\n(;SZ[13]KM[5.5];B[dd])", name="coll.sgf")
    assert [(r.width, r.game_index, r.name) for r in records] == [(9, 0, "coll.sgf game 1"),
                                                                   (13, 1, "coll.sgf game 2")]
    assert records[0].move_count == 3 and records[1].komi == 5.5
    assert b"(;W[cc])" in records[0].to_sgf()
    assert b"(;W[cc])" not in records[0].to_sgf(main_line_only=True)


@pytest.mark.parametrize("charset, codec", [("GB2312", "gb18030"), ("GBK", "gb18030"), ("Big5", "cp950"),
                                            ("Shift_JIS", "cp932"), ("EUC-KR", "cp949"),
                                            ("ISO-8859-1", "latin-1"), ("Latin-1", "latin-1"),
                                            ("UTF-8", "utf-8"), ("", "utf-8")])
def test_legacy_charsets(charset, codec):
    name = {"gb18030": "柯洁", "cp950": "柯潔", "cp932": "井山裕太", "cp949": "이세돌", "latin-1": "Müller",
            "utf-8": "Ōhashi"}[codec]
    ca = f"CA[{charset}]".encode() if charset else b""
    r = one(b"(;GM[1]" + ca + b"PB[" + name.encode(codec) + b"];B[aa])")
    assert r.root_properties()["PB"] == [name]
    assert r.charset == codec


def test_undecodable_bytes_are_replaced():
    r = one(b"(;CA[UTF-8]PB[a\xff\xfeb]C[\x80];B[aa])")
    assert r.root_properties()["PB"] == ["a\ufffd\ufffdb"]
    assert r.to_game().get_piece(0, 18) == vg.BLACK


def test_str_is_utf8_text_whatever_ca_says():
    r = one("(;CA[GB2312]PB[柯洁];B[aa])")
    assert r.root_properties()["PB"] == ["柯洁"]


def test_sources_path_and_errors(tmp_path):
    p = tmp_path / "g.sgf"
    p.write_bytes(b"(;SZ[9];B[ee])")
    assert one(p).name == str(p)
    with pytest.raises(OSError):
        GR.parse(tmp_path / "missing.sgf")
    with pytest.raises(ValueError, match="pass a pathlib.Path"):
        GR.parse(str(p))
    with pytest.raises(TypeError, match="os.PathLike"):
        GR.parse(12)


def test_unknown_properties_survive_a_round_trip():
    text = b"(;FF[4]GM[1]SZ[9]ZZ[odd \\] value][two]MULTI[a:b];B[ee]TR[aa][bb]LB[cc:x];W[]QQ[])"
    r = one(text)
    again = one(r.to_sgf())
    assert again.main_line() == r.main_line()
    assert again.to_sgf() == r.to_sgf()


# --- records into games ----------------------------------------------------------------------


def test_to_game_at_the_end_and_at_any_move():
    r = one("(;SZ[9]KM[7];B[ee];W[cc];B[gg];W[dd])")
    g = r.to_game()
    assert g.komi() == 7.0 and len(stones(g)) == 4 and g.turn() == vg.BLACK
    for n in range(5):
        assert len(stones(r.to_game(n))) == n
    assert r.to_game(2).turn() == vg.BLACK
    assert r.to_game(komi=0.5, superko=True).superko()
    assert r.to_game(99).get_piece(3, 5) == vg.WHITE  # past the end: the whole line


@pytest.mark.parametrize("text", ["(;SZ[9]HA[2]AB[cc][gg];W[ee])", "(;SZ[9]HA[2]AB[cc][gg]PL[W])"])
def test_handicap_games_give_white_the_move(text):
    r = one(text)
    g = r.to_game(0)
    assert g.turn() == vg.WHITE
    assert stones(g) == {(2, 6): 1, (6, 2): 1}
    _, report = r.replay()
    assert report["inserted_passes"] == [0]


def test_two_moves_in_a_row_insert_a_pass():
    g, report = one("(;SZ[9];B[aa];B[bb];W[cc])").replay()
    assert report["inserted_passes"] == [1] and report["moves_played"] == 3
    assert g.turn() == vg.BLACK and g.get_piece(1, 7) == vg.BLACK


KO = "(;SZ[5];B[bb];W[cb];B[ac];W[dc];B[bd];W[cd];B[cc];W[bc];B[cc])"


@pytest.mark.parametrize("text, move, why", [
    ("(;SZ[9];B[ee];W[ee])", 2, "occupied"),
    (KO, 9, "ko"),
    ("(;SZ[9];B[zz])", 1, "not a point"),
])
def test_rule_breaks_strict_and_lenient(text, move, why):
    r = one(text, name="bad.sgf")
    with pytest.raises(ValueError, match=f"bad.sgf: .*move {move}.*{why}"):
        r.to_game()
    g, report = r.replay(strict=False)
    assert report["stopped"]["move_number"] == move and why in report["stopped"]["reason"]
    assert report["moves_played"] == move - 1 == g.move_count() - len(report["inserted_passes"])


def test_superko_as_chosen():
    # A position repeats after a ko is taken back and forth with exchanges in between.
    rng = random.Random(3)
    for _ in range(20):
        g = random_game(5, 5, 80, rng.randrange(1 << 30))
        text = g.to_sgf()
        assert one(text).to_game(superko=True) is not None


def test_final_board_agrees_with_the_game():
    rng = random.Random(9)
    for _ in range(10):
        g = random_game(9, 9, 120, rng.randrange(1 << 30), max_moves=400)
        r = one(g.to_sgf())
        board = r.final_board()
        assert isinstance(board, vg.Board) and stones(board) == stones(g)
        assert stones(r.final_board(30)) == stones(r.to_game(30))
    bad = one("(;SZ[9];B[ee];W[dd];B[ee])")
    with pytest.raises(ValueError, match="move 3"):
        bad.final_board()
    assert stones(bad.final_board(strict=False)) == {(4, 4): 1, (3, 5): -1}


@pytest.mark.parametrize("text, strict_error", [("(;KM[abc];B[aa])", "komi KM\\[abc\\]"),
                                                 ("(;HA[-1];B[aa])", "handicap"), ("(;PL[x];B[aa])", "PL")])
def test_unreadable_root_values(text, strict_error):
    r = one(text)
    assert r.notes
    with pytest.raises(ValueError, match=strict_error):
        r.to_game()
    g, report = r.replay(strict=False)
    assert g.get_piece(0, 18) == vg.BLACK and report["notes"]


def test_komi_quirks():
    assert one("(;KM[650];B[aa])").komi == 6.5
    assert one("(;KO[7.5];B[aa])").komi == 7.5
    assert one("(;KM[6,5];B[aa])").komi == 6.5


# --- games into SGF --------------------------------------------------------------------------


@pytest.mark.parametrize("kind, re", [("black", "B+24.5"), ("white", "W+7.5"), ("draw", "0")])
def test_results_are_written(kind, re):
    from conftest import finished_game

    text = finished_game(kind).to_sgf()
    assert f"RE[{re}]" in text and text.startswith("(;FF[4]GM[1]CA[UTF-8]")


def test_players_properties_and_read_back():
    g = play(vg.Game.with_options(9, 7, 5.5, 0, 200, False), (1, 1), None, (2, 2))
    text = g.to_sgf(black="黒 ]", white="W", properties={"EV": "Cup", "C": ["a", "b"], "KM": "5.5"},
                    rules="Japanese")
    r = one(text)
    root = r.root_properties()
    assert root["PB"] == ["黒 ]"] and root["EV"] == ["Cup"] and root["C"] == ["a", "b"] and root["RU"] == ["Japanese"]
    assert "RE" not in root and (r.width, r.height) == (9, 7)
    back = r.to_game()
    assert back.move_count() == g.move_count()
    assert stones(back) == stones(g) and back.turn() == g.turn()
    with pytest.raises(ValueError, match="SZ"):
        g.to_sgf(properties={"SZ": "9"})
    with pytest.raises(ValueError, match="capital"):
        g.to_sgf(properties={"bad": "x"})
    with pytest.raises(TypeError):
        g.to_sgf(properties=[("EV", "x")])


def test_edited_start_is_written_as_setup():
    g = vg.Game.with_options(9, 9, 0.5, 0, 100, False)
    g.set_piece(2, 2, vg.BLACK)
    g.set_piece(6, 6, vg.BLACK)
    g.make_move(vg.Move.pass_move())
    play(g, (4, 4))
    text = g.to_sgf()
    assert "AB[cg][gc]" in text
    back = one(text).to_game()
    assert stones(back) == stones(g) and back.turn() == g.turn()


def _games():
    rng = random.Random(11)
    out = []
    for w, h in [(9, 9), (19, 19), (7, 5), (13, 19), (2, 2), (25, 25)]:
        for _ in range(2 if QUICK else 4):
            out.append(random_game(w, h, rng.randrange(4 * w * h), rng.randrange(1 << 30)))
    hand = vg.Game.with_options(19, 19, 0.5, 0, 722, False)
    for c, r_ in [(3, 3), (15, 15), (3, 15), (15, 3)]:
        hand.set_piece(c, r_, vg.BLACK)
    hand.make_move(vg.Move.pass_move())
    for _ in range(60):
        legal = hand.legal_action_indices()
        hand.apply_action(rng.choice(legal))
    out.append(hand)
    return out


@pytest.mark.parametrize("game", _games(), ids=lambda g: f"{g.width()}x{g.height()}")
def test_generated_games_round_trip(game):
    text = game.to_sgf()
    r = one(text)
    back = r.to_game(superko=game.superko())
    assert stones(back) == stones(game) and back.turn() == game.turn()
    assert back.is_over() == game.is_over()
    assert one(r.to_sgf()).main_line() == r.main_line()
    sgfmill = pytest.importorskip("sgfmill.sgf")
    if max(game.width(), game.height()) <= 19 and game.width() == game.height():
        parsed = sgfmill.Sgf_game.from_bytes(text.encode())
        moves = [n.get_move() for n in parsed.get_main_sequence()[1:]]
        assert len(moves) == len(r.moves())


# --- hostile input ---------------------------------------------------------------------------


@pytest.mark.parametrize("text, where", [
    (b"(;SZ[9];B[aa", "unterminated value of property B at byte 9"),
    (b"(;SZ[9];B[aa]", "unexpected end of input inside a game tree at byte 13"),
    (b"(;SZ[0])", "out of range .* at byte 5"),
    (b"(;SZ[40])", "out of range .* at byte 5"),
    (b"(;SZ[19:0])", "out of range .* at byte 5"),
    (b"(;GM[2])", "not a Go record at byte 5"),
    (b"(;B)", "without a value at byte 2"),
    (b"(;SZ[9]#)", "unexpected '#' at byte 7"),
    (b"no tree at all", "no game tree found at byte 0"),
    (b"", "no game tree found"),
    (b"(;C[x](;B[aa])C[y])", "property outside a node at byte 14"),
])
def test_malformed_input_names_the_byte(text, where):
    with pytest.raises(ValueError, match=where):
        GR.parse(text)


@pytest.mark.parametrize("text, why", [(b"(;SZ[9]AB[zz];B[aa])", "not a point"),
                                       (b"(;SZ[9];B[aa]AW[jj:kk])", "not a point")])
def test_points_off_the_board(text, why):
    r = one(text)
    with pytest.raises(ValueError, match=f"{why}.*at byte"):
        r.to_game()
    _, report = r.replay(strict=False)
    assert report["stopped"] is not None


def test_random_and_truncated_bytes_never_crash():
    rng = random.Random(5)
    base = b"(;FF[4]GM[1]SZ[9]KM[6.5]AB[aa:bb]C[x\\]y];B[ee](;W[cc];B[])(;W[dd]AE[ee]PL[B]))"
    for i in range(300 if QUICK else 2000):
        if i % 2:
            data = base[: rng.randrange(len(base) + 1)]
        else:
            data = bytearray(base)
            for _ in range(rng.randrange(1, 6)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            data = bytes(data)
        try:
            for r in GR.parse(data):
                r.root_properties(), r.main_line(), r.to_sgf()
                r.replay(strict=False)
        except ValueError:
            pass


def _peak(fn):
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_deep_nesting_and_huge_values():
    depth = 100_000
    nested = "(;SZ[9]" + "(;B[aa]" * depth + ")" * depth + ")"
    r = one(nested)
    assert r.move_count == depth and len(r.to_sgf()) > depth
    _, report = r.replay(strict=False)
    assert report["moves_played"] == 1 and report["stopped"]["move_number"] == 2
    comment = "(;SZ[9]C[" + "x" * 10_000_000 + "];B[aa])"
    r = one(comment)
    assert len(r.root_properties()["C"][0]) == 10_000_000
    many = b"(;SZ[9]" + b"XY[1]" * 1_000_000 + b";B[aa])"
    r = one(many)
    assert r.to_game().get_piece(0, 8) == vg.BLACK
    # Memory stays a small multiple of the input (no per-byte Python objects).
    assert _peak(lambda: GR.parse(many)) < 64 * len(many)


def test_many_setup_edits_are_bounded():
    flip = ";AB[aa:ii];AE[aa:ii]" * 200
    r = one(f"(;SZ[9]{flip};B[ee])")
    with pytest.raises(ValueError, match="setup changes"):
        r.to_game()


def test_records_are_immutable_and_not_picklable():
    import pickle

    r = one("(;B[aa])")
    with pytest.raises(AttributeError):
        r.width = 3
    with pytest.raises(TypeError):
        pickle.dumps(r)
    with pytest.raises(TypeError):
        vg.GameRecord()
