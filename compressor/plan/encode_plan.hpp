// How one encode_files call runs, chosen once at its start. Every fast way is taken only where
// the caller cannot tell it from the plain one (open(), read(), self.tokenize(), a lookup per
// token, one compress() call, pickle.dump()); everything else takes the plain way.
#pragma once

#include "compressor/compressor_object.hpp"

#include <string>

namespace qvc {

struct EncodePlan {
    // The calling thread reads each file straight from the operating system and a worker thread
    // checks, splits and numbers it: only for an object of exactly this class (the built-in
    // tokenize) while `open` and `os.path.basename` are those the module was imported with, as
    // nothing else can tell how a file was read then. Otherwise open(), read() and
    // self.tokenize() for each file.
    bool native_reading = false;
    // Ids worked out while the files are still read, to be entered once they all are: only with
    // native reading, and where both mappings are exact dicts keyed by exact strs and ints with
    // strs for tokens, so that looking up and entering run none of the caller's code; and where
    // dicts can be watched for changes (3.12 on), which tells whether the ids assigned ahead
    // still hold.
    bool early_ids = false;
    // The stream compressed in pieces as it is packed, which also answers signals during a long
    // compression: only while `zstd` is the binding the module imported and `threads` is not 0
    // (the binding's single-threaded frame made in one call differs from one made in pieces).
    bool compress_in_pieces = false;

    std::string describe() const;
};

EncodePlan choose_encode_plan(MethodCall& call);

}  // namespace qvc
