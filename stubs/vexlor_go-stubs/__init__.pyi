"""Go rules engine: games, boards, moves and outcomes, with action, plane and reward encodings."""

from collections.abc import Callable, Iterable, Mapping, Sequence
from os import PathLike
from typing import Any, ClassVar, Final, Literal, NoReturn, SupportsFloat, SupportsIndex, TypedDict, final, overload

from typing_extensions import Buffer

__all__ = [
    "Board",
    "Game",
    "Move",
    "GameOutcome",
    "GameBatch",
    "GameRecord",
    "TrainingPositions",
    "TreeSearch",
    "BLACK",
    "WHITE",
    "TOTAL_INPUT_PLANES",
]

BLACK: Final = 1
"""Code of the black player and of a black stone."""
WHITE: Final = -1
"""Code of the white player and of a white stone."""
TOTAL_INPUT_PLANES: Final = 17
"""Number of input planes produced by `Game.encode_game_planes`."""

# Integer arguments take int or any object with __index__ (NumPy integers, bool);
# piece and perspective arguments are 1 (BLACK) or -1 (WHITE). Buffer arguments
# take any C-contiguous object with the buffer protocol (bytearray, array.array,
# NumPy arrays); `out` buffers must be writable.

@final
class Board:
    """A stand-alone stone placement of 2x2 to 32x32 points."""

    def __init__(self, width: SupportsIndex, height: SupportsIndex) -> None: ...
    @staticmethod
    def standard() -> Board:
        """An empty 19x19 board."""
    def width(self) -> int: ...
    def height(self) -> int: ...
    def get_piece(self, col: SupportsIndex, row: SupportsIndex) -> int | None:
        """1 (black), -1 (white), or None for an empty or off-board point."""
    def set_piece(self, col: SupportsIndex, row: SupportsIndex, piece: SupportsIndex | None) -> None:
        """Put a stone (1 or -1) or empty the point (None); off-board points are ignored."""
    def clear(self) -> None:
        """Remove every stone."""
    # Pickling and copying: copies are independent boards.
    def __reduce__(self) -> tuple[Callable[[Buffer], Board], tuple[bytes]]: ...
    @staticmethod
    def _from_state(state: Buffer) -> Board:
        """The board a saved state describes; ValueError for a corrupt state."""
    def __copy__(self) -> Board: ...
    def __deepcopy__(self, memo: dict[int, object]) -> Board: ...
    def to_svg(self, cell: SupportsIndex = 24, coordinates: bool = True) -> str:
        """The board as SVG: grid, star points, stones; `cell` pixels (8 to 128) between lines."""
    def _repr_svg_(self) -> str: ...

@final
class Game:
    """One game of Go: board, side to move, history and rule options."""

    def __init__(self, width: SupportsIndex, height: SupportsIndex) -> None:
        """A game with komi 7.5, passes from width*height//2 moves, at most 3*width*height moves, superko on."""
    @staticmethod
    def with_options(
        width: SupportsIndex,
        height: SupportsIndex,
        komi: SupportsFloat | SupportsIndex,
        min_moves_before_pass_possible: SupportsIndex,
        max_moves: SupportsIndex,
        superko: bool,
    ) -> Game:
        """komi is held in single precision; a finite komi beyond its range raises OverflowError."""
    @staticmethod
    def standard() -> Game:
        """A 19x19 game with the default options."""
    def komi(self) -> float: ...
    def min_moves_before_pass_possible(self) -> int: ...
    def max_moves(self) -> int: ...
    def move_count(self) -> int:
        """Moves played so far, passes included."""
    def score(self) -> tuple[float, float]:
        """(black, white) area scores, komi included in White's."""
    def width(self) -> int: ...
    def height(self) -> int: ...
    def get_piece(self, col: SupportsIndex, row: SupportsIndex) -> int | None:
        """1 (black), -1 (white), or None for an empty or off-board point."""
    def set_piece(self, col: SupportsIndex, row: SupportsIndex, piece: SupportsIndex | None) -> None:
        """Edit the board only; history, turn, ko point and superko record are untouched."""
    def turn(self) -> int:
        """The side to move: 1 (BLACK) or -1 (WHITE)."""
    def is_over(self) -> bool: ...
    def legal_action_indices(self) -> list[int]:
        """Actions of the legal moves, ascending, the pass action last."""
    def apply_action(self, action: SupportsIndex) -> bool:
        """Play the move of an action; False (and no change) when out of range or illegal."""
    def action_size(self) -> int:
        """width*height + 1."""
    def board_shape(self) -> tuple[int, int]:
        """(height, width)."""
    def input_plane_count(self) -> int: ...
    def reward_absolute(self) -> float:
        """1.0, -1.0 or 0.0 from Black's side; 0.0 while the game is in play."""
    def reward_from_perspective(self, perspective: SupportsIndex) -> float: ...
    def name(self) -> str:
        """'go_<width>x<height>'."""
    def outcome(self) -> GameOutcome | None: ...
    def legal_moves(self) -> list[Move]:
        """Legal placements by ascending point index, then the pass when legal."""
    def is_legal_move(self, move_: Move) -> bool: ...
    def make_move(self, move_: Move) -> bool:
        """Play the move if legal; False (and no change) otherwise."""
    def unmake_move(self) -> bool:
        """Take back the last move; False on a game without moves."""
    def board(self) -> Board:
        """An independent copy of the board."""
    def superko(self) -> bool: ...
    def ko_point(self) -> tuple[int, int] | None:
        """(col, row) of the point forbidden by ko, or None."""
    def clone(self) -> Game:
        """An independent deep copy of the whole game."""
    def encode_game_planes(self) -> tuple[list[float], int, int, int]:
        """(planes, 17, height, width): 17*height*width floats, plane-major, from the mover's side."""
    def decode_action(self, action: SupportsIndex) -> Move | None:
        """The move of an action, or None when out of range."""
    def total_actions(self) -> int:
        """Same as action_size()."""
    def encode_planes_into(self, out: Buffer) -> None:
        """Write the planes of encode_game_planes into `out`: 17*height*width items of float32 ('f'),
        uint8 ('B') or bool ('?'), any shape and any alignment. A wrong format or a read-only buffer raises TypeError,
        a wrong item count or a non-contiguous buffer ValueError; nothing is written then."""
    def legal_action_mask_into(self, out: Buffer) -> None:
        """Write 1 for each legal action and 0 for the others into width*height + 1 uint8 or bool
        items (the pass last): the actions of legal_action_indices. Errors as encode_planes_into."""
    @staticmethod
    def encode_planes_batch(games: Iterable[Game], out: Buffer) -> None:
        """encode_planes_into for N games of one size into one (N, 17, height, width) buffer.
        A non-Game item raises TypeError, a game of another size ValueError, a game being changed
        by another call RuntimeError, each naming its index. Large batches run without the
        interpreter lock; the games cannot be changed meanwhile (such calls raise RuntimeError)."""
    @staticmethod
    def legal_action_mask_batch(games: Iterable[Game], out: Buffer) -> None:
        """legal_action_mask_into for N games of one size into one (N, width*height + 1) buffer;
        rules as encode_planes_batch."""
    @staticmethod
    def transform_planes(
        planes: Buffer, out: Buffer, height: SupportsIndex, width: SupportsIndex, transform: SupportsIndex
    ) -> None:
        """Apply a board symmetry to every height x width plane of `planes` (e.g. (N, 17, H, W) or
        (17, H, W)), writing `out`, which may be `planes` itself (in place). Both hold the same
        number of items of the same format: integers, floats or bools of 1, 2, 4 or 8 bytes (object
        arrays, whose items are references, raise TypeError).

        Numbering, on a plane X as an (H, W) array, X[row][col]:
        0 identity; 1, 2, 3 np.rot90(X, k) for k = 1, 2, 3 (90, 180, 270 degrees);
        4 np.flip(X, 1) (left-right); 5 np.flip(X, 0) (up-down); 6 X.T (transpose);
        7 np.rot90(X, 2).T (anti-transpose). Boards with height != width only allow 0, 2, 4, 5;
        the others raise ValueError. Undo with inverse_transform."""
    @staticmethod
    def transform_policy(
        policy: Buffer, out: Buffer, height: SupportsIndex, width: SupportsIndex, transform: SupportsIndex
    ) -> None:
        """transform_planes for rows of width*height + 1 actions (one policy or (N, A + 1)):
        the board part of each row moves like a plane, the pass stays last."""
    @staticmethod
    def transform_action(
        action: SupportsIndex, height: SupportsIndex, width: SupportsIndex, transform: SupportsIndex
    ) -> int:
        """The action that `transform` maps `action` to; the pass maps to itself."""
    @staticmethod
    def inverse_transform(transform: SupportsIndex) -> int:
        """The symmetry that undoes `transform`: 1 and 3 swap, the others undo themselves."""
    @staticmethod
    def valid_transforms(height: SupportsIndex, width: SupportsIndex) -> tuple[int, ...]:
        """(0, 1, ..., 7) on a square board, (0, 2, 4, 5) otherwise."""
    # Pickling (the whole game: history, superko record, options; komi bit for bit)
    # and copying (both copies are independent games, like clone()).
    def __reduce__(self) -> tuple[Callable[[Buffer], Game], tuple[bytes]]: ...
    @staticmethod
    def _from_state(state: Buffer) -> Game:
        """The game a saved state describes; ValueError for a corrupt or inconsistent state."""
    def __copy__(self) -> Game: ...
    def __deepcopy__(self, memo: dict[int, object]) -> Game: ...
    def __hash__(self) -> int: ...
    def _check_consistency(self) -> None:
        """Test aid: None when every table the engine derives from the board and the history
        agrees with them; AssertionError naming the first difference otherwise."""
    def to_sgf(
        self,
        black: str | None = None,
        white: str | None = None,
        properties: Mapping[str, str | Sequence[str]] | None = None,
        rules: str = "Chinese",
    ) -> str:
        """The game as an FF[4] record: SZ, KM, RU, RE once over, PB/PW, the caller's root
        properties, AB/AW for an edited start, every move (passes as B[]). ValueError for a
        property written from the game (FF, GM, CA, SZ, AB, AW, AE, B, W, PL)."""
    def to_svg(self, cell: SupportsIndex = 24, coordinates: bool = True) -> str:
        """The board as SVG with the last placed stone ringed and the ko point squared."""
    def _repr_svg_(self) -> str: ...

@final
class Move:
    """A pass or a placement; made by `place`, `pass_move` or `decode`, not instantiated directly."""

    @staticmethod
    def place(col: SupportsIndex, row: SupportsIndex) -> Move:
        """A placement; col and row must be 0 to 255."""
    @staticmethod
    def pass_move() -> Move: ...
    def is_pass(self) -> bool: ...
    def col(self) -> int | None:
        """Column of a placement, None for a pass."""
    def row(self) -> int | None:
        """Row of a placement, None for a pass."""
    def encode(self, board_width: SupportsIndex, board_height: SupportsIndex) -> int:
        """Action index on a board of that size: row*width + col, width*height for a pass."""
    @staticmethod
    def decode(action: SupportsIndex, board_width: SupportsIndex, board_height: SupportsIndex) -> Move:
        """The move of an action; ValueError 'invalid action' when action > width*height."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    # Pickled through place/pass_move; immutable, so copies are the move itself.
    def __reduce__(self) -> tuple[Callable[..., Move], tuple[int, ...]]: ...
    def __copy__(self) -> Move: ...
    def __deepcopy__(self, memo: dict[int, object]) -> Move: ...

@final
class GameOutcome:
    """The result of a finished game; unhashable."""

    def winner(self) -> int | None:
        """1 (BLACK), -1 (WHITE), or None for a draw."""
    def encode_winner_absolute(self) -> float:
        """1.0, -1.0 or 0.0 from Black's side."""
    def encode_winner_from_perspective(self, perspective: SupportsIndex) -> float: ...
    def is_draw(self) -> bool: ...
    def name(self) -> str:
        """'Black wins', 'White wins' or 'Draw'."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Pickled through _from_code; immutable, so copies are the outcome itself.
    def __reduce__(self) -> tuple[Callable[[SupportsIndex], GameOutcome], tuple[int]]: ...
    @staticmethod
    def _from_code(code: SupportsIndex) -> GameOutcome:
        """0 BlackWin, 1 WhiteWin, 2 Draw; ValueError for other codes."""
    def __copy__(self) -> GameOutcome: ...
    def __deepcopy__(self, memo: dict[int, object]) -> GameOutcome: ...

@final
class GameBatch:
    """N games of one size and one set of rules, stepped together into caller buffers.

    Buffers are any C-contiguous writable buffer (NumPy arrays): planes hold N x 17 x H x W
    float32/uint8/bool items, masks N x (H*W + 1) uint8/bool, rewards and scores float32,
    flags uint8/bool, outcomes int8 (0 Black wins, 1 White wins, 2 draw, -1 not ended).
    Everything is checked before any game changes or any byte is written.
    """

    def __init__(
        self,
        num_games: SupportsIndex,
        width: SupportsIndex,
        height: SupportsIndex,
        *,
        komi: SupportsFloat | SupportsIndex = 7.5,
        min_moves_before_pass_possible: SupportsIndex | None = None,
        max_moves: SupportsIndex | None = None,
        superko: bool = True,
        autoreset: Literal["same_step", "next_step", "disabled"] = "same_step",
        illegal_action: Literal["raise", "lose"] = "raise",
        threads: SupportsIndex = 1,
        seed: SupportsIndex = 0,
    ) -> None:
        """None options take the defaults of Game(width, height); results are identical for every thread count."""
    def step(
        self,
        actions: Buffer | Sequence[SupportsIndex],
        *,
        obs: Buffer | None = None,
        mask: Buffer | None = None,
        reward: Buffer | None = None,
        reward_black: Buffer | None = None,
        terminated: Buffer | None = None,
        truncated: Buffer | None = None,
        final_obs: Buffer | None = None,
        outcome: Buffer | None = None,
        score: Buffer | None = None,
    ) -> None:
        """Play one action per game; ValueError naming the first bad game and action changes nothing.

        reward is from the side of each game's mover, reward_black from Black's; score is N x 2
        (black, white) for games that ended this step, NaN for the others; final_obs rows are
        written only for games that ended this step.
        """
    def observe(self, obs: Buffer | None = None, mask: Buffer | None = None) -> None:
        """The current observation and legal mask of every game."""
    @overload
    def sample_actions(self, out: None = None) -> list[int]:
        """A uniformly random legal action per game from its seeded stream (into out when given)."""
    @overload
    def sample_actions(self, out: Buffer) -> None: ...
    @overload
    def rollout(self, seed: SupportsIndex = 0) -> list[GameOutcome]:
        """Play a copy of every game to its end with random legal moves; the batch is unchanged.

        Writes the given buffers (length: uint32 moves played), or returns the outcomes when none is given.
        """
    @overload
    def rollout(
        self,
        seed: SupportsIndex = 0,
        outcome: Buffer | None = None,
        score: Buffer | None = None,
        length: Buffer | None = None,
    ) -> list[GameOutcome] | None: ...
    def game(self, index: SupportsIndex) -> Game:
        """A copy of the game in slot index (negative indices count from the end)."""
    def finished_game(self, index: SupportsIndex) -> Game | None:
        """A copy of the last game that ended in slot index, as it ended."""
    def set_game(self, index: SupportsIndex, game: Game) -> None:
        """Put a copy of game into slot index; ValueError when its size or rules differ."""
    def reset(self, seed: SupportsIndex | None = None) -> None:
        """A new game in every slot; a seed restarts every game's random stream."""
    def width(self) -> int: ...
    def height(self) -> int: ...
    def action_size(self) -> int:
        """width*height + 1."""
    def threads(self) -> int: ...
    def autoreset(self) -> str:
        """'same_step', 'next_step' or 'disabled'."""
    def __len__(self) -> int: ...
    # Pickled through _from_state with every game's full state.
    def __reduce__(self) -> tuple[Callable[[Buffer], GameBatch], tuple[bytes]]: ...
    @staticmethod
    def _from_state(state: Buffer) -> GameBatch:
        """The batch a saved state describes; ValueError for a corrupt state."""

class ReplayStop(TypedDict):
    move_number: int
    offset: int
    reason: str

class ReplayReport(TypedDict):
    moves_played: int
    record_moves: int
    inserted_passes: list[int]
    stopped: ReplayStop | None
    notes: list[str]

class RecordReport(TypedDict):
    source: int
    game: int
    first_position: int
    positions: int
    skipped: Literal["unreadable", "wrong size", "unknown result", "illegal move"] | None
    message: str

@final
class GameRecord:
    """One game of an SGF collection (FF[1] to FF[4]); immutable. Text values are decoded
    by the record's CA[] (UTF-8 by default; undecodable bytes replaced)."""

    @staticmethod
    def parse(source: str | bytes | bytearray | memoryview | PathLike[str] | PathLike[bytes],
              name: str | None = None) -> list[GameRecord]:
        """Every game of a collection. A str is SGF text, a bytes-like object raw SGF bytes,
        an os.PathLike a file. ValueError with the byte offset for malformed text or a board
        size that cannot be played; OSError for a file that cannot be read."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def komi(self) -> float:
        """KM; 0.0 when absent or unreadable (see notes)."""
    @property
    def handicap(self) -> int: ...
    @property
    def result(self) -> str | None:
        """RE as written."""
    @property
    def winner(self) -> int | None:
        """1 when Black won, -1 when White won, 0 for a draw, None when unknown."""
    @property
    def charset(self) -> str:
        """The codec text values are decoded with."""
    @property
    def name(self) -> str: ...
    @property
    def game_index(self) -> int: ...
    @property
    def move_count(self) -> int:
        """B and W moves on the main line."""
    @property
    def notes(self) -> tuple[str, ...]:
        """Root values a lenient read ignored, and komi corrections."""
    def root_properties(self) -> dict[str, list[str]]: ...
    def main_line(self) -> list[dict[str, list[str]]]:
        """Every node from the root along first children, as {identifier: values}."""
    def moves(self) -> list[tuple[int, Move]]:
        """The main line's moves as (colour, move); ValueError for a value that is no point."""
    def setup(self) -> tuple[list[tuple[int, int]], list[tuple[int, int]]]:
        """The root's black and white setup stones as (col, row), row 0 at the bottom."""
    def to_game(self, move_number: SupportsIndex | None = None, strict: bool = True, superko: bool = False,
                komi: SupportsFloat | None = None, max_moves: SupportsIndex | None = None) -> Game:
        """The game after `move_number` record moves (default: the whole main line). Strict
        (default): ValueError naming the record, move number and point for a move the rules
        refuse; lenient: the replay stops before it (see replay())."""
    def replay(self, move_number: SupportsIndex | None = None, strict: bool = True, superko: bool = False,
               komi: SupportsFloat | None = None, max_moves: SupportsIndex | None = None
               ) -> tuple[Game, ReplayReport]:
        """Like to_game, with what the replay did: inserted passes, where and why it stopped."""
    def final_board(self, move_number: SupportsIndex | None = None, strict: bool = True) -> Board:
        """The board after the replay, without the game around it (no history, simple ko
        only): several times faster than to_game. A lenient replay stops before a refused move."""
    def to_sgf(self, main_line_only: bool = False) -> bytes:
        """This game as SGF, every property byte for byte."""
    def __reduce__(self) -> tuple[object, ...]: ...

@final
class TrainingPositions:
    """Supervised-learning positions of width x height records: for every record move, the
    17 input planes before it, the move as an action (policy target) and the result from the
    mover's side (value target). Parsing, replay and writing run across threads with the
    interpreter lock released; results do not depend on the thread count."""

    def __init__(self, width: SupportsIndex = 19, height: SupportsIndex | None = None, *, superko: bool = False,
                 keep_unknown_results: bool = False, threads: SupportsIndex = 1) -> None: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    def __len__(self) -> int: ...
    def add(self, sources: Iterable[str | bytes | PathLike[str] | PathLike[bytes]],
            names: Sequence[str] | None = None,
            progress: bool | Callable[[int, int], object] | None = None) -> int | None:
        """Parses and replays records; returns the positions added (None when `progress`
        returned False: nothing of the call is kept). Records that cannot be used are kept in
        records() with the reason; they never stop the rest."""
    def write(self, planes: Buffer | None = None, action: Buffer | None = None, value: Buffer | None = None,
              first: SupportsIndex = 0, has_value: Buffer | None = None, record: Buffer | None = None,
              transform: Buffer | None = None, random_symmetry: bool = False, seed: SupportsIndex = 0,
              threads: SupportsIndex = 1,
              progress: bool | Callable[[int, int], object] | None = None) -> int | None:
        """Writes positions [first, first + n), n given by the buffers: planes n x 17 x height
        x width (uint8, bool or float32), action int32 (a pass is width x height), value
        float32 (+1 mover won, -1 lost, 0 draw), has_value uint8, record uint32 (index into
        records()), transform uint8 (symmetry applied)."""
    def records(self, skipped_only: bool = False) -> list[RecordReport]: ...
    def clear(self) -> None: ...

@final
class TreeSearch:
    """Many tree searches at once, one per root game, with one evaluator call per round.

    Each round selects up to `leaves_per_tree` leaves in every tree (more than one
    spreads them with virtual loss), writes their input planes and legal masks into
    one array and calls `evaluate(planes, masks)` with rows [0, n): planes of shape
    (n, 17, H, W) (float32, or uint8 with planes="uint8") and masks (n, H*W + 1) bool.
    It returns (policy, values): float32 arrays of shape (n, H*W + 1) (logits, or
    probabilities with policy="probabilities") and (n,), from the side to move at
    each leaf. The arrays passed in are reused between rounds: copy to keep them.
    Terminal leaves take their value from the outcome and get no row. The trees are
    worked on without the interpreter lock. A round that fails (the evaluator
    raising, a result of the wrong type, shape or dtype, NaN, a tree past
    `max_tree_bytes` (MemoryError), Ctrl-C) is taken back before the error reaches
    the caller.

    rule="puct": AlphaZero's PUCT with c(s) = c_init + log((N + c_base + 1) / c_base),
    Dirichlet noise at the root (dirichlet_alpha, dirichlet_fraction; 0 turns it off),
    first-play urgency (Q(parent) - fpu_reduction, or fpu_value when fpu_absolute) and
    the move drawn with probability proportional to N^(1/temperature) (0: most visited).
    rule="gumbel": Gumbel root search with sequential halving over up to
    max_considered_actions actions and the completed-Q improved policy (gumbel_scale,
    c_visit, c_scale, rescale_values, mixed_value, epsilon as in mctx).

    Tree reuse (reuse_tree): a game passed again after one more move (played from
    the result's action or any other) keeps the subtree of that move, and the same
    game passed again keeps its whole tree; with reuse_tree=False every search starts
    from a new tree; a GameBatch stepped by the result's actions is followed the
    same way (a game it restarted gets a new tree). Tree t draws its randomness
    from a stream of `seed` and t, so results are deterministic. threads=N splits
    the trees over N threads (the evaluator is still called once per round, with
    the rows in tree order): every result is the same for every N.
    Not picklable: its trees are a cache.
    """

    def __init__(
        self,
        width: SupportsIndex,
        height: SupportsIndex,
        /,
        *,
        rule: Literal["puct", "gumbel"] = "puct",
        num_simulations: SupportsIndex = 800,
        leaves_per_tree: SupportsIndex = 1,
        virtual_loss: SupportsFloat = 1.0,
        reuse_tree: bool = True,
        max_tree_bytes: SupportsIndex = 1 << 30,
        seed: SupportsIndex = 0,
        threads: SupportsIndex = 1,
        planes: Literal["float32", "uint8"] = "float32",
        policy: Literal["logits", "probabilities"] = "logits",
        c_init: SupportsFloat = 1.25,
        c_base: SupportsFloat = 19652.0,
        fpu_reduction: SupportsFloat = 0.0,
        fpu_absolute: bool = False,
        fpu_value: SupportsFloat = -1.0,
        dirichlet_alpha: SupportsFloat = 0.03,
        dirichlet_fraction: SupportsFloat = 0.25,
        temperature: SupportsFloat = 1.0,
        max_considered_actions: SupportsIndex = 16,
        gumbel_scale: SupportsFloat = 1.0,
        c_visit: SupportsFloat = 50.0,
        c_scale: SupportsFloat = 0.1,
        rescale_values: bool = True,
        mixed_value: bool = True,
        epsilon: SupportsFloat = 1e-8,
    ) -> None: ...
    def search(self, games: Sequence[Game] | GameBatch, evaluate: _Evaluator) -> _SearchResult:
        """Searches every game (one tree each; the trees follow the list, or the
        batch's games, by position) for num_simulations evaluations and returns, per game: "actions" the move
        chosen (int32), "visit_counts" per action (int32; PUCT: every visit of the
        root's edges, reused ones included; Gumbel: this search's), "policy" the
        policy target (PUCT: visits normalised; Gumbel: the improved policy),
        "values" the root value from its side to move and "simulations"."""
    def reset(self) -> None:
        """Forgets every tree: the next search starts as a new TreeSearch's would."""
    def tree_bytes(self) -> list[int]:
        """Bytes of the nodes and edges in use, per tree."""
    def pool_bytes(self) -> list[int]:
        """Bytes each tree's pools hold (kept from move to move)."""
    def _check_consistency(self) -> bool: ...
    def __reduce__(self) -> NoReturn: ...

class _SearchResult(TypedDict):
    actions: Any
    visit_counts: Any
    policy: Any
    values: Any
    simulations: Any

_Evaluator = Callable[[Any, Any], tuple[Any, Any]]
"""evaluate(planes, masks) -> (policy, values), NumPy arrays as TreeSearch describes."""
