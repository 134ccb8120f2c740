// Spellings of the manifest's enumerations, shared by the reader, the writer and the public
// name functions. Indexed by the enumerators' values.
#pragma once

#include <array>
#include <string_view>

namespace karnid::manifest::names {

constexpr std::array<std::string_view, 4> kIndexKindNames{"rank", "rank_quant", "bitmap",
                                                          "sign_bitmap"};
constexpr std::array<std::string_view, 4> kIndexKindDebug{"Rank", "RankQuant", "Bitmap",
                                                          "SignBitmap"};
constexpr std::array<std::string_view, 2> kRowIdentityKindNames{"row_id_identity", "jsonl"};
constexpr std::array<std::string_view, 5> kParameterizationNames{
    "marginal_topk_frequency", "bucket_frequency", "sign_frequency", "rank_position_frequency",
    "empirical_tail_table"};
constexpr std::array<std::string_view, 5> kParameterizationDebug{
    "MarginalTopKFrequency", "BucketFrequency", "SignFrequency", "RankPositionFrequency",
    "EmpiricalTailTable"};
constexpr std::array<std::string_view, 5> kOrdinalizationNames{"top_k", "bucket", "sign",
                                                               "rank_position", "caller_defined"};
constexpr std::array<std::string_view, 4> kNullModelNames{"uniform_hypergeometric",
                                                          "weighted_marginal_profile",
                                                          "empirical_tail_table", "caller_defined"};
constexpr std::array<std::string_view, 5> kEvidenceNames{
    "certified", "empirical_sample", "benchmark_estimate", "teacher_estimate", "caller_asserted"};

}  // namespace karnid::manifest::names
