// Typed manifest parsing and writing: strictness, error texts and the output forms.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "karnid/manifest/schema.hpp"

namespace karnid::manifest {
namespace {

// A complete manifest that uses every block; tests replace or remove one member at a time.
constexpr std::string_view kFullManifest = R"({
  "schema_version": "karnid.index_manifest.v1",
  "manifest_id": "urn:uuid:5f0c6e52-3a4e-4d8e-9a55-2f1f4f0c9b11",
  "created_at": "2026-01-02T03:04:05Z",
  "artifact": {"path": "index.kdrq", "sha256": "00", "kind": "rank_quant", "format_version": 1,
               "dim": 64, "vector_count": 3, "bytes_per_vec": 32,
               "params": {"bits": 4, "kind": "rank_quant"}, "file_size_bytes": 110},
  "auxiliary_artifacts": [{"name": "vocab", "path": "v.txt", "sha256": "ab", "file_size_bytes": 3}],
  "embedding": {"model": "m", "dim": 64, "pooling": "mean", "normalization": null},
  "encoder_distortion": {
    "schema_version": "karnid.encoder_distortion.v1", "profile_id": "p1",
    "encoder": {"model": "m", "dim": 64},
    "source_metric": {"name": "cosine"}, "embedding_metric": {"name": "l2", "version": "1"},
    "bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2, "estimated_distortion": 4.0},
    "scope": {"sample_size": 10, "confidence": 0.95},
    "evidence": {"kind": "empirical_sample"},
    "profile": {"path": "d.bin", "sha256": "cd", "file_size_bytes": 8, "format": "raw"},
    "calibration_profile_id": "c1"},
  "calibration": {
    "schema_version": "karnid.calibration.v1", "profile_id": "c1",
    "calibrated_for": {"model": "m", "dim": 64},
    "ordinalization": {"kind": "bucket", "dim": 64, "bits": 4},
    "profile": {"path": "c.bin", "sha256": "ef", "file_size_bytes": 8192, "dim": 64,
                "sample_count": 5, "parameterization": {"bucket_frequency": null},
                "format": "raw_f64_le", "shape": [64, 16]},
    "null_model": {"kind": "weighted_marginal_profile", "parameterization": "bucket_frequency"}},
  "row_identity": {"kind": "jsonl", "path": "rows.jsonl", "sha256": "12", "row_count": 3,
                   "id_kind": "uuid"},
  "build": {"invocation_id": "inv", "builder_id": "b"},
  "attestations": [{"predicateType": "x", "subject": [{"digest": {"sha256": "00"}}]}],
  "extensions": {"org.b": {"z": 1, "a": [1.5, -2]}, "org.a": true}
})";

std::string error_of(std::string_view text) {
  auto parsed = parse_manifest(text);
  EXPECT_FALSE(parsed.has_value()) << text;
  if (parsed) return {};
  EXPECT_EQ(parsed.error().kind(), ManifestError::Kind::Json);
  return parsed.error().message();
}

// Replaces the first occurrence of `from` in the full manifest.
std::string variant(std::string_view from, std::string_view to) {
  std::string text(kFullManifest);
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(Schema, FullManifestRoundTripsThroughBothForms) {
  auto parsed = parse_manifest(kFullManifest);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
  const std::string compact = serialize_manifest(*parsed, json::Writer::Style::Compact);
  const std::string pretty = serialize_manifest(*parsed, json::Writer::Style::Pretty);
  auto again = parse_manifest(pretty);
  ASSERT_TRUE(again.has_value()) << again.error().display();
  EXPECT_EQ(serialize_manifest(*again, json::Writer::Style::Compact), compact);

  // Declaration order, tags first, absent optionals omitted, generic objects sorted by key,
  // doubles keep a fraction, the profile parameterization written as a plain string.
  EXPECT_TRUE(compact.starts_with(
      R"({"schema_version":"karnid.index_manifest.v1","manifest_id":"urn:uuid:)"));
  EXPECT_NE(compact.find(R"("params":{"kind":"rank_quant","bits":4},"file_size_bytes":110})"),
            std::string::npos);
  EXPECT_NE(compact.find(R"("required":true})"), std::string::npos);
  EXPECT_NE(compact.find(R"("embedding":{"model":"m","dim":64,"pooling":"mean"})"),
            std::string::npos);
  EXPECT_NE(compact.find(R"("declared_upper_bound":2.0)"), std::string::npos);
  EXPECT_NE(compact.find(R"("parameterization":"bucket_frequency","format")"), std::string::npos);
  EXPECT_NE(compact.find(R"("extensions":{"org.a":true,"org.b":{"a":[1.5,-2],"z":1}}})"),
            std::string::npos);
  EXPECT_NE(compact.find(R"("ordinalization":{"kind":"bucket","dim":64,"bits":4})"),
            std::string::npos);
  EXPECT_EQ(pretty.substr(0, 2), "{\n");
  EXPECT_EQ(pretty.back(), '}');
  EXPECT_NE(pretty.find("\n  \"artifact\": {\n    \"path\": \"index.kdrq\",\n"), std::string::npos);
}

TEST(Schema, MinimalManifestLeavesOptionalPartsOut) {
  constexpr std::string_view kMinimal = R"({"schema_version": "s", "manifest_id": "i",
    "created_at": "t", "build": null, "calibration": null, "encoder_distortion": null,
    "artifact": {"path": "p", "sha256": "h", "kind": "rank", "format_version": 1, "dim": 2,
      "vector_count": 0, "bytes_per_vec": 4, "params": {"kind": "rank", "bits": 9},
      "file_size_bytes": 13},
    "embedding": {"model": "m", "dim": 2},
    "row_identity": {"row_count": 0, "kind": "row_id_identity"}})";
  auto parsed = parse_manifest(kMinimal);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
  EXPECT_EQ(serialize_manifest(*parsed, json::Writer::Style::Compact),
            R"({"schema_version":"s","manifest_id":"i","created_at":"t","artifact":{"path":"p",)"
            R"("sha256":"h","kind":"rank","format_version":1,"dim":2,"vector_count":0,)"
            R"("bytes_per_vec":4,"params":{"kind":"rank"},"file_size_bytes":13},)"
            R"("embedding":{"model":"m","dim":2},)"
            R"("row_identity":{"kind":"row_id_identity","row_count":0}})");
}

struct RejectCase {
  const char* name;
  std::string text;
  std::string message;
};

class SchemaRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(SchemaRejects, WithTheExpectedMessage) {
  EXPECT_EQ(error_of(GetParam().text), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Manifest, SchemaRejects,
    ::testing::Values(
        RejectCase{"unknown_top_level_key", variant(R"("build": {)", R"("comment": 1, "build": {)"),
                   "unknown field `comment`, expected one of `schema_version`, `manifest_id`, "
                   "`created_at`, `artifact`, `auxiliary_artifacts`, `embedding`, "
                   "`encoder_distortion`, `calibration`, `row_identity`, `build`, "
                   "`attestations`, `extensions`"},
        RejectCase{"duplicate_key",
                   variant(R"("manifest_id":)", R"("created_at": "x", "manifest_id":)"),
                   "duplicate field `created_at`"},
        RejectCase{
            "missing_embedding",
            variant(
                R"("embedding": {"model": "m", "dim": 64, "pooling": "mean", "normalization": null},)",
                ""),
            "missing field `embedding`"},
        RejectCase{"bits_missing",
                   variant(R"({"bits": 4, "kind": "rank_quant"})", R"({"kind": "rank_quant"})"),
                   "missing field `bits`"},
        RejectCase{"params_missing_kind",
                   variant(R"({"bits": 4, "kind": "rank_quant"})", R"({"bits": 4})"),
                   "missing field `kind`"},
        RejectCase{"unknown_kind",
                   variant(R"("kind": "rank_quant", "format_version")",
                           R"("kind": "hnsw", "format_version")"),
                   "unknown variant `hnsw`, expected one of `rank`, `rank_quant`, `bitmap`, "
                   "`sign_bitmap`"},
        RejectCase{"format_version_256",
                   variant(R"("format_version": 1)", R"("format_version": 256)"),
                   "invalid value: integer `256`, expected u8"},
        RejectCase{"negative_dim",
                   variant(R"("dim": 64, "vector_count")", R"("dim": -1, "vector_count")"),
                   "invalid value: integer `-1`, expected usize"},
        RejectCase{"fractional_dim",
                   variant(R"("dim": 64, "vector_count")", R"("dim": 2.5, "vector_count")"),
                   "invalid type: floating point `2.5`, expected usize"},
        RejectCase{"string_size",
                   variant(R"("file_size_bytes": 110)", R"("file_size_bytes": "110")"),
                   "invalid type: string \"110\", expected u64"},
        RejectCase{
            "identity_with_path",
            variant(R"({"kind": "jsonl", "path": "rows.jsonl", "sha256": "12", "row_count": 3,
                   "id_kind": "uuid"})",
                    R"({"kind": "row_id_identity", "row_count": 3, "path": "x"})"),
            "unknown field `path`, expected `row_count`"},
        RejectCase{"required_not_bool",
                   variant(R"("file_size_bytes": 3})", R"("file_size_bytes": 3, "required": 1})"),
                   "invalid type: integer `1`, expected a boolean"},
        RejectCase{"aux_not_list",
                   variant(R"("auxiliary_artifacts": [)", R"("auxiliary_artifacts": null, "x": [)"),
                   "invalid type: null, expected a sequence"},
        RejectCase{"calibration_without_null_model",
                   variant(R"(,
    "null_model": {"kind": "weighted_marginal_profile", "parameterization": "bucket_frequency"}})",
                           "}"),
                   "missing field `null_model`"},
        RejectCase{"top_k_without_k",
                   variant(R"({"kind": "bucket", "dim": 64, "bits": 4})",
                           R"({"kind": "top_k", "dim": 64})"),
                   "missing field `k`"},
        RejectCase{"sign_with_bits",
                   variant(R"({"kind": "bucket", "dim": 64, "bits": 4})",
                           R"({"kind": "sign", "dim": 64, "bits": 4})"),
                   "unknown field `bits`, expected `dim`"},
        RejectCase{"unknown_parameterization",
                   variant(R"("parameterization": "bucket_frequency"})",
                           R"("parameterization": "histogram"})"),
                   "unknown variant `histogram`, expected one of `marginal_topk_frequency`, "
                   "`bucket_frequency`, `sign_frequency`, `rank_position_frequency`, "
                   "`empirical_tail_table`"},
        RejectCase{"parameterization_two_keys",
                   variant(R"({"bucket_frequency": null})",
                           R"({"bucket_frequency": null, "sign_frequency": null})"),
                   "invalid length 2, expected map with a single key"},
        RejectCase{"parameterization_number", variant(R"({"bucket_frequency": null})", "7"),
                   "invalid type: integer `7`, expected string or map"},
        RejectCase{
            "bounds_missing",
            variant(
                R"("bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2, "estimated_distortion": 4.0},)",
                ""),
            "missing field `bounds`"},
        RejectCase{"sample_size_negative", variant(R"("sample_size": 10)", R"("sample_size": -1)"),
                   "invalid value: integer `-1`, expected u64"},
        RejectCase{"sample_size_fraction", variant(R"("sample_size": 10)", R"("sample_size": 2.5)"),
                   "invalid type: floating point `2.5`, expected u64"},
        RejectCase{"evidence_unknown",
                   variant(R"({"kind": "empirical_sample"})", R"({"kind": "guess"})"),
                   "unknown variant `guess`, expected one of `certified`, `empirical_sample`, "
                   "`benchmark_estimate`, `teacher_estimate`, `caller_asserted`"},
        RejectCase{"duplicate_in_extension_value",
                   variant(R"({"z": 1, "a")", R"({"z": 1, "z": 2, "a")"), "duplicate field `z`"},
        RejectCase{"extensions_not_map",
                   variant(R"("extensions": {"org.b")", R"("extensions": [], "x": {"org.b")"),
                   "invalid type: sequence, expected a map"},
        RejectCase{"trailing_text", std::string(kFullManifest) + "\n x", "trailing characters"},
        RejectCase{"not_an_object", "[1]",
                   "invalid type: sequence, expected struct IndexManifest"}),
    [](const ::testing::TestParamInfo<RejectCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(Schema, TaggedVariantsWithoutFieldsIgnoreExtraKeys) {
  auto parsed = parse_manifest(
      variant(R"({"kind": "weighted_marginal_profile", "parameterization": "bucket_frequency"})",
              R"({"note": [1, 2], "kind": "uniform_hypergeometric"})"));
  ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
  const std::string out = serialize_manifest(*parsed, json::Writer::Style::Compact);
  EXPECT_NE(out.find(R"("null_model":{"kind":"uniform_hypergeometric"}})"), std::string::npos);
}

TEST(Schema, OptionalProfileAndEmptyBoundsParse) {
  auto parsed = parse_manifest(variant(
      R"("bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2, "estimated_distortion": 4.0})",
      R"("bounds": {})"));
  ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
  EXPECT_FALSE(parsed->encoder_distortion->bounds.declared_lower_bound.has_value());
  const std::string out = serialize_manifest(*parsed, json::Writer::Style::Compact);
  EXPECT_NE(out.find(R"("bounds":{},"scope")"), std::string::npos);
}

TEST(Schema, ErrorsPointAtTheOffendingToken) {
  // Unknown keys point just past the key; type errors just past the value; missing keys at the
  // end of their object.
  auto unknown = parse_manifest("{\n  \"nope\": 1}");
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().line(), 2u);
  EXPECT_EQ(unknown.error().column(), 8u);

  auto type = parse_manifest(R"({"schema_version": 5})");
  ASSERT_FALSE(type.has_value());
  EXPECT_EQ(type.error().display(),
            "invalid type: integer `5`, expected a string at line 1 column 20");

  auto missing = parse_manifest("{\"schema_version\": \"s\"\n}");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "missing field `manifest_id` at line 2 column 1");
}

TEST(Schema, ErrorsNameTheMemberBeingRead) {
  using Path = std::vector<JsonPathStep>;
  const struct {
    std::string_view from;
    std::string_view to;
    ParseReason reason;
    Path path;
  } cases[] = {
      {"[64, 16]",
       "[64, \"x\"]",
       ParseReason::InvalidType,
       {"calibration", "profile", "shape", 1U}},
      {"{\"bucket_frequency\": null}",
       "{\"bucket_frequency\": 1}",
       ParseReason::InvalidType,
       {"calibration", "profile", "parameterization", "bucket_frequency"}},
      {"\"dim\": 64, \"bits\": 4}",
       "\"dim\": 64}",
       ParseReason::MissingKey,
       {"calibration", "ordinalization"}},
      {"{\"sha256\": \"00\"}",
       "{\"sha256\": \"00\", \"sha256\": \"01\"}",
       ParseReason::DuplicateKey,
       {"attestations", 0U, "subject", 0U, "digest", "sha256"}},
      {"\"org.a\": true}", "\"org.a\": tru}", ParseReason::ExpectedIdent, {"extensions", "org.a"}},
  };
  for (const auto& c : cases) {
    const std::string text = variant(c.from, c.to);
    auto parsed = parse_manifest(text);
    ASSERT_FALSE(parsed.has_value()) << c.to;
    const ManifestError& e = parsed.error();
    EXPECT_EQ(e.detail(), ManifestError::Detail::Json);
    EXPECT_EQ(e.parse_facts().reason, c.reason) << c.to;
    EXPECT_EQ(e.parse_facts().json_path, c.path) << c.to;
    const json::Position at = json::position_after(text, e.parse_facts().offset);
    EXPECT_EQ(std::pair(at.line, at.column), std::pair(e.line(), e.column())) << c.to;
  }

  auto two_keys = parse_manifest(variant("{\"bucket_frequency\": null}",
                                         "{\"bucket_frequency\": null, \"sign_frequency\": null}"));
  ASSERT_FALSE(two_keys.has_value());
  const ParseFacts& facts = two_keys.error().parse_facts();
  EXPECT_EQ(facts.reason, ParseReason::InvalidLength);
  EXPECT_EQ(facts.length, 2U);
  EXPECT_EQ(facts.expected, "map with a single key");
  EXPECT_EQ(two_keys.error().message(), "invalid length 2, expected map with a single key");
}

TEST(Schema, DeepGenericValuesHitTheNestingLimit) {
  std::string deep = std::string(200, '[') + std::string(200, ']');
  const std::string text = variant(R"("attestations": [)", "\"attestations\": [" + deep + ", ");
  EXPECT_EQ(error_of(text), "recursion limit exceeded");
}

}  // namespace
}  // namespace karnid::manifest
