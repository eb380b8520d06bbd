// What the first phase of encode_files hands to the second: every file's tokens, not yet looked up
// in the vocabulary.
#pragma once

#include "compressor/package/encode/distinct_tokens.hpp"
#include "compressor/package/encode/token_numbers.hpp"
#include "compressor/pyapi/py_ref.hpp"

#include <cstddef>
#include <vector>

namespace qvc {

struct TokenizedFile {
    // The tokens that an overriding `tokenize` returned, as a list of our own (its items as they
    // were when it returned); null for the built-in split.
    PyRef tokens;
    // Tokens of the built-in split: the number of each token among the call's distinct tokens,
    // four bytes a token instead of a str each (the text itself is not kept).
    TokenNumbers::Run numbers{nullptr, TokenNumbers::kNoBlock};
    size_t count = 0;
};

struct TokenizedFiles {
    std::vector<TokenizedFile> files;
    DistinctTokens distinct;
    TokenNumbers numbers;
    size_t total_tokens = 0;

    // Lets go of everything once the stream is packed.
    void release() {
        files.clear();
        distinct.release();
        numbers.release_all();
    }
};

}  // namespace qvc
