// The object layout of class GameBatch, for the classes that read a batch's games.
#pragma once

#include "access.hpp"
#include "batch/game_batch.hpp"
#include "dispatch.hpp"

namespace vexlor::py {

using BatchVariant = NwVariant<batch::GameBatch>;

struct PyGameBatch {
  PyObject_HEAD AccessFlag access;
  BatchVariant batch;
};

inline PyGameBatch* as_batch(PyObject* o) { return reinterpret_cast<PyGameBatch*>(o); }

}  // namespace vexlor::py
