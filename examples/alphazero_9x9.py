"""A small AlphaZero loop on 9x9 with PyTorch on the CPU.

Each iteration plays a batch of self-play games at once with vexlor_go.TreeSearch
(Gumbel root search by default: useful from 16 simulations on), the network
evaluating every tree's leaves in one call per round; trains a small residual
network on the positions (policy target: the search's improved policy; value
target: the game's result), and measures the network with search against a
uniform random player. The learning curve is printed at the end.

    pip install ".[alphazero]"
    python examples/alphazero_9x9.py            # a few minutes on 2 cores
    python examples/alphazero_9x9.py --quick    # a smoke run of seconds
    python examples/alphazero_9x9.py --gnugo    # also play GNU Go level 1 over GTP

Options: --help.
"""

from __future__ import annotations

import argparse
import json
import math
import shutil
import subprocess
import sys
import time
from collections import deque

import numpy as np
import torch
from torch import nn

import vexlor_go as vg

SIZE = 9
AREA = SIZE * SIZE
ACTIONS = AREA + 1


# --- the network ---------------------------------------------------------------------------


class Block(nn.Module):
    def __init__(self, channels):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x):
        y = torch.relu(self.bn1(self.conv1(x)))
        return torch.relu(x + self.bn2(self.conv2(y)))


class Net(nn.Module):
    """Residual tower; policy logits over the 82 actions and a value in [-1, 1]
    from the side to move."""

    def __init__(self, channels=32, blocks=3):
        super().__init__()
        self.stem = nn.Sequential(
            nn.Conv2d(vg.TOTAL_INPUT_PLANES, channels, 3, padding=1, bias=False), nn.BatchNorm2d(channels), nn.ReLU()
        )
        self.tower = nn.Sequential(*[Block(channels) for _ in range(blocks)])
        self.policy = nn.Sequential(nn.Conv2d(channels, 2, 1, bias=False), nn.BatchNorm2d(2), nn.ReLU(), nn.Flatten())
        self.policy_fc = nn.Linear(2 * AREA, ACTIONS)
        self.value = nn.Sequential(nn.Conv2d(channels, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU(), nn.Flatten())
        self.value_fc = nn.Sequential(nn.Linear(AREA, 64), nn.ReLU(), nn.Linear(64, 1), nn.Tanh())

    def forward(self, x):
        h = self.tower(self.stem(x))
        return self.policy_fc(self.policy(h)), self.value_fc(self.value(h)).squeeze(1)


def evaluator(net):
    """The callable TreeSearch calls once per round with every tree's leaves."""

    @torch.no_grad()
    def evaluate(planes, masks):
        logits, values = net(torch.from_numpy(planes))
        return logits.numpy(), values.numpy()

    return evaluate


# --- self-play -------------------------------------------------------------------------------


MAX_MOVES = 2 * AREA


def new_game():
    # Komi 7.5, passes from move 40, superko; ended by area score after MAX_MOVES at the latest.
    return vg.Game.with_options(SIZE, SIZE, 7.5, 40, MAX_MOVES, True)


def root_planes(games):
    out = np.zeros((len(games), vg.TOTAL_INPUT_PLANES, SIZE, SIZE), np.float32)
    vg.Game.encode_planes_batch(games, out)
    return out


def self_play(net, args, seed, progress):
    """args.games finished games, played args.parallel at a time with one search
    over all of them per move. Returns (planes, policy targets, value targets)."""
    net.eval()
    search = search_for(args, seed, exploring=True)
    evaluate = evaluator(net)
    games = [new_game() for _ in range(args.parallel)]
    history = [[] for _ in games]  # (planes, policy, side to move) per game
    planes_out, policy_out, value_out = [], [], []
    finished = 0
    moves = 0
    while finished < args.games:
        result = search.search(games, evaluate)
        roots = root_planes(games)
        for i, g in enumerate(games):
            history[i].append((roots[i], result["policy"][i].copy(), g.turn()))
            assert g.apply_action(int(result["actions"][i]))
            moves += 1
            if g.is_over():
                winner = g.outcome().winner()
                for planes, policy, turn in history[i]:
                    planes_out.append(planes)
                    policy_out.append(policy)
                    value_out.append(0.0 if winner is None else (1.0 if winner == turn else -1.0))
                finished += 1
                progress(f"self-play games {min(finished, args.games)}/{args.games}, {moves} moves")
                history[i] = []
                # A fresh game takes the slot (its tree starts over); past the quota the slot replays one.
                games[i] = new_game()
    return np.stack(planes_out), np.stack(policy_out), np.array(value_out, np.float32)


def search_for(args, seed, exploring):
    common = dict(num_simulations=args.simulations, leaves_per_tree=1, seed=seed)
    if args.rule == "gumbel":
        return vg.TreeSearch(SIZE, SIZE, rule="gumbel", max_considered_actions=16,
                             gumbel_scale=1.0 if exploring else 0.0, **common)
    return vg.TreeSearch(SIZE, SIZE, rule="puct", dirichlet_alpha=0.15, dirichlet_fraction=0.25 if exploring else 0.0,
                         temperature=1.0 if exploring else 0.0, **common)


# --- training -----------------------------------------------------------------------------------


def symmetry(planes, policy, k, flip):
    """One of the 8 board symmetries applied to planes [n, C, H, W] and policies [n, A + 1]."""
    board = policy[:, :AREA].reshape(-1, SIZE, SIZE)
    planes = np.rot90(planes, k, axes=(2, 3))
    board = np.rot90(board, k, axes=(1, 2))
    if flip:
        planes, board = planes[..., ::-1], board[..., ::-1]
    policy = np.concatenate([board.reshape(-1, AREA), policy[:, AREA:]], axis=1)
    return np.ascontiguousarray(planes), np.ascontiguousarray(policy)


def train(net, optimizer, buffer, args, rng):
    planes, policy, value = (np.concatenate(x) for x in zip(*buffer))
    net.train()
    policy_losses, value_losses = [], []
    for _ in range(args.train_steps):
        idx = rng.integers(0, len(planes), args.batch_size)
        p, pi = symmetry(planes[idx], policy[idx], int(rng.integers(4)), bool(rng.integers(2)))
        logits, v = net(torch.from_numpy(p))
        policy_loss = -(torch.from_numpy(pi) * torch.log_softmax(logits, dim=1)).sum(1).mean()
        value_loss = ((v - torch.from_numpy(value[idx])) ** 2).mean()
        optimizer.zero_grad()
        (policy_loss + value_loss).backward()
        optimizer.step()
        policy_losses.append(policy_loss.item())
        value_losses.append(value_loss.item())
    net.eval()
    return float(np.mean(policy_losses)), float(np.mean(value_losses))


# --- evaluation -----------------------------------------------------------------------------------


def play_match(net, args, seed, opponent):
    """args.eval_games games of the network with search against `opponent(games, logs)
    -> actions` (logs: the actions played in each game), half with each colour.
    Returns the network's score (a draw counts half)."""
    evaluate = evaluator(net)
    score = 0.0
    for net_colour in (vg.BLACK, vg.WHITE):
        n = args.eval_games // 2 + (args.eval_games % 2 if net_colour == vg.BLACK else 0)
        games = [new_game() for _ in range(n)]
        logs = [[] for _ in games]
        search = search_for(args, seed, exploring=False)
        while True:
            live = [i for i, g in enumerate(games) if not g.is_over()]
            if not live:
                break
            ours = [i for i in live if games[i].turn() == net_colour]
            theirs = [i for i in live if games[i].turn() != net_colour]
            if ours:
                chosen = search.search([games[i] for i in ours], evaluate)["actions"]
            else:
                chosen = []
            if theirs:
                chosen = [*chosen, *opponent([games[i] for i in theirs], [logs[i] for i in theirs])]
            for i, a in zip(ours + theirs, chosen):
                assert games[i].apply_action(int(a))
                logs[i].append(int(a))
        if hasattr(opponent, "close"):
            opponent.close()
        for g in games:
            winner = g.outcome().winner()
            score += 0.5 if winner is None else float(winner == net_colour)
    return score / args.eval_games


def random_player(seed):
    rng = np.random.default_rng(seed)
    return lambda games, logs: [int(rng.choice(g.legal_action_indices())) for g in games]


COLUMNS = "ABCDEFGHJKLMNOPQRST"


def gtp_vertex(action):
    """GTP columns are letters without I; our row 0 is GTP row 1."""
    return "pass" if action == AREA else f"{COLUMNS[action % SIZE]}{action // SIZE + 1}"


def gtp_action(vertex):
    vertex = vertex.upper()
    if vertex in ("PASS", "RESIGN"):
        return AREA
    return (int(vertex[1:]) - 1) * SIZE + COLUMNS.index(vertex[0])


class GnuGo:
    """GNU Go level 1 over GTP, one process per game, told every move played. A move
    our rules refuse (positional superko) is taken back and replaced by a pass."""

    def __init__(self, path):
        self.path = path
        self.procs = {}  # game index in the match -> (process, moves sent)

    @staticmethod
    def _send(proc, command):
        proc.stdin.write(command + "\n")
        proc.stdin.flush()
        reply = proc.stdout.readline().strip()
        while proc.stdout.readline().strip():
            pass
        if not reply.startswith("="):
            raise RuntimeError(f"gnugo: {command!r} -> {reply!r}")
        return reply[1:].strip()

    def __call__(self, games, logs):
        actions = []
        for g, log in zip(games, logs):
            key = id(log)
            if key not in self.procs:
                proc = subprocess.Popen([self.path, "--mode", "gtp", "--level", "1", "--chinese-rules"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                for command in (f"boardsize {SIZE}", "clear_board", "komi 7.5"):
                    self._send(proc, command)
                self.procs[key] = (proc, 0)
            proc, sent = self.procs[key]
            for k in range(sent, len(log)):
                colour = "B" if k % 2 == 0 else "W"
                self._send(proc, f"play {colour} {gtp_vertex(log[k])}")
            action = gtp_action(self._send(proc, "genmove " + ("B" if g.turn() == vg.BLACK else "W")))
            if action not in g.legal_action_indices():
                self._send(proc, "undo")
                action = AREA if AREA in g.legal_action_indices() else g.legal_action_indices()[0]
                self.procs[key] = (proc, len(log))
            else:
                self.procs[key] = (proc, len(log) + 1)
            actions.append(action)
        return actions

    def close(self):
        for proc, _ in self.procs.values():
            proc.stdin.close()
            proc.kill()
            proc.wait()
        self.procs.clear()


# --- the loop -----------------------------------------------------------------------------------


class Progress:
    def __init__(self, total):
        self.total, self.done, self.start = total, 0, time.perf_counter()

    def step(self):
        self.done += 1

    def __call__(self, text):
        width = 24
        filled = int(width * self.done / self.total)
        elapsed = time.perf_counter() - self.start
        sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} "
                         f"{elapsed:6.0f}s  {text:<48}")
        sys.stderr.flush()


def main(argv=None):
    global MAX_MOVES
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--iterations", type=int, default=6)
    parser.add_argument("--games", type=int, default=32, help="self-play games per iteration")
    parser.add_argument("--parallel", type=int, default=32, help="self-play games searched at once")
    parser.add_argument("--simulations", type=int, default=32)
    parser.add_argument("--rule", choices=["gumbel", "puct"], default="gumbel")
    parser.add_argument("--train-steps", type=int, default=150)
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--buffer-iterations", type=int, default=3, help="iterations of positions trained on")
    parser.add_argument("--eval-games", type=int, default=32)
    parser.add_argument("--channels", type=int, default=32)
    parser.add_argument("--blocks", type=int, default=3)
    parser.add_argument("--lr", type=float, default=2e-3)
    parser.add_argument("--threads", type=int, default=1, help="torch threads (more only on idle cores)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--max-moves", type=int, default=MAX_MOVES, help="a game ends by score after this many moves")
    parser.add_argument("--gnugo", action="store_true", help="also play GNU Go level 1 (needs gnugo on PATH)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: tiny everything")
    parser.add_argument("--json", help="write the learning curve here")
    args = parser.parse_args(argv)
    if args.quick:
        args.iterations, args.games, args.parallel, args.simulations = 1, 4, 4, 4
        args.train_steps, args.batch_size, args.eval_games, args.channels, args.blocks = 10, 32, 2, 16, 1
        args.max_moves = 30
    MAX_MOVES = args.max_moves

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    rng = np.random.default_rng(args.seed)
    net = Net(args.channels, args.blocks)
    net.eval()
    optimizer = torch.optim.AdamW(net.parameters(), lr=args.lr, weight_decay=1e-4)
    gnugo = None
    if args.gnugo:
        path = shutil.which("gnugo") or shutil.which("gnugo", path="/usr/games")
        if path is None:
            parser.error("--gnugo: gnugo is not on PATH")
        gnugo = GnuGo(path)

    progress = Progress(2 * args.iterations + 1)
    curve = []
    start = time.perf_counter()

    def evaluate_now(iteration, losses, positions):
        progress("evaluating against uniform random")
        row = dict(iteration=iteration, positions=positions, policy_loss=losses[0], value_loss=losses[1],
                   vs_random=play_match(net, args, args.seed + 1000 + iteration, random_player(iteration)))
        if gnugo:
            progress("evaluating against GNU Go level 1")
            row["vs_gnugo"] = play_match(net, args, args.seed + 2000 + iteration, gnugo)
        row["seconds"] = time.perf_counter() - start
        curve.append(row)
        progress.step()
        sys.stderr.write(f"\riteration {iteration}: win rate against uniform random {row['vs_random']:.0%}"
                         + (f", against GNU Go {row['vs_gnugo']:.0%}" if gnugo else "") + " " * 40 + "\n")

    evaluate_now(0, (math.nan, math.nan), 0)
    buffer = deque(maxlen=args.buffer_iterations)
    total_positions = 0
    for it in range(1, args.iterations + 1):
        t = time.perf_counter()
        data = self_play(net, args, args.seed + it, progress)
        selfplay_seconds = time.perf_counter() - t
        buffer.append(data)
        total_positions += len(data[0])
        progress.step()
        progress(f"training on {sum(len(d[0]) for d in buffer)} positions")
        losses = train(net, optimizer, buffer, args, rng)
        evaluate_now(it, losses, total_positions)
        curve[-1]["selfplay_positions_per_s"] = len(data[0]) / selfplay_seconds
    sys.stderr.write("\n")

    print(f"AlphaZero 9x9: {args.iterations} iterations x {args.games} games, {args.rule} search of "
          f"{args.simulations} simulations, net {args.blocks} blocks x {args.channels} channels")
    head = f"{'iter':>4} {'positions':>9} {'policy loss':>11} {'value loss':>10} {'vs random':>9}"
    head += f" {'vs gnugo':>8}" if gnugo else ""
    print(head)
    for row in curve:
        line = (f"{row['iteration']:>4} {row['positions']:>9} {row['policy_loss']:>11.3f} {row['value_loss']:>10.3f} "
                f"{row['vs_random']:>9.0%}")
        line += f" {row['vs_gnugo']:>8.0%}" if gnugo else ""
        print(line)
    first, last = curve[0]["vs_random"], curve[-1]["vs_random"]
    print(f"win rate against uniform random with search: {first:.0%} untrained -> {last:.0%} trained "
          f"({time.perf_counter() - start:.0f} s)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(curve, f, indent=1)
    return curve


if __name__ == "__main__":
    main()
