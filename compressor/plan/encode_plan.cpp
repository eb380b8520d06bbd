#include "compressor/plan/encode_plan.hpp"

#include "compressor/package/encode/read_files.hpp"
#include "compressor/package/encode/stream_compression.hpp"
#include "compressor/plan/fast_path_switches.hpp"

namespace qvc {

EncodePlan choose_encode_plan(MethodCall& call) {
    EncodePlan plan;
    plan.native_reading = fast_path_on(FastPath::kNativeReading) && may_read_natively(call);
    plan.compress_in_pieces = PackedStreamCompressor::compresses_in_pieces(call, 1);
    trace_plan(plan.describe());
    return plan;
}

std::string EncodePlan::describe() const {
    return std::string("encode_files reader=") + (native_reading ? "native" : "interpreter") +
           " compression=" + (compress_in_pieces ? "pieces" : "one-call");
}

}  // namespace qvc
