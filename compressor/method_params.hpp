// The parameters of the class's members: the list a call is bound by (arg_binding.hpp), and next
// to it the typed view through which the member's body reads the bound values. A view takes its
// values by position in the list just above it, so the two change together. Objects are borrowed
// from the call; an omitted optional object is null.
#pragma once

#include "compressor/pyapi/arg_binding.hpp"

namespace qvc {

inline constexpr ParamSpec kInitParams[] = {
    {"dict_path", ParamKind::Object, 0, false, "vornakel_dict.bin"},
};
struct InitParams {
    PyObject* dict_path;  // null where omitted

    explicit InitParams(const BoundArgs& bound) noexcept : dict_path(bound.objects[0]) {}
};

inline constexpr ParamSpec kTokenizeParams[] = {{"text", ParamKind::ExactStr}};
struct TokenizeParams {
    PyObject* text;  // str or None

    explicit TokenizeParams(const BoundArgs& bound) noexcept : text(bound.objects[0]) {}
};

inline constexpr ParamSpec kDetokenizeParams[] = {{"tokens", ParamKind::ExactList}};
struct DetokenizeParams {
    PyObject* tokens;  // list or None

    explicit DetokenizeParams(const BoundArgs& bound) noexcept : tokens(bound.objects[0]) {}
};

inline constexpr ParamSpec kEncodeParams[] = {
    {"filepaths", ParamKind::ExactList},
    {"output_path", ParamKind::ExactStr},
    {"zstd_level", ParamKind::Int32, 6},
    {"threads", ParamKind::Int32, 4},
};
struct EncodeParams {
    PyObject* filepaths;    // list or None
    PyObject* output_path;  // str or None
    int32_t zstd_level;
    int32_t threads;

    explicit EncodeParams(const BoundArgs& bound) noexcept
        : filepaths(bound.objects[0]),
          output_path(bound.objects[1]),
          zstd_level(bound.ints[2]),
          threads(bound.ints[3]) {}
};

inline constexpr ParamSpec kDecodeParams[] = {
    {"package_path", ParamKind::ExactStr},
    {"output_dir", ParamKind::ExactStr},
    {"use_zstd", ParamKind::Truth, 0, true},
};
struct DecodeParams {
    PyObject* package_path;  // str or None
    PyObject* output_dir;    // str or None
    bool use_zstd;

    explicit DecodeParams(const BoundArgs& bound) noexcept
        : package_path(bound.objects[0]), output_dir(bound.objects[1]), use_zstd(bound.truths[2]) {}
};

inline constexpr ParamSpec kSetstateParams[] = {{"__pyx_state", ParamKind::Object}};
struct SetstateParams {
    PyObject* state;

    explicit SetstateParams(const BoundArgs& bound) noexcept : state(bound.objects[0]) {}
};

inline constexpr ParamSpec kUnpickleParams[] = {
    {"__pyx_type", ParamKind::Object},
    {"__pyx_checksum", ParamKind::Object},
    {"__pyx_state", ParamKind::Object},
};
struct UnpickleParams {
    PyObject* type;
    PyObject* checksum;
    PyObject* state;

    explicit UnpickleParams(const BoundArgs& bound) noexcept
        : type(bound.objects[0]), checksum(bound.objects[1]), state(bound.objects[2]) {}
};

}  // namespace qvc
