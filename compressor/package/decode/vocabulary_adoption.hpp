// Making a package's vocabulary the object's own: global_dict, its inversion and next_id.
#pragma once

#include "compressor/compressor_object.hpp"

namespace qvc {

// `package.get("global_dict", {})` becomes the object's global_dict, then its inversion (last
// pair of an id wins) its inverse_dict, and next_id is raised past the adopted ids. When the
// inversion fails, global_dict stays replaced and inverse_dict unchanged. Returns false with an
// exception set on failure.
bool adopt_vocabulary(ModuleState* st, CompressorObject* self, PyObject* package);

}  // namespace qvc
