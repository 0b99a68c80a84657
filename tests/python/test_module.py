"""Module surface and the argument conventions shared by every method."""

import fractions
import gc
import importlib.util
import inspect
import json
import re
import weakref

import numpy as np
import pytest

import vexlor_go as vg
from conftest import IntLike, finished_game, run_in_subinterpreter

CLASSES = [vg.Board, vg.Game, vg.Move, vg.GameOutcome]


class Flt:
    """Real number only through __float__."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class TestModule:
    def test_all_names_in_order(self):
        assert vg.__all__ == ["Board", "Game", "Move", "GameOutcome", "GameBatch", "GameRecord", "TrainingPositions", "TreeSearch",
                              "BLACK", "WHITE", "TOTAL_INPUT_PLANES"]
        assert type(vg.__all__) is list

    @pytest.mark.parametrize("name, value", [("BLACK", 1), ("WHITE", -1), ("TOTAL_INPUT_PLANES", 17)])
    def test_constants(self, name, value):
        v = getattr(vg, name)
        assert type(v) is int and v == value

    def test_every_listed_name_exists(self):
        for name in vg.__all__:
            assert hasattr(vg, name)

    def test_no_module_functions(self):
        public = {n for n in dir(vg) if not n.startswith("_")}
        assert public == set(vg.__all__)


# Plays, encodes without the interpreter lock, pickles; reports what it saw.
SUBINTERPRETER_GAME = """
import json, pickle, vexlor_go as vg
g = vg.Game(9, 9)
for a in (40, 41, 30, 31, 50, 22):
    assert g.apply_action(a)
games = [g.clone() for _ in range(20)]
out = bytearray(20 * 17 * 81)
vg.Game.encode_planes_batch(games, out)
assert pickle.loads(pickle.dumps(g)).legal_action_indices() == g.legal_action_indices()
report = dict(game_type=id(vg.Game), move_type=id(vg.Move), hash=hash(g), ones=sum(out), legal=len(g.legal_moves()))
with open(PATH, "w") as f:
    json.dump(report, f)
"""


class TestModuleState:
    def test_each_interpreter_gets_its_own_classes(self, tmp_path):
        """Nothing is shared between interpreters: a subinterpreter imports its own classes and
        gets the same results; the main interpreter's module is untouched when it goes away."""
        path = tmp_path / "report.json"
        for _ in range(2):  # a second interpreter after the first one was torn down
            run_in_subinterpreter(f"PATH = {str(path)!r}\n" + SUBINTERPRETER_GAME)
            report = json.loads(path.read_text())
            assert report["game_type"] != id(vg.Game) and report["move_type"] != id(vg.Move)
            g = vg.Game(9, 9)
            for a in (40, 41, 30, 31, 50, 22):
                assert g.apply_action(a)
            assert (report["hash"], report["legal"]) == (hash(g), len(g.legal_moves()))
            assert report["ones"] == 20 * sum(g.encode_game_planes()[0])

    def test_a_second_module_object_is_independent_and_collected(self):
        spec = importlib.util.find_spec("vexlor_go")
        other = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(other)
        assert other.Game is not vg.Game and other.__all__ == vg.__all__
        g = other.Game(9, 9)
        assert g.make_move(other.Move.place(2, 2)) and g.legal_action_indices()[:2] == [0, 1]
        # Each module knows only its own classes.
        with pytest.raises(TypeError, match="argument 'move_' must be Move"):
            vg.Game(9, 9).make_move(other.Move.place(1, 1))
        with pytest.raises(TypeError, match=r"games\[0\] must be Game"):
            vg.Game.legal_action_mask_batch([g], bytearray(82))
        with pytest.raises(TypeError):
            vg.Game.komi(g)
        assert type(g.board()) is other.Board and type(other.Move.decode(0, 9, 9)) is other.Move
        # The module and its classes hold each other: only the collector frees them.
        gone = weakref.ref(other)
        del other, g, spec
        gc.collect()
        assert gone() is None


class TestClasses:
    @pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
    def test_module_and_names(self, cls):
        assert cls.__module__ == "vexlor_go"
        assert cls.__qualname__ == cls.__name__
        assert repr(cls) == f"<class 'vexlor_go.{cls.__name__}'>"

    def test_instances_report_the_module(self):
        assert type(vg.Game(9, 9)).__module__ == "vexlor_go"
        assert type(vg.Board(9, 9)).__module__ == "vexlor_go"
        assert type(vg.Move.pass_move()).__module__ == "vexlor_go"
        assert type(finished_game("draw").outcome()).__module__ == "vexlor_go"

    @pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
    def test_not_subclassable(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize(
        "make",
        [lambda: vg.Game(9, 9), lambda: vg.Board(9, 9), vg.Move.pass_move, lambda: finished_game("draw").outcome()],
        ids=["Game", "Board", "Move", "GameOutcome"],
    )
    def test_no_instance_dict_or_weakref(self, make):
        import weakref

        obj = make()
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)

    @pytest.mark.parametrize("cls", [vg.Move, vg.GameOutcome], ids=lambda c: c.__name__)
    def test_value_classes_not_instantiable(self, cls):
        with pytest.raises(TypeError):
            cls()

    @pytest.mark.parametrize("cls", [vg.Board, vg.Game], ids=lambda c: c.__name__)
    def test_constructor_signature(self, cls):
        assert cls.__text_signature__ == "(width, height)"
        assert not cls.__doc__  # the docstring holds the signature only

    def test_docstrings(self):
        assert vg.Move.__doc__ is None and vg.GameOutcome.__doc__ is None
        assert not vg.__doc__

    def test_game_has_no_equality_of_its_own(self):
        a, b = vg.Game(9, 9), vg.Game(9, 9)
        assert hash(a) == hash(b)
        assert a != b and not (a == b) and a == a

    def test_board_compares_and_hashes_by_identity(self):
        a, b = vg.Board(9, 9), vg.Board(9, 9)
        assert a != b and a == a
        assert hash(a) == object.__hash__(a)


def public_methods(cls):
    return [n for n in cls.__dict__ if not n.startswith("_")]


class TestMethodKinds:
    # Names, parameters and static-ness are pinned against the stubs (test_stubs.py); here,
    # what the stubs cannot say.
    @pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
    def test_methods_not_properties(self, cls):
        for name in public_methods(cls):
            assert callable(getattr(cls, name)) and not isinstance(cls.__dict__[name], property), name


# Every method with parameters: (label, receiver factory, parameter names, valid arguments).
CALLS = [
    ("Game", lambda: vg.Game, ("width", "height"), (9, 7)),
    (
        "Game.with_options",
        lambda: vg.Game.with_options,
        ("width", "height", "komi", "min_moves_before_pass_possible", "max_moves", "superko"),
        (9, 7, 6.5, 3, 100, False),
    ),
    ("Board", lambda: vg.Board, ("width", "height"), (5, 3)),
    ("Board.get_piece", lambda: vg.Board(3, 3).get_piece, ("col", "row"), (1, 2)),
    ("Board.set_piece", lambda: vg.Board(3, 3).set_piece, ("col", "row", "piece"), (1, 2, -1)),
    ("Game.get_piece", lambda: vg.Game(3, 3).get_piece, ("col", "row"), (1, 2)),
    ("Game.set_piece", lambda: vg.Game(3, 3).set_piece, ("col", "row", "piece"), (1, 2, 1)),
    ("Game.make_move", lambda: vg.Game(3, 3).make_move, ("move_",), (vg.Move.place(1, 1),)),
    ("Game.is_legal_move", lambda: vg.Game(3, 3).is_legal_move, ("move_",), (vg.Move.place(1, 1),)),
    ("Game.apply_action", lambda: vg.Game(3, 3).apply_action, ("action",), (4,)),
    ("Game.decode_action", lambda: vg.Game(3, 3).decode_action, ("action",), (5,)),
    ("Game.reward_from_perspective", lambda: finished_game("black").reward_from_perspective, ("perspective",), (-1,)),
    ("Move.place", lambda: vg.Move.place, ("col", "row"), (3, 4)),
    ("Move.encode", lambda: vg.Move.place(1, 2).encode, ("board_width", "board_height"), (9, 7)),
    ("Move.decode", lambda: vg.Move.decode, ("action", "board_width", "board_height"), (10, 9, 9)),
    (
        "GameOutcome.encode_winner_from_perspective",
        lambda: finished_game("white").outcome().encode_winner_from_perspective,
        ("perspective",),
        (-1,),
    ),
]
CALL_IDS = [c[0] for c in CALLS]

UNSIGNED = {"width", "height", "col", "row", "action", "board_width", "board_height",
            "min_moves_before_pass_possible", "max_moves"}
SIGNED8 = {"piece", "perspective"}


def result_key(r):
    # Created objects have no value equality of their own; compare their texts.
    return (type(r), repr(r))


class TestBinding:
    @pytest.mark.parametrize("label, recv, names, args", CALLS, ids=CALL_IDS)
    def test_keywords_equal_positions(self, label, recv, names, args):
        by_pos = recv()(*args)
        by_kw = recv()(**dict(zip(names, args)))
        by_kw_reversed = recv()(**dict(reversed(list(zip(names, args)))))
        mixed = recv()(*args[:1], **dict(zip(names[1:], args[1:])))
        assert result_key(by_pos) == result_key(by_kw) == result_key(by_kw_reversed) == result_key(mixed)

    @pytest.mark.parametrize("label, recv, names, args", CALLS, ids=CALL_IDS)
    def test_each_missing_argument(self, label, recv, names, args):
        for i in range(len(names)):
            kwargs = {n: a for j, (n, a) in enumerate(zip(names, args)) if j != i}
            with pytest.raises(TypeError):
                recv()(**kwargs)
        with pytest.raises(TypeError):
            recv()(*args[:-1])

    @pytest.mark.parametrize("label, recv, names, args", CALLS, ids=CALL_IDS)
    def test_surplus_positional(self, label, recv, names, args):
        with pytest.raises(TypeError):
            recv()(*args, args[-1])

    @pytest.mark.parametrize("label, recv, names, args", CALLS, ids=CALL_IDS)
    def test_unexpected_keyword(self, label, recv, names, args):
        with pytest.raises(TypeError):
            recv()(*args, bogus=1)
        with pytest.raises(TypeError):
            recv()(**dict(zip(names, args)), **{names[0].upper(): args[0]})

    @pytest.mark.parametrize("label, recv, names, args", CALLS, ids=CALL_IDS)
    def test_same_argument_by_position_and_keyword(self, label, recv, names, args):
        with pytest.raises(TypeError):
            recv()(*args, **{names[-1]: args[-1]})
        with pytest.raises(TypeError):
            recv()(args[0], **dict(zip(names, args)))

    @pytest.mark.parametrize(
        "cls, name",
        [(c, n) for c in CLASSES for n in public_methods(c)
         if not [p for p in inspect.signature(getattr(c, n)).parameters if p != "self"]],
        ids=lambda x: getattr(x, "__name__", x),
    )
    def test_zero_argument_methods_refuse_arguments(self, cls, name):
        receivers = {
            vg.Game: vg.Game(3, 3),
            vg.Board: vg.Board(3, 3),
            vg.Move: vg.Move.place(1, 1),
            vg.GameOutcome: finished_game("draw").outcome(),
        }
        method = getattr(receivers[cls], name)
        method()
        with pytest.raises(TypeError):
            method(0)
        with pytest.raises(TypeError):
            method(x=0)


class TestConversion:
    @pytest.mark.parametrize("label, recv, names, args", CALLS, ids=CALL_IDS)
    def test_type_error_names_the_parameter(self, label, recv, names, args):
        for i, name in enumerate(names):
            bad = list(args)
            bad[i] = object()
            with pytest.raises(TypeError, match=rf"\b{name}\b"):
                recv()(*bad)

    @pytest.mark.parametrize("label, recv, names, args", CALLS, ids=CALL_IDS)
    def test_out_of_range_integers_overflow(self, label, recv, names, args):
        for i, name in enumerate(names):
            if name in UNSIGNED:
                values = [-1, -(2**70), 2**64, 2**70]
            elif name in SIGNED8:
                values = [128, -129, 2**70]
            else:
                continue
            for v in values:
                bad = list(args)
                bad[i] = v
                with pytest.raises(OverflowError, match=rf"^argument '{name}' is out of range"):
                    recv()(*bad)

    @pytest.mark.parametrize(
        "call, exc",
        [
            (lambda: vg.Move.place(256, 0), OverflowError),
            (lambda: vg.Move.place(0, 256), OverflowError),
            (lambda: vg.Move.place(300, 1), OverflowError),
            (lambda: vg.Move.decode(5, 259, 9), OverflowError),
            (lambda: vg.Move.decode(5, 9, 256), OverflowError),
            (lambda: vg.Move.place(1, 1).encode(256, 9), OverflowError),
            (lambda: vg.Move.place(1, 1).encode(9, 265), OverflowError),
            (lambda: vg.Game.with_options(9, 9, 7.5, 0, 70000, True), OverflowError),
            (lambda: vg.Game.with_options(9, 9, 7.5, 65536, 100, True), OverflowError),
        ],
        ids=["place-col-256", "place-row-256", "place-300", "decode-width-259", "decode-height-256",
             "encode-width-256", "encode-height-265", "max_moves-70000", "min_moves-65536"],
    )
    def test_no_silent_truncation(self, call, exc):
        with pytest.raises(exc):
            call()

    def test_largest_accepted_values(self):
        assert repr(vg.Move.place(255, 255)) == "Move.place(255, 255)"
        assert vg.Move.place(0, 1).encode(255, 255) == 255
        g = vg.Game.with_options(9, 9, 7.5, 65535, 65535, True)
        assert (g.min_moves_before_pass_possible(), g.max_moves()) == (65535, 65535)

    @pytest.mark.parametrize("value", [3, IntLike(3), np.int8(3), np.uint64(3), np.int64(3)],
                             ids=["int", "index", "int8", "uint64", "int64"])
    def test_unsigned_accepts_index_protocol(self, value):
        assert vg.Move.place(value, value) == vg.Move.place(3, 3)
        assert vg.Board(value, 4).width() == 3
        assert vg.Game(4, value).height() == 3
        assert vg.Move.decode(value, 3, 1) == vg.Move.pass_move()

    def test_bool_is_an_integer(self):
        assert vg.Move.place(True, False) == vg.Move.place(1, 0)
        with pytest.raises(ValueError, match="^Board width must be between 2 and 32$"):
            vg.Game(True, 9)

    @pytest.mark.parametrize("value", [-1, IntLike(-1), np.int8(-1), np.int64(-1)], ids=["int", "index", "int8", "int64"])
    def test_signed_accepts_index_protocol(self, value):
        b = vg.Board(3, 3)
        b.set_piece(0, 0, value)
        assert b.get_piece(0, 0) == vg.WHITE
        assert finished_game("white").reward_from_perspective(value) == 1.0

    @pytest.mark.parametrize("value", [1.5, "1", Flt(1.0), np.float64(1.0)], ids=["float", "str", "__float__", "np-float"])
    def test_integer_parameters_refuse_non_integers(self, value):
        with pytest.raises(TypeError, match=r"\bcol\b"):
            vg.Move.place(value, 0)

    @pytest.mark.parametrize(
        "komi, expected",
        [(6, 6.0), (True, 1.0), (-0.5, -0.5), (Flt(2.25), 2.25), (IntLike(3), 3.0), (np.float32(0.1), 0.10000000149011612),
         (fractions.Fraction(1, 4), 0.25), (np.int16(-4), -4.0)],
        ids=["int", "bool", "negative", "__float__", "__index__", "float32", "fraction", "np-int"],
    )
    def test_float_parameter_accepts_real_numbers(self, komi, expected):
        assert vg.Game.with_options(9, 9, komi, 0, 10, True).komi() == expected

    @pytest.mark.parametrize("komi", ["7.5", None, 1j, [7.5]], ids=["str", "None", "complex", "list"])
    def test_float_parameter_refuses_others(self, komi):
        with pytest.raises(TypeError, match=r"\bkomi\b"):
            vg.Game.with_options(9, 9, komi, 0, 10, True)

    @pytest.mark.parametrize(
        "value, expected", [(True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False)],
        ids=["True", "False", "np-True", "np-False"],
    )
    def test_bool_parameter_accepts_bools(self, value, expected):
        assert vg.Game.with_options(9, 9, 7.5, 0, 10, value).superko() is expected

    @pytest.mark.parametrize(
        "value", [1, 0, None, "True", 1.0, np.int8(1), np.array([True]), IntLike(1)],
        ids=["1", "0", "None", "str", "float", "np-int8", "np-array", "index"],
    )
    def test_bool_parameter_refuses_everything_else(self, value):
        with pytest.raises(TypeError, match=r"\bsuperko\b"):
            vg.Game.with_options(9, 9, 7.5, 0, 10, value)

    @pytest.mark.parametrize("value", [5, None, (3, 4), "Pass", vg.Move], ids=["int", "None", "tuple", "str", "class"])
    def test_move_parameter_refuses_non_moves(self, value):
        g = vg.Game(9, 9)
        for method in (g.make_move, g.is_legal_move):
            with pytest.raises(TypeError, match=r"\bmove_\b"):
                method(value)
        assert g.move_count() == 0

    @pytest.mark.parametrize(
        "call, exc, match",
        [
            (lambda: vg.Game.with_options(40, 9, "x", 0, 0, True), TypeError, r"\bkomi\b"),
            (lambda: vg.Game.with_options(40, 9, 7.5, 0, 0, 1), TypeError, r"\bsuperko\b"),
            (lambda: vg.Game.with_options(40, 1, 7.5, 0, 70000, 1), OverflowError, None),
            (lambda: vg.Game.with_options("x", -1, 7.5, 0, 0, True), TypeError, r"\bwidth\b"),
            (lambda: vg.Game.with_options(-1, "x", 7.5, 0, 0, True), OverflowError, None),
            (lambda: vg.Game.with_options(1, 1, 7.5, 0, 0, True), ValueError, "^Board width must be between 2 and 32$"),
            (lambda: vg.Game(40, "x"), TypeError, r"\bheight\b"),
            (lambda: vg.Board(1, "x"), TypeError, r"\bheight\b"),
            (lambda: vg.Board(1, -1), OverflowError, None),
            (lambda: vg.Move.place("x", -1), TypeError, r"\bcol\b"),
            (lambda: vg.Move.place(-1, "x"), OverflowError, None),
            (lambda: vg.Move.decode(999, 9, "x"), TypeError, r"\bboard_height\b"),
            (lambda: vg.Move.decode(999, 256, 9), OverflowError, None),
            (lambda: vg.Move.decode("x", 256, 9), TypeError, r"\baction\b"),
            (lambda: vg.Game(3, 3).set_piece(99, "x", 0), TypeError, r"\brow\b"),
            (lambda: vg.Game(3, 3).set_piece(-1, 0, "x"), OverflowError, None),
            (lambda: vg.Board(3, 3).set_piece(0, 0, 999), OverflowError, None),
        ],
    )
    def test_first_failure_wins(self, call, exc, match):
        with pytest.raises(exc, match=match):
            call()

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: vg.Game(33, 9), "Board width must be between 2 and 32"),
            (lambda: vg.Board(9, 100), "Board height must be between 2 and 32"),
            (lambda: vg.Move.decode(12345, 9, 9), "invalid action"),
            (lambda: vg.Board(3, 3).set_piece(0, 0, 77), "Invalid player value"),
        ],
        ids=["width", "height", "action", "piece"],
    )
    def test_value_errors_have_fixed_messages(self, call, message):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
