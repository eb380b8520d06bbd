// Rebuilding `inverse_dict` from a vocabulary mapping.
#pragma once

#include "compressor/module_state.hpp"

#include <functional>

namespace qvc {

// Sees each (token, id) pair once it has been entered; returning false (with an exception set)
// ends the inversion.
using VocabularyPairVisitor = std::function<bool(PyObject* token, PyObject* id)>;

// A new dict mapping id to token for every (token, id) pair of `vocabulary`, in its iteration
// order, so that of several tokens sharing an id the last one wins. An exact dict is walked
// directly; anything else through its `items()`, each element unpacked into exactly two values.
// Answers signals as it goes: a handler that raises ends it with that exception.
PyRef invert_vocabulary(ModuleState* st, PyObject* vocabulary,
                        const VocabularyPairVisitor& visit = {});

}  // namespace qvc
