// The second phase of encode_files: ids for all tokens, new tokens entered in the vocabulary, the
// packed token stream.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/encode/stream_compression.hpp"
#include "compressor/package/encode/token_stream.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace qvc {

// The ids of the distinct tokens of the files read (package/encode/read_files.hpp), in
// order of first occurrence, each token's str given by `strs`.
//
// While the files are still read, where both mappings are exact dicts keyed by exact strs and
// ints, each distinct token's record is worked out early without entering anything: the id the
// vocabulary holds, or for a token it lacks the id the second phase would give it. The blocks of
// the stream can then be compressed before every file is read. Those records hold only if
// nothing changed the vocabulary meanwhile (a signal handler, an audit hook or a path's
// __fspath__ may): commit_early() checks that, through watches on both dicts, and then enters
// the new tokens with their ids; otherwise every id is given afresh in the second phase. A token
// whose record cannot be worked out early (its id is no exact int, or one to refuse) stops the
// early records there; the second phase meets it in its place.
class DistinctTokenIds {
public:
    DistinctTokenIds(ModuleState* st, CompressorObject* self);
    DistinctTokenIds(const DistinctTokenIds&) = delete;
    DistinctTokenIds& operator=(const DistinctTokenIds&) = delete;
    ~DistinctTokenIds();

    // First phase, where the plan gives ids early (EncodePlan::early_ids).
    void begin_early();
    // The records of the distinct tokens made so far. False when a signal handler raised.
    bool give_early(const std::vector<PyObject*>& strs);
    // Drops every early record (the tokens numbered so far change).
    void stop_early() noexcept;
    // Whether the early records still hold for the object's present vocabulary.
    bool early_ids_hold(CompressorObject* self) const noexcept;
    // Start of the second phase: where the early records hold (`*kept`), enters the new tokens
    // among them in the vocabulary; else drops them. False, with an error set, when entering
    // fails.
    bool commit_early(const std::vector<PyObject*>& strs, bool* kept);

    // Second phase: the ids of the tokens still without one; `stream` (each token's distinct
    // number) packed in place, block by block, each block going to `sink` as soon as it is
    // packed. Once every token has its id, ValueError when the vocabulary as it then stands maps
    // two tokens to one id (IdLedger::refuse_shared_ids); else `ids_given` runs, while the
    // compressor still has work to do, and may fail (false, with an error set). On failure the
    // tokens entered before the failing one stay in the vocabulary. Answers signals as it goes.
    bool assign_and_compress(const std::vector<PyObject*>& strs, TokenStream& stream,
                             PackedStreamCompressor& sink, const std::function<bool()>& ids_given);

private:
    struct Resolution;

    std::optional<uint32_t> provisional_record(uint32_t number, PyObject* token);

    ModuleState* st_;
    CompressorObject* self_;
    std::unique_ptr<Resolution> resolution_;
};

}  // namespace qvc
