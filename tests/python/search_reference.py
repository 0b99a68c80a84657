"""Literal tree searches over vexlor_go.Game, one simulation at a time.

The C++ batched search must reproduce these exactly (visit counts, chosen
moves, bit for bit values) when it selects one leaf per tree and round. Each
rule is written as its paper and mctx state it, over dense per-node arrays of
all width*height + 1 actions (illegal ones never visited, logit -inf), with no
batching and no virtual loss. Floating point is Python's double, in the same
order as the C++; PUCT priors are rounded to float32, as the tree stores them.

Conventions shared with the C++ search:
- A value is from the side to move at its node, +1 a win; an edge's W is from
  the side to move at its parent. The root's own evaluation is not a simulation.
- Tree t draws from splitmix64 seeded with seed ^ (t * 0xD1B54A32D192ED03):
  the root noise when the root is first expanded in a search (Dirichlet or
  Gumbel over the legal root actions, ascending), then one uniform for a PUCT
  move drawn with temperature.
- An evaluator takes (planes uint8 [n, 17, H, W], masks uint8 [n, A + 1]) and
  returns (policy float32 [n, A + 1], values float32 [n]).

`python search_reference.py` prints the cases the C++ engine tests pin.
"""

import math
import struct

import numpy as np

import vexlor_go as vg

M64 = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
STREAM_KEY = 0xD1B54A32D192ED03
FLT_MIN = 1.1754943508222875e-38  # smallest normal float32, as mctx's finfo(float32).tiny
INF = math.inf


def f32(x):
    """x rounded to float32."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def mix64(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


class Random:
    """splitmix64 and the draws built on it."""

    def __init__(self, seed=0, stream=0):
        self.state = (seed ^ (stream * STREAM_KEY)) & M64

    def next(self):
        self.state = (self.state + GOLDEN) & M64
        return mix64(self.state)

    def uniform(self):
        return (self.next() >> 11) * 2.0**-53

    def uniform_open(self):
        return ((self.next() >> 11) + 0.5) * 2.0**-53

    def gumbel(self):
        return -math.log(-math.log(self.uniform_open()))

    def normal(self):
        u1 = self.uniform_open()
        u2 = self.uniform()
        return math.sqrt(-2.0 * math.log(u1)) * math.cos(6.283185307179586 * u2)

    def gamma(self, alpha):
        """Marsaglia and Tsang; below 1, gamma(alpha + 1) * u ** (1 / alpha)."""
        if alpha < 1.0:
            g = self.gamma(alpha + 1.0)
            u = self.uniform_open()
            return g * u ** (1.0 / alpha)
        d = alpha - 1.0 / 3.0
        c = 1.0 / math.sqrt(9.0 * d)
        while True:
            x = self.normal()
            v = 1.0 + c * x
            if v <= 0.0:
                continue
            v = v * v * v
            u = self.uniform_open()
            if u < 1.0 - 0.0331 * (x * x) * (x * x):
                return d * v
            if math.log(u) < 0.5 * x * x + d * (1.0 - v + math.log(v)):
                return d * v

    def dirichlet(self, alpha, n):
        g = [self.gamma(alpha) for _ in range(n)]
        total = 0.0
        for x in g:
            total += x
        return [x / total if total > 0.0 else 1.0 / n for x in g]


def softmax(x):
    """exp(x - max) / sum, summed in order; -inf entries get 0."""
    m = max(x)
    e = [math.exp(v - m) for v in x]
    total = 0.0
    for v in e:
        total += v
    return [v / total for v in e]


def considered_visit_sequence(max_num_considered_actions, num_simulations):
    """mctx's seq_halving.get_sequence_of_considered_visits, as written there."""
    if max_num_considered_actions <= 1:
        return tuple(range(num_simulations))
    log2max = int(math.ceil(math.log2(max_num_considered_actions)))
    sequence = []
    visits = [0] * max_num_considered_actions
    num_considered = max_num_considered_actions
    while len(sequence) < num_simulations:
        num_extra_visits = max(1, int(num_simulations / (log2max * num_considered)))
        for _ in range(num_extra_visits):
            sequence.extend(visits[:num_considered])
            for i in range(num_considered):
                visits[i] += 1
        num_considered = max(2, num_considered // 2)
    return tuple(sequence[:num_simulations])


class Node:
    """An evaluated position: dense statistics of its actions."""

    def __init__(self, num_actions, legal, value, terminal):
        self.legal = legal  # ascending
        self.value = value  # evaluator value or outcome, from the side to move here
        self.terminal = terminal
        self.N = [0] * num_actions
        self.W = [0.0] * num_actions
        self.P = [0.0] * num_actions  # PUCT priors (float32 values)
        self.logits = [-INF] * num_actions  # Gumbel
        self.children = {}


def outcome_value(game):
    winner = game.outcome().winner()
    if winner is None:
        return 0.0
    return 1.0 if winner == game.turn() else -1.0


class ReferenceSearch:
    """One tree over one game; rule "puct" or "gumbel". Options as the C++ Options."""

    def __init__(
        self,
        rule,
        evaluate,
        num_simulations,
        seed=0,
        tree=0,
        policy="logits",
        reuse_tree=True,
        c_init=1.25,
        c_base=19652.0,
        fpu_reduction=0.0,
        fpu_absolute=False,
        fpu_value=-1.0,
        dirichlet_alpha=0.03,
        dirichlet_fraction=0.25,
        temperature=1.0,
        max_considered_actions=16,
        gumbel_scale=1.0,
        c_visit=50.0,
        c_scale=0.1,
        rescale_values=True,
        mixed_value=True,
        epsilon=1e-8,
    ):
        assert rule in ("puct", "gumbel") and policy in ("logits", "probabilities")
        self.rule = rule
        self.evaluate = evaluate
        self.num_simulations = num_simulations
        self.rng = Random(seed, tree)
        self.policy = policy
        self.reuse_tree = reuse_tree
        self.c_init, self.c_base = c_init, c_base
        self.fpu_reduction, self.fpu_absolute, self.fpu_value = fpu_reduction, fpu_absolute, fpu_value
        self.dirichlet_alpha, self.dirichlet_fraction = dirichlet_alpha, dirichlet_fraction
        self.temperature = temperature
        self.max_considered_actions = max_considered_actions
        self.gumbel_scale = gumbel_scale
        self.c_visit, self.c_scale = c_visit, c_scale
        self.rescale_values, self.mixed_value, self.epsilon = rescale_values, mixed_value, epsilon
        self.game = None
        self.root = None
        self.root_N = 0
        self.root_W = 0.0

    # --- roots -------------------------------------------------------------

    def set_root(self, game):
        self.game = game.clone()
        self.root = None
        self.root_N, self.root_W = 0, 0.0

    def play(self, action):
        """Plays the action on the root game; with reuse its subtree becomes the tree."""
        assert self.game.apply_action(action)
        child = self.root.children.get(action) if self.root is not None and self.reuse_tree else None
        if child is None:
            self.root, self.root_N, self.root_W = None, 0, 0.0
            return
        self.root_N, self.root_W = self.root.N[action], -self.root.W[action]
        self.root = child

    # --- evaluation and expansion ------------------------------------------

    def _expand(self, game):
        """Evaluates the position on the game and returns its new node."""
        if game.is_over():
            return Node(0, [], outcome_value(game), True)
        h, w = game.height(), game.width()
        a = h * w + 1
        planes = np.zeros((1, vg.TOTAL_INPUT_PLANES, h, w), dtype=np.uint8)
        masks = np.zeros((1, a), dtype=np.uint8)
        game.encode_planes_into(planes)
        game.legal_action_mask_into(masks)
        policy, values = self.evaluate(planes, masks)
        row = [float(x) for x in np.asarray(policy, dtype=np.float32)[0]]
        value = float(np.asarray(values, dtype=np.float32)[0])
        legal = game.legal_action_indices()
        node = Node(a, legal, value, False)
        if self.rule == "puct":
            if self.policy == "logits":
                m = max(row[x] for x in legal)
                e = [math.exp(row[x] - m) for x in legal]
                total = 0.0
                for v in e:
                    total += v
                for x, v in zip(legal, e):
                    node.P[x] = f32(v / total)
            else:
                total = 0.0
                for x in legal:
                    total += row[x]
                for x in legal:
                    node.P[x] = f32(row[x] / total)
        else:
            for x in legal:
                node.logits[x] = row[x] if self.policy == "logits" else f32(math.log(max(row[x], FLT_MIN)))
        return node

    # --- PUCT --------------------------------------------------------------

    def _puct_select(self, node, node_n, node_q, priors):
        c = self.c_init + math.log((node_n + self.c_base + 1.0) / self.c_base)
        k = math.sqrt(node_n) * c
        fpu = self.fpu_value if self.fpu_absolute else node_q - self.fpu_reduction
        best, best_score = None, -INF
        for a in node.legal:
            n = node.N[a]
            q = node.W[a] / n if n else fpu
            score = q + k * priors[a] / (n + 1.0)
            if score > best_score:
                best, best_score = a, score
        return best

    def _puct_choose(self):
        legal = self.root.legal
        N = self.root.N
        most = legal[0]
        for a in legal:
            if N[a] > N[most]:
                most = a
        if N[most] == 0:
            for a in legal:
                if self.root_priors[a] > self.root_priors[most]:
                    most = a
            return most
        if self.temperature == 0.0:
            return most
        max_n = float(N[most])
        power = 1.0 / self.temperature
        total = 0.0
        for a in legal:
            total += (N[a] / max_n) ** power
        r = self.rng.uniform() * total
        running, last = 0.0, most
        for a in legal:
            weight = (N[a] / max_n) ** power
            running += weight
            if weight > 0.0:
                last = a
            if r < running:
                return a
        return last

    # --- Gumbel (mctx's qtransform_completed_by_mix_value and selections) ----

    def _completed_sigma(self, node):
        """sigma(completed Q) for every action of the node (dense)."""
        N, W = node.N, node.W
        num_actions = len(N)
        qvalues = [W[a] / N[a] if N[a] > 0 else 0.0 for a in range(num_actions)]
        prior_probs = [max(FLT_MIN, p) for p in softmax(node.logits)]
        value = node.value
        if self.mixed_value:
            sum_visit_counts = sum(N)
            sum_probs = 0.0
            for a in range(num_actions):
                if N[a] > 0:
                    sum_probs += prior_probs[a]
            weighted_q = 0.0
            for a in range(num_actions):
                if N[a] > 0:
                    weighted_q += prior_probs[a] * qvalues[a] / sum_probs
            value = (value + sum_visit_counts * weighted_q) / (sum_visit_counts + 1.0)
        completed = [qvalues[a] if N[a] > 0 else value for a in range(num_actions)]
        if self.rescale_values:
            lo, hi = min(completed), max(completed)
            span = max(hi - lo, self.epsilon)
            completed = [(q - lo) / span for q in completed]
        scale = (self.c_visit + max(N)) * self.c_scale
        return [scale * q for q in completed]

    def _gumbel_interior_select(self, node):
        sigma = self._completed_sigma(node)
        probs = softmax([node.logits[a] + sigma[a] for a in range(len(sigma))])
        denominator = 1.0 + sum(node.N)
        best, best_score = None, -INF
        for a in node.legal:
            score = probs[a] - node.N[a] / denominator
            if score > best_score:
                best, best_score = a, score
        return best

    def _gumbel_root_select(self, considered_visit):
        node = self.root
        sigma = self._completed_sigma(node)
        lmax = max(node.logits)
        best, best_score = node.legal[0], -INF
        for a in node.legal:
            if self.search_visits[a] != considered_visit:
                continue
            score = max(-1e9, self.gumbel[a] + (node.logits[a] - lmax) + sigma[a])
            if score > best_score:
                best, best_score = a, score
        return best

    def _improved_policy(self):
        node = self.root
        sigma = self._completed_sigma(node)
        lmax = max(node.logits)
        return softmax([(node.logits[a] - lmax) + sigma[a] for a in range(len(sigma))])

    # --- the search --------------------------------------------------------

    def _prepare_root(self):
        legal = self.root.legal
        if self.rule == "puct":
            self.root_priors = list(self.root.P)
            if self.dirichlet_fraction > 0:
                eta = self.rng.dirichlet(self.dirichlet_alpha, len(legal))
                f = self.dirichlet_fraction
                for a, e in zip(legal, eta):
                    self.root_priors[a] = (1.0 - f) * self.root.P[a] + f * e
        else:
            self.gumbel = [0.0] * len(self.root.N)
            for a in legal:
                self.gumbel[a] = self.gumbel_scale * self.rng.gumbel()
            self.search_visits = [0] * len(self.root.N)
            num_considered = min(self.max_considered_actions, len(legal))
            self.considered = considered_visit_sequence(num_considered, self.num_simulations)

    def _select(self, node, depth, parent, parent_action):
        if self.rule == "puct":
            if depth == 0:
                return self._puct_select(node, float(self.root_N), self.root_W / self.root_N, self.root_priors)
            n = parent.N[parent_action]
            return self._puct_select(node, float(n), -parent.W[parent_action] / n, node.P)
        if depth == 0:
            return self._gumbel_root_select(self.considered[sum(self.search_visits)])
        return self._gumbel_interior_select(node)

    def _simulate(self):
        game = self.game
        node, parent, parent_action = self.root, None, None
        path = []
        while True:
            a = self._select(node, len(path), parent, parent_action)
            path.append((node, a))
            assert game.apply_action(a)
            child = node.children.get(a)
            if child is None:
                child = self._expand(game)
                node.children[a] = child
                v = child.value
                break
            if child.terminal:
                v = child.value
                break
            node, parent, parent_action = child, node, a
        for _ in path:
            game.unmake_move()
        sign = -1.0
        for n, a in reversed(path):
            n.N[a] += 1
            n.W[a] += sign * v
            sign = -sign
        self.root_N += 1
        self.root_W += -sign * v
        if self.rule == "gumbel":
            self.search_visits[path[0][1]] += 1

    def search(self):
        """One search from the root; returns a dict: visits, policy (lists of
        A + 1), value, action and simulations."""
        assert not self.game.is_over()
        if self.root is None:
            self.root = self._expand(self.game)
            self.root_N, self.root_W = 1, self.root.value
        self._prepare_root()
        for _ in range(self.num_simulations):
            self._simulate()
        root = self.root
        if self.rule == "puct":
            action = self._puct_choose()
            visits = list(root.N)
            total = sum(visits)
            policy = [n / total for n in visits]
        else:
            most = max(self.search_visits)
            action = self._gumbel_root_select(most)
            visits = list(self.search_visits)
            policy = self._improved_policy()
        return {
            "visits": visits,
            "policy": policy,
            "value": self.root_W / self.root_N,
            "action": action,
            "simulations": self.num_simulations,
        }


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & M64
    return h


def hash_evaluator(planes, masks):
    """A deterministic stand-in for a network: logits in [-2, 2] and a value in
    [-1, 1], from an FNV-1a hash of the leaf's uint8 planes and mask."""
    n, a = masks.shape
    policy = np.zeros((n, a), dtype=np.float32)
    values = np.zeros(n, dtype=np.float32)
    for i in range(n):
        h = fnv1a64(planes[i].tobytes() + masks[i].tobytes())
        for x in range(a):
            policy[i, x] = ((mix64(h ^ x) >> 40) % 2001) / 500.0 - 2.0
        values[i] = ((mix64(h) >> 40) % 2001) / 1000.0 - 1.0
    return policy, values


def hash_probability_evaluator(planes, masks):
    """hash_evaluator's logits l mapped to probabilities (l + 2) / 4 (not normalised)."""
    policy, values = hash_evaluator(planes, masks)
    return ((policy.astype(np.float64) + 2.0) / 4.0).astype(np.float32), values


def game_after(width, height, actions, komi=7.5, min_moves=0, max_moves=1000, superko=True):
    game = vg.Game.with_options(width, height, komi, min_moves, max_moves, superko)
    for a in actions:
        assert game.apply_action(a)
    return game


# Cases pinned by tests/cpp/search_reference_test.cpp: (name, board, actions, options, searches).
GOLDEN_CASES = [
    ("puct_3x3_noise", (3, 3), [], dict(rule="puct", num_simulations=60, seed=7), 1),
    ("puct_4x4_fpu_absolute", (4, 4), [5, 10], dict(rule="puct", num_simulations=80, seed=3, fpu_absolute=True,
                                                    fpu_value=0.0, dirichlet_fraction=0.0, temperature=0.0), 1),
    ("puct_5x5_reuse", (5, 5), [12], dict(rule="puct", num_simulations=50, seed=11, fpu_reduction=0.25), 3),
    ("gumbel_4x4", (4, 4), [], dict(rule="gumbel", num_simulations=32, seed=5, max_considered_actions=8), 1),
    ("gumbel_5x5_reuse", (5, 5), [6, 18], dict(rule="gumbel", num_simulations=24, seed=9), 3),
    ("gumbel_3x3_probabilities", (3, 3), [4], dict(rule="gumbel", num_simulations=20, seed=2, policy="probabilities",
                                                   max_considered_actions=4, gumbel_scale=0.5), 1),
    # Every legal root action visited: the illegal ones still bring the mixed value into the normalisation.
    ("gumbel_3x3_all_visited", (3, 3), [5, 6, 4, 0, 7], dict(rule="gumbel", num_simulations=24, seed=171,
                                                             max_considered_actions=4), 1),
]


def run_golden(name, board, actions, options, searches):
    """The results of `searches` consecutive searches, the chosen move played after each."""
    probabilities = options.get("policy") == "probabilities"
    search = ReferenceSearch(evaluate=hash_probability_evaluator if probabilities else hash_evaluator, **options)
    search.set_root(game_after(board[0], board[1], actions))
    out = []
    for _ in range(searches):
        r = search.search()
        out.append(r)
        search.play(r["action"])
    return out


if __name__ == "__main__":
    for case in GOLDEN_CASES:
        for i, r in enumerate(run_golden(*case)):
            visits = ", ".join(str(v) for v in r["visits"])
            print(f'{{"{case[0]}", {i}, {r["action"]}, {r["value"]!r}, {{{visits}}}}},')
