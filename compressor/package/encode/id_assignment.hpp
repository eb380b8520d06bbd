// The second phase of encode_files: ids for all tokens, new tokens entered in the vocabulary, the
// packed token stream.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/encode/stream_compression.hpp"
#include "compressor/package/encode/token_stream.hpp"

#include <functional>
#include <vector>

namespace qvc {

// The second phase of encode_files: gives every token of `stream` (each token's distinct number,
// the distinct token's str given by `strs`) its id, in order: the one `global_dict` holds, or for
// a token it lacks the next free id, entered in `global_dict` and `inverse_dict` with `next_id`
// moved past it. The stream is packed in place, block by block, each block going to `sink` as
// soon as it is packed. Once every token has its id, ValueError when the vocabulary as it then
// stands maps two tokens to one id (IdLedger::refuse_shared_ids); else `ids_given` runs, while the
// compressor still has work to do, and may fail (false, with an error set). On failure the tokens
// entered before the failing one stay in the vocabulary. Answers signals as it goes.
bool assign_ids_and_compress(ModuleState* st, CompressorObject* self,
                             const std::vector<PyObject*>& strs, TokenStream& stream,
                             PackedStreamCompressor& sink, const std::function<bool()>& ids_given);

}  // namespace qvc
