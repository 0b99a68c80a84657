// Game methods that write into caller-owned buffers: planes and legal masks,
// of one game or many. They need no NumPy: any object with the buffer protocol will do.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "buffer_view.hpp"
#include "engine/encode.hpp"
#include "methods.hpp"
#include "without_lock.hpp"

namespace vexlor::py {
namespace {

// Below this many games a batch keeps the interpreter lock: handing it back
// and forth would cost more than the work, and may wait behind other threads.
constexpr size_t kMinGamesWithoutLock = 16;

// --- engine writes ----------------------------------------------------------------

// Writes one game's planes to 17 x A items at dst. Float planes go straight in
// when dst is aligned for floats; otherwise through `scratch` (17 x A floats), as
// a float store to a misaligned address is undefined.
template <int NW>
void write_planes(const Game<NW>& g, char* dst, bool as_float, float* scratch) {
  const size_t n = size_t(kTotalInputPlanes) * g.area();
  if (!as_float) {
    uint8_t* p = reinterpret_cast<uint8_t*>(dst);
    std::memset(p, 0, n);
    encode_planes(g, p);
    return;
  }
  float* p = scratch ? scratch : reinterpret_cast<float*>(dst);
  std::fill(p, p + n, 0.0f);
  encode_planes(g, p);
  if (scratch) std::memcpy(dst, scratch, n * sizeof(float));
}

// 1 for every legal action, 0 elsewhere: the set legal_action_indices lists.
template <int NW>
void write_mask(const Game<NW>& g, uint8_t* dst) {
  const unsigned area = g.area();
  std::memset(dst, 0, size_t(area) + 1);
  const Bitboard<NW> places = g.legal_placements();
  places.for_each([&](unsigned p) { dst[p] = 1; });
  const bool pass = g.pass_listed(places.any());
  dst[area] = pass ? 1 : 0;
}

// Room for one game's float planes, when `out` needs it (see write_planes).
std::vector<float> planes_scratch(const View& out, size_t per_game) {
  return std::vector<float>(out.is_float() && !out.aligned_for(alignof(float)) ? per_game : 0);
}

struct Size {
  unsigned width;
  unsigned height;
  unsigned area() const { return width * height; }
  // "17 x H x W", the shape of one game's planes.
  std::string planes_text() const {
    return std::to_string(kTotalInputPlanes) + " x " + std::to_string(height) + " x " + std::to_string(width);
  }
  bool operator==(const Size&) const = default;
};

Size size_of(const PyGame* g) {
  return std::visit([](const auto& x) { return Size{x.width(), x.height()}; }, g->game);
}

}  // namespace

// --- one game ----------------------------------------------------------------------

PyObject* game_encode_planes_into(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Access::Shared);
  const auto [o] = bind<1>("encode_planes_into", {"out"}, call);
  const Size s = size_of(as_game(self));
  View out(o, "out", true);
  out.require_binary_items(true);
  const size_t n = size_t(kTotalInputPlanes) * s.area();
  out.require_items(n, s.planes_text());
  std::vector<float> scratch = planes_scratch(out, n);
  std::visit(
      [&](const auto& g) { write_planes(g, out.data(), out.is_float(), scratch.empty() ? nullptr : scratch.data()); },
      as_game(self)->game);
  return new_none();
}

PyObject* game_legal_action_mask_into(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Access::Shared);
  const auto [o] = bind<1>("legal_action_mask_into", {"out"}, call);
  const Size s = size_of(as_game(self));
  View out(o, "out", true);
  out.require_binary_items(false);
  out.require_items(size_t(s.area()) + 1, "one per action");
  std::visit([&](const auto& g) { write_mask(g, reinterpret_cast<uint8_t*>(out.data())); }, as_game(self)->game);
  return new_none();
}

namespace {

// --- many games -------------------------------------------------------------------

// Strong references to the games of a batch, each held for shared access until
// the batch is destroyed. Duplicates simply count twice.
class GameBatch {
 public:
  GameBatch(const ModuleState& st, PyObject* seq_arg) {
    const Ref seq = check(PySequence_Fast(seq_arg, "argument 'games' must be a sequence of Game"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    // Own references: code run later (a buffer exporter) may empty the caller's list.
    refs_.reserve(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) refs_.push_back(Ref::borrow(items[i]));
    games_.reserve(size_t(n));
    access_.reserve(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* o = refs_[size_t(i)].get();
      if (Py_TYPE(o) != st.game_type)
        raise(PyExc_TypeError, "games[%zd] must be Game, not %.200s", i, Py_TYPE(o)->tp_name);
      PyGame* g = as_game(o);
      if (Access::conflicts(g->access, Access::Shared))
        raise(PyExc_RuntimeError, "games[%zd] is being changed by another call", i);
      access_.emplace_back(g, Access::Shared);
      games_.push_back(g);
      const Size s = size_of(g);
      if (i == 0) {
        size_ = s;
      } else if (!(s == size_)) {
        raise(PyExc_ValueError, "games[%zd] is %ux%u, expected %ux%u", i, s.width, s.height, size_.width, size_.height);
      }
    }
  }
  GameBatch(const GameBatch&) = delete;
  GameBatch& operator=(const GameBatch&) = delete;

  size_t count() const { return refs_.size(); }
  const std::vector<PyGame*>& games() const { return games_; }
  // Size of every game; 0 x 0 for an empty batch.
  Size size() const { return size_; }

 private:
  std::vector<Ref> refs_;       // declared first: released after the accesses
  std::vector<Access> access_;  // given back also when the constructor throws
  std::vector<PyGame*> games_;
  Size size_{0, 0};
};

}  // namespace

PyObject* game_encode_planes_batch(PyObject* cls, const CallArgs& call) {
  const auto [gs, o] = bind<2>("encode_planes_batch", {"games", "out"}, call);
  const GameBatch batch(state_of_class(cls), gs);
  View out(o, "out", true);
  out.require_binary_items(true);
  const size_t per_game = size_t(kTotalInputPlanes) * batch.size().area();
  out.require_items(batch.count() * per_game, std::to_string(batch.count()) + " games x " + batch.size().planes_text());
  const size_t stride = per_game * out.itemsize();
  const bool as_float = out.is_float();
  char* const base = out.data();
  std::vector<float> scratch = planes_scratch(out, per_game);
  float* const tmp = scratch.empty() ? nullptr : scratch.data();
  maybe_without_lock(batch.count() >= kMinGamesWithoutLock, [&] {
    size_t i = 0;
    for (const PyGame* g : batch.games())
      std::visit([&](const auto& x) { write_planes(x, base + stride * i++, as_float, tmp); }, g->game);
  });
  return new_none();
}

PyObject* game_legal_action_mask_batch(PyObject* cls, const CallArgs& call) {
  const auto [gs, o] = bind<2>("legal_action_mask_batch", {"games", "out"}, call);
  const GameBatch batch(state_of_class(cls), gs);
  View out(o, "out", true);
  out.require_binary_items(false);
  const size_t per_game = batch.count() ? size_t(batch.size().area()) + 1 : 0;
  out.require_items(batch.count() * per_game,
                    std::to_string(batch.count()) + " games x " + std::to_string(per_game) + " actions");
  uint8_t* const base = reinterpret_cast<uint8_t*>(out.data());
  // Legality tests may settle a game's pending hashes, a write: done here, under the lock.
  for (const PyGame* g : batch.games()) std::visit([](const auto& x) { x.settle_position_hashes(); }, g->game);
  maybe_without_lock(batch.count() >= kMinGamesWithoutLock, [&] {
    size_t i = 0;
    for (const PyGame* g : batch.games())
      std::visit([&](const auto& x) { write_mask(x, base + per_game * i++); }, g->game);
  });
  return new_none();
}

}  // namespace vexlor::py
