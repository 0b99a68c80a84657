"""Typed use of the public API, checked by mypy --strict against the installed
stubs (test_stubs.py). Also runs as a plain script: a short self-play game."""

from __future__ import annotations

import array
from typing import Final, Hashable, assert_type

import vexlor_go
from vexlor_go import BLACK, TOTAL_INPUT_PLANES, WHITE, Board, Game, GameOutcome, Move


class Index:
    """An integer argument through the index protocol only."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def options(game: Game) -> tuple[int, int, float, int, int, bool]:
    return (
        game.width(),
        game.height(),
        game.komi(),
        game.min_moves_before_pass_possible(),
        game.max_moves(),
        game.superko(),
    )


def play_out(game: Game) -> GameOutcome | None:
    """Plays the first legal action until the game ends."""
    while not game.is_over():
        actions: list[int] = game.legal_action_indices()
        if not game.apply_action(actions[0]):
            raise AssertionError("legal action refused")
    return game.outcome()


def main() -> None:
    planes_count: Final[int] = TOTAL_INPUT_PLANES
    assert_type(vexlor_go.__all__, list[str])
    assert BLACK == 1 and WHITE == -1 and planes_count == 17

    game = Game(5, 5)
    assert_type(game, Game)
    assert_type(Game.with_options(5, 5, 0.5, 0, 60, superko=True), Game)
    assert_type(Game.standard(), Game)
    assert_type(options(game), tuple[int, int, float, int, int, bool])

    assert_type(game.turn(), int)
    assert_type(game.move_count(), int)
    assert_type(game.is_over(), bool)
    assert_type(game.outcome(), GameOutcome | None)
    assert_type(game.ko_point(), tuple[int, int] | None)
    assert_type(game.score(), tuple[float, float])
    assert_type(game.name(), str)
    assert_type(game.board(), Board)
    assert_type(game.clone(), Game)
    assert_type(game.get_piece(0, 0), int | None)
    assert_type(game.set_piece(col=0, row=0, piece=None), None)
    assert_type(game.legal_moves(), list[Move])
    assert_type(game.is_legal_move(Move.place(2, 2)), bool)
    assert_type(game.make_move(move_=Move.place(2, 2)), bool)
    assert_type(game.unmake_move(), bool)
    assert_type(hash(game), int)

    assert_type(game.action_size(), int)
    assert_type(game.total_actions(), int)
    assert_type(game.board_shape(), tuple[int, int])
    assert_type(game.decode_action(Index(3)), Move | None)
    assert_type(game.apply_action(action=12), bool)
    assert_type(game.legal_action_indices(), list[int])
    assert_type(game.input_plane_count(), int)
    planes, count, height, width = game.encode_game_planes()
    assert_type(planes, list[float])
    assert (count, height, width) == (planes_count, 5, 5) and len(planes) == count * height * width
    assert_type(game.reward_absolute(), float)
    assert_type(game.reward_from_perspective(perspective=WHITE), float)

    buf = bytearray(planes_count * 25)
    assert_type(game.encode_planes_into(buf), None)
    assert list(buf) == [int(v) for v in planes]
    mask = array.array("B", bytes(26))
    assert_type(game.legal_action_mask_into(out=mask), None)
    assert [i for i, v in enumerate(mask) if v] == game.legal_action_indices()
    assert_type(Game.encode_planes_batch([game, game.clone()], bytearray(2 * len(buf))), None)
    assert_type(Game.legal_action_mask_batch((game,), bytearray(26)), None)
    assert_type(Game.valid_transforms(5, 5), tuple[int, ...])
    assert_type(Game.inverse_transform(transform=1), int)
    assert_type(Game.transform_action(3, 5, 5, Game.inverse_transform(1)), int)
    assert_type(Game.transform_planes(buf, buf, 5, 5, 2), None)
    assert_type(Game.transform_policy(mask, bytearray(26), height=5, width=5, transform=4), None)

    board = Board(width=3, height=4)
    assert_type(Board.standard(), Board)
    assert_type(board.width(), int)
    assert_type(board.height(), int)
    assert_type(board.set_piece(1, 2, BLACK), None)
    assert_type(board.get_piece(1, 2), int | None)
    assert_type(board.clear(), None)

    move = Move.place(col=3, row=4)
    assert_type(Move.pass_move(), Move)
    assert_type(move.is_pass(), bool)
    assert_type(move.col(), int | None)
    assert_type(move.row(), int | None)
    assert_type(move.encode(board_width=9, board_height=9), int)
    assert_type(Move.decode(action=39, board_width=9, board_height=9), Move)
    assert move == Move.decode(39, 9, 9) and move != Move.pass_move()
    moves: set[Move] = {move, Move.place(3, 4)}
    assert len(moves) == 1

    finished = Game.with_options(4, 4, 7.5, 0, 100, False)
    outcome = play_out(finished)
    assert outcome is not None
    assert_type(outcome.winner(), int | None)
    assert_type(outcome.is_draw(), bool)
    assert_type(outcome.name(), str)
    assert_type(outcome.encode_winner_absolute(), float)
    assert_type(outcome.encode_winner_from_perspective(BLACK), float)
    assert outcome.encode_winner_absolute() == finished.reward_absolute()


def rejected(game: Game, outcome: GameOutcome) -> None:
    """Misuse that the stubs must refuse; never run. Unused ignores fail the check."""
    game.make_move((3, 4))  # type: ignore[arg-type]
    Move.place("a", 0)  # type: ignore[arg-type]
    Game.with_options(9, 9, "7.5", 0, 10, True)  # type: ignore[arg-type]
    game.set_piece(0, 0, "B")  # type: ignore[arg-type]
    game.encode_game_planes()[0].append("x")  # type: ignore[arg-type]
    game.encode_planes_into([0.0] * 425)  # type: ignore[arg-type]
    Game.encode_planes_batch([game, None], bytearray(850))  # type: ignore[list-item]
    key: Hashable = outcome  # type: ignore[assignment]

    class Sub(Game):  # type: ignore[misc]
        pass


if __name__ == "__main__":
    main()
