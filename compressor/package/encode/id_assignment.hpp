// The second phase of encode_files: ids for all tokens, new tokens entered in the vocabulary, the
// packed token stream.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/encode/tokenized_files.hpp"

namespace qvc {

// Gives every token of `files`, in order, its id: the one `global_dict` holds, or for a token it
// lacks the next free id, entered in `global_dict` and `inverse_dict` with `next_id` moved past
// it. Returns the packed stream, 4 big-endian bytes a token. On failure the tokens entered before
// the failing one stay in the vocabulary. What `files` holds is let go of as it is used up.
// Answers signals as it goes: a handler that raises is a failure at the token reached. Once all
// ids are given, ValueError when the vocabulary as it then stands maps two tokens to one id
// (IdLedger::refuse_shared_ids): every new token stays, and no stream comes out.
PyRef assign_ids_and_pack(ModuleState* st, CompressorObject* self, TokenizedFiles& files);

}  // namespace qvc
