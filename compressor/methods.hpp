// The bodies of the class's methods, each in the source file of its subsystem. They run after
// the arguments were bound (compressor.cpp), read them through their view in method_params.hpp,
// and return a new reference, or null with an error.
#pragma once

#include "compressor/compressor_object.hpp"
#include "compressor/method_params.hpp"

namespace qvc {

// vocabulary/dictionary_file.cpp
PyObject* load_dict(MethodCall& call);
PyObject* save_dict(MethodCall& call);

// tokenize/tokenizer.cpp
PyObject* tokenize(MethodCall& call);
PyObject* detokenize(MethodCall& call);

// package/encode/encoder.cpp
PyObject* encode_files(MethodCall& call);

// package/decode/decoder.cpp
PyObject* decode_package(MethodCall& call);

// vocabulary/state_transfer.cpp
PyObject* reduce_compressor(MethodCall& call);
PyObject* setstate_compressor(MethodCall& call);
PyObject* unpickle_compressor(PyObject* module, const UnpickleParams& params);

}  // namespace qvc
