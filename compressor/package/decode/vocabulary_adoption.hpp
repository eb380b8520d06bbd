// Making a package's vocabulary the object's own: global_dict, its inversion and next_id. The
// decoder's id -> token table comes out of the same walk over the vocabulary, when it can.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/decode/dict_change_watch.hpp"
#include "compressor/package/decode/token_table.hpp"

#include <optional>

namespace qvc {

class AdoptedVocabulary {
public:
    // `package.get("global_dict", {})` becomes the object's global_dict, then its inversion
    // (last pair of an id wins) its inverse_dict, and next_id is raised past the adopted ids.
    // When the inversion fails, global_dict stays replaced and inverse_dict unchanged. Returns
    // false with an exception set on failure.
    bool adopt(ModuleState* st, CompressorObject* self, PyObject* package);

    // The table for the object's inverse_dict as it is now: the one made while adopting when
    // that dict is still in place and unchanged, otherwise a new one; nothing when the mapping
    // allows no table. Returns false with an exception set on failure.
    bool current_table(ModuleState* st, CompressorObject* self, std::optional<TokenTable>& out);

private:
    PyRef inverse_;
    std::optional<TokenTable> table_;
    std::optional<DictChangeWatch> watch_;
};

}  // namespace qvc
