// Per-module state: the module's types, the strings its code looks things up by, and caches.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

namespace qvc {

// Strings created once per module: attribute and key names, fixed arguments and texts.
// X(field, text)
#define QVC_MODULE_STRINGS(X)                  \
    X(s_os, "os")                              \
    X(s_re, "re")                              \
    X(s_struct, "struct")                      \
    X(s_pickle, "pickle")                      \
    X(s_zstd, "zstd")                          \
    X(s_path, "path")                          \
    X(s_exists, "exists")                      \
    X(s_basename, "basename")                  \
    X(s_join, "join")                          \
    X(s_makedirs, "makedirs")                  \
    X(s_exist_ok, "exist_ok")                  \
    X(s_open, "open")                          \
    X(s_close, "close")                        \
    X(s_read, "read")                          \
    X(s_write, "write")                        \
    X(s_mode_rb, "rb")                         \
    X(s_mode_wb, "wb")                         \
    X(s_mode_r, "r")                           \
    X(s_mode_w, "w")                           \
    X(s_encoding, "encoding")                  \
    X(s_utf8, "utf-8")                         \
    X(s_newline, "newline")                    \
    X(s_get, "get")                            \
    X(s_items, "items")                        \
    X(s_update, "update")                      \
    X(s_dict, "dict")                          \
    X(s_next_id, "next_id")                    \
    X(s_load_dict, "load_dict")                \
    X(s_tokenize, "tokenize")                  \
    X(s_findall, "findall")                    \
    X(s_token_pattern, "\\S+|\\s+")            \
    X(s_dump, "dump")                          \
    X(s_load, "load")                          \
    X(s_Unpickler, "Unpickler")                \
    X(s_UnpicklingError, "UnpicklingError")    \
    X(s_PickleError, "PickleError")            \
    X(s_find_class, "find_class")              \
    X(s_ZstdCompressor, "ZstdCompressor")      \
    X(s_ZstdDecompressor, "ZstdDecompressor")  \
    X(s_compress, "compress")                  \
    X(s_decompress, "decompress")              \
    X(s_level, "level")                        \
    X(s_threads, "threads")                    \
    X(s_compressed, "compressed")              \
    X(s_file_boundaries, "file_boundaries")    \
    X(s_filenames, "filenames")                \
    X(s_global_dict, "global_dict")            \
    X(s_unknown_token, "<UNK>")                \
    X(s_default_dict_path, "vornakel_dict.bin") \
    X(s_empty, "")                             \
    X(s_dunder_dict, "__dict__")               \
    X(s_unpickle_func, "__pyx_unpickle_QVCompressor") \
    X(s_module_name, "qvc_compressor")         \
    X(s_realpath, "realpath")                  \
    X(s_zip, "zip")                            \
    X(s_sep, "sep")                            \
    X(s_altsep, "altsep")                      \
    X(s_extend, "extend")                      \
    X(s_new, "__new__")                        \
    X(s_closefd, "closefd")                    \
    X(s_opener, "opener")                      \
    X(s_fileno, "fileno")                      \
    X(s_readinto, "readinto")                  \
    X(s_readinto1, "readinto1")                \
    X(s_chunker, "chunker")                    \
    X(s_finish, "finish")                      \
    X(s_size, "size")                          \
    X(s_chunk_size, "chunk_size")              \
    X(s_stream_reader, "stream_reader")        \
    X(s_read_size, "read_size")                \
    X(s_dumps, "dumps")

struct ModuleState {
    PyTypeObject* compressor_type;       // QVCompressor
    PyTypeObject* method_function_type;  // the type of the class's method objects
    PyObject* tokenize_function;         // the class's own `tokenize`, to recognise overrides
    // File-like objects of the module's own, handed to the interpreter's pickle module.
    PyTypeObject* interruptible_writer_type;
    PyTypeObject* pickle_source_type;
    // The Zstandard compressor of an interrupted compression, kept until the next one starts:
    // releasing it waits for its worker threads to finish the jobs they are on.
    PyObject* abandoned_compression;

    // What the module's names stood for when it was imported: where they still do, the encoder
    // may read files and compress its stream its own way, as nobody can tell the difference.
    PyObject* interpreter_open;       // the builtin `open`
    PyObject* path_basename;          // `os.path.basename`
    PyObject* path_join;              // `os.path.join`
    PyObject* zstd_module;            // `zstandard`
    PyObject* zstd_compressor_class;  // `zstandard.ZstdCompressor`
    PyObject* pickle_module;          // `pickle`
    PyObject* pickle_dump;            // `pickle.dump`
    PyObject* pickle_dumps;           // `pickle.dumps`

    // The restricted unpicklers derive from the `pickle.Unpickler` found in the module namespace
    // when they were made; they are made again when that name points elsewhere.
    PyObject* unpickler_base;
    PyObject* dictionary_unpickler;
    PyObject* package_unpickler;

#define QVC_DECLARE_STRING(field, text) PyObject* field;
    QVC_MODULE_STRINGS(QVC_DECLARE_STRING)
#undef QVC_DECLARE_STRING
};

extern PyModuleDef module_def;

inline ModuleState* module_state(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace qvc
