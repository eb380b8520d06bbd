// The package's token stream turned back into tokens: entry i is the token of record i, through
// the object's `inverse_dict`, or "<UNK>" for an id it lacks.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/package/record_text.hpp"
#include "compressor/package/token_table.hpp"
#include "compressor/package/vocabulary_adoption.hpp"

#include <cstdint>
#include <optional>

namespace qvc {

class RestoredTokens {
public:
    // Decodes every whole 4-byte record of `data` before anything is written, so that a bad
    // record (a value of 2^31 or more: OverflowError) stops the call before the output
    // directory exists. A byte string read through an `inverse_dict` that is a dict of int ids
    // goes through the decoder's own table (`vocabulary` has it); any other stream or mapping
    // is read item by item and looked up with the mapping's `get`, as the interpreter would.
    static bool decode(ModuleState* st, CompressorObject* self, AdoptedVocabulary& vocabulary,
                       PyObject* data, RestoredTokens& out);

    // "".join(restored_tokens[start:stop]), the bounds taken as list slicing takes them.
    PyRef text_of_slice(Py_ssize_t start, Py_ssize_t stop);

private:
    Py_ssize_t count_ = 0;
    // Table-backed: records are decoded where a file's text is built; looking a record up in
    // the table has no effect that could tell the difference.
    PyRef records_;  // bytes
    std::optional<TokenTable> table_;
    RecordTextBuilder text_builder_;
    // Otherwise the tokens themselves, one list entry per record.
    PyRef tokens_;
};

}  // namespace qvc
