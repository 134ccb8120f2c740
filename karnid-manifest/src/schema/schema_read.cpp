// Typed reading of the manifest: the strict JSON reader's value becomes an IndexManifest, record
// by record (the writer is schema_write.cpp).
//
// The errors are those of a streaming deserializer, although the whole document is parsed first:
// members are handled in document order, so the first offending member decides the error
// (unknown key, duplicate key, or a value of the wrong type), and missing required keys are
// reported after the whole object was read. Errors point just past the offending key or value,
// and a missing key at the end of its object; inside tagged objects ("kind" anywhere) the whole
// object is read before its variant is known, so their errors point at the end of the tagged
// object. Syntax errors are the JSON reader's own, with its positions.
#include <algorithm>
#include <array>
#include <bitset>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "json_messages.hpp"
#include "karnid/manifest/schema.hpp"
#include "karnid/manifest/text.hpp"
#include "schema_names.hpp"

namespace karnid::manifest {
namespace {

using namespace names;

using json::Value;
using Status = std::expected<void, ManifestError>;

// ---- reading context ----

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // The error of the member being read, or of a member `tail` further down inside it.
  [[nodiscard]] ManifestError error_at(std::size_t offset, json_messages::Complaint complaint,
                                       std::vector<JsonPathStep> tail = {}) const {
    const std::size_t at = std::min(fixed_ ? *fixed_ : offset, text_.size());
    const json::Position pos = json::position_after(text_, at);
    ParseFacts& facts = complaint.facts;
    facts.offset = at;
    facts.json_path = path_;
    std::move(tail.begin(), tail.end(), std::back_inserter(facts.json_path));
    return ManifestError::parse(std::move(complaint.message), pos.line, pos.column,
                                std::move(facts));
  }

  // Marks the member or element being read while it is read.
  class Step {
   public:
    Step(Reader& reader, JsonPathStep step) : reader_(reader) {
      reader_.path_.push_back(std::move(step));
    }
    ~Step() { reader_.path_.pop_back(); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

   private:
    Reader& reader_;
  };

  // While a tagged object is being read, every error points at its end.
  class TaggedScope {
   public:
    TaggedScope(Reader& reader, std::size_t end) : reader_(reader), saved_(reader.fixed_) {
      if (!reader_.fixed_) reader_.fixed_ = end;
    }
    ~TaggedScope() { reader_.fixed_ = saved_; }
    TaggedScope(const TaggedScope&) = delete;
    TaggedScope& operator=(const TaggedScope&) = delete;

   private:
    Reader& reader_;
    std::optional<std::size_t> saved_;
  };

 private:
  std::string_view text_;
  std::optional<std::size_t> fixed_;
  std::vector<JsonPathStep> path_;
};

// One key of a record: its name, whether it must appear, and how its value is read into the
// record. The reader travels with the name, so no table order can send a value to another field.
template <typename T>
struct Field {
  std::string_view name;
  bool required;
  Status (*read)(Reader&, const Value&, T&);
};

// Reads an object member by member against a table of fields. `skip` (a key that belongs to an
// enclosing tagged object) is passed over silently.
template <typename T, std::size_t N>
Status read_record(Reader& r, const Value& v, std::string_view record,
                   const std::array<Field<T>, N>& fields, T& out, std::string_view skip = {}) {
  static_assert(N <= 16, "the seen set and the list of expected names hold 16 keys");
  if (!v.is_object()) {
    return std::unexpected(
        r.error_at(v.end, json_messages::invalid_type(v, "struct " + std::string(record))));
  }
  std::bitset<N> seen;
  for (const json::Member& m : v.object) {
    if (!skip.empty() && m.key == skip) continue;
    std::size_t index = N;
    for (std::size_t i = 0; i < N; ++i) {
      if (fields[i].name == m.key) {
        index = i;
        break;
      }
    }
    if (index == N) {
      std::array<std::string_view, N> names{};
      for (std::size_t i = 0; i < N; ++i) names[i] = fields[i].name;
      return std::unexpected(
          r.error_at(m.key_end, json_messages::unknown_field(m.key, names), {m.key}));
    }
    if (seen[index])
      return std::unexpected(r.error_at(m.key_end, json_messages::duplicate_field(m.key), {m.key}));
    seen[index] = true;
    Reader::Step step(r, m.key);
    if (auto status = fields[index].read(r, m.value, out); !status) return status;
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (fields[i].required && !seen[i]) {
      return std::unexpected(r.error_at(v.end, json_messages::missing_field(fields[i].name)));
    }
  }
  return {};
}

// The record type that holds a data member.
template <typename Owner, typename M>
Owner owner_of(M Owner::*);

// A field reader that reads into one member of the record with `Read`.
template <auto Member, auto Read>
Status read_into(Reader& r, const Value& v, decltype(owner_of(Member))& out) {
  return Read(r, v, out.*Member);
}

// ---- scalar readers ----

Status read_string(Reader& r, const Value& v, std::string& out) {
  if (!v.is_string())
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "a string")));
  out = v.string;
  return {};
}

Status read_opt_string(Reader& r, const Value& v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return {};
  }
  std::string s;
  if (auto st = read_string(r, v, s); !st) return st;
  out = std::move(s);
  return {};
}

Status read_unsigned(Reader& r, const Value& v, std::string_view type_name, std::uint64_t max,
                     std::uint64_t& out) {
  switch (v.type) {
    case Value::Type::Unsigned:
      if (v.u64 > max)
        return std::unexpected(r.error_at(v.end, json_messages::invalid_value(v, type_name)));
      out = v.u64;
      return {};
    case Value::Type::Signed:
      return std::unexpected(r.error_at(v.end, json_messages::invalid_value(v, type_name)));
    default:
      return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, type_name)));
  }
}

Status read_usize(Reader& r, const Value& v, std::uint64_t& out) {
  return read_unsigned(r, v, "usize", UINT64_MAX, out);
}
Status read_u64(Reader& r, const Value& v, std::uint64_t& out) {
  return read_unsigned(r, v, "u64", UINT64_MAX, out);
}
Status read_u8(Reader& r, const Value& v, std::uint8_t& out) {
  std::uint64_t wide = 0;
  if (auto st = read_unsigned(r, v, "u8", 255, wide); !st) return st;
  out = static_cast<std::uint8_t>(wide);
  return {};
}

Status read_opt_u64(Reader& r, const Value& v, std::optional<std::uint64_t>& out) {
  if (v.is_null()) {
    out.reset();
    return {};
  }
  std::uint64_t x = 0;
  if (auto st = read_u64(r, v, x); !st) return st;
  out = x;
  return {};
}

Status read_opt_f64(Reader& r, const Value& v, std::optional<double>& out) {
  if (v.is_null()) {
    out.reset();
    return {};
  }
  if (!v.is_number())
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "f64")));
  out = v.as_double();
  return {};
}

Status read_bool(Reader& r, const Value& v, bool& out) {
  if (v.type != Value::Type::Bool) {
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "a boolean")));
  }
  out = v.boolean;
  return {};
}

// Appends the steps from `at` down to `target` (a value inside it); false when it is not there.
// Parsed values nest at most as deep as the parser's depth limit.
bool steps_to(const Value& at, const Value* target, std::vector<JsonPathStep>& steps) {
  if (&at == target) return true;
  for (std::size_t i = 0; i < at.array.size(); ++i) {
    steps.emplace_back(static_cast<std::uint64_t>(i));
    if (steps_to(at.array[i], target, steps)) return true;
    steps.pop_back();
  }
  for (const json::Member& m : at.object) {
    steps.emplace_back(m.key);
    if (steps_to(m.value, target, steps)) return true;
    steps.pop_back();
  }
  return false;
}

// Generic values are kept as parsed, but a repeated key anywhere inside them is refused: two
// readers of the same manifest must never disagree about which member counts.
Status refuse_repeated_keys(Reader& r, const Value& v) {
  std::vector<const Value*> pending{&v};
  while (!pending.empty()) {
    const Value* current = pending.back();
    pending.pop_back();
    if (current->is_array()) {
      for (const Value& element : current->array) pending.push_back(&element);
    } else if (current->is_object()) {
      std::vector<std::string_view> keys;
      keys.reserve(current->object.size());
      for (const json::Member& m : current->object) keys.push_back(m.key);
      std::vector<std::size_t> order(keys.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
      std::optional<std::size_t> first_dup;
      for (std::size_t i = 1; i < order.size(); ++i) {
        if (keys[order[i]] == keys[order[i - 1]]) {
          const std::size_t later = std::max(order[i], order[i - 1]);
          if (!first_dup || later < *first_dup) first_dup = later;
        }
      }
      if (first_dup) {
        const json::Member& m = current->object[*first_dup];
        std::vector<JsonPathStep> steps;
        steps_to(v, current, steps);
        steps.emplace_back(m.key);
        return std::unexpected(
            r.error_at(m.key_end, json_messages::duplicate_field(m.key), std::move(steps)));
      }
      for (const json::Member& m : current->object) pending.push_back(&m.value);
    }
  }
  return {};
}

// ---- enumerations ----

template <std::size_t N>
std::optional<std::size_t> find_name(const std::array<std::string_view, N>& names,
                                     std::string_view value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == value) return i;
  }
  return std::nullopt;
}

// A plain string enumeration such as "kind": "rank".
template <std::size_t N>
Status read_enum(Reader& r, const Value& v, std::string_view enum_name,
                 const std::array<std::string_view, N>& names, std::size_t& out) {
  if (!v.is_string()) {
    return std::unexpected(
        r.error_at(v.end, json_messages::invalid_type(v, "enum " + std::string(enum_name))));
  }
  const auto index = find_name(names, v.string);
  if (!index)
    return std::unexpected(r.error_at(v.end, json_messages::unknown_variant(v.string, names)));
  out = *index;
  return {};
}

// The tag of a tagged object: the value of its "kind" member, wherever it stands.
template <std::size_t N>
Status read_tag(Reader& r, const Value& v, std::string_view record,
                const std::array<std::string_view, N>& names, std::size_t& out) {
  if (!v.is_object()) {
    return std::unexpected(r.error_at(
        v.end, json_messages::invalid_type(v, "internally tagged enum " + std::string(record))));
  }
  const Value* tag = nullptr;
  for (const json::Member& m : v.object) {
    if (m.key != "kind") continue;
    if (tag != nullptr)
      return std::unexpected(r.error_at(v.end, json_messages::duplicate_field("kind"), {"kind"}));
    tag = &m.value;
  }
  if (tag == nullptr)
    return std::unexpected(r.error_at(v.end, json_messages::missing_field("kind")));
  if (!tag->is_string()) {
    return std::unexpected(
        r.error_at(v.end, json_messages::invalid_type(*tag, "variant identifier"), {"kind"}));
  }
  const auto index = find_name(names, tag->string);
  if (!index) {
    return std::unexpected(
        r.error_at(v.end, json_messages::unknown_variant(tag->string, names), {"kind"}));
  }
  out = *index;
  return {};
}

Status read_parameterization(Reader& r, const Value& v, ProfileParameterization& out) {
  const Value* name = &v;
  if (v.is_object()) {
    if (v.object.size() != 1) {
      return std::unexpected(r.error_at(
          v.end, json_messages::invalid_length(v.object.size(), "map with a single key")));
    }
    const json::Member& only = v.object.front();
    const auto index = find_name(kParameterizationNames, only.key);
    if (!index) {
      return std::unexpected(r.error_at(
          only.key_end, json_messages::unknown_variant(only.key, kParameterizationNames)));
    }
    if (!only.value.is_null()) {
      return std::unexpected(r.error_at(
          only.value.end, json_messages::invalid_type(only.value, "unit variant"), {only.key}));
    }
    out = static_cast<ProfileParameterization>(*index);
    return {};
  }
  if (!name->is_string()) {
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "string or map")));
  }
  const auto index = find_name(kParameterizationNames, v.string);
  if (!index) {
    return std::unexpected(
        r.error_at(v.end, json_messages::unknown_variant(v.string, kParameterizationNames)));
  }
  out = static_cast<ProfileParameterization>(*index);
  return {};
}

// ---- containers ----

template <typename T, Status (*ReadOne)(Reader&, const Value&, T&)>
Status read_list(Reader& r, const Value& v, std::vector<T>& out) {
  if (!v.is_array())
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "a sequence")));
  out.clear();
  out.reserve(v.array.size());
  for (std::size_t i = 0; i < v.array.size(); ++i) {
    T item{};
    Reader::Step step(r, static_cast<std::uint64_t>(i));
    if (auto st = ReadOne(r, v.array[i], item); !st) return st;
    out.push_back(std::move(item));
  }
  return {};
}

// An optional record: null means not given; anything else is read in full as the record.
template <typename T, Status (*ReadOne)(Reader&, const Value&, T&)>
Status read_optional(Reader& r, const Value& v, std::optional<T>& out) {
  out.reset();
  if (v.is_null()) return {};
  T record{};
  if (auto st = ReadOne(r, v, record); !st) return st;
  out = std::move(record);
  return {};
}

// ---- records ----

Status read_index_kind(Reader& r, const Value& v, ManifestIndexKind& out) {
  std::size_t kind = 0;
  if (auto st = read_enum(r, v, "ManifestIndexKind", kIndexKindNames, kind); !st) return st;
  out = static_cast<ManifestIndexKind>(kind);
  return {};
}

Status read_params(Reader& r, const Value& v, ManifestIndexParams& out) {
  using P = ManifestIndexParams;
  std::size_t tag = 0;
  if (auto st = read_tag(r, v, "ManifestIndexParams", kIndexKindNames, tag); !st) return st;
  Reader::TaggedScope scope(r, v.end);
  out = ManifestIndexParams{};
  out.kind = static_cast<ManifestIndexKind>(tag);
  switch (out.kind) {
    case ManifestIndexKind::Rank:
    case ManifestIndexKind::SignBitmap:
      return {};  // variants without fields ignore whatever else the object holds
    case ManifestIndexKind::RankQuant: {
      static constexpr std::array<Field<P>, 1> kFields{
          {{"bits", true, read_into<&P::bits, read_u8>}}};
      return read_record(r, v, "RankQuant", kFields, out, "kind");
    }
    case ManifestIndexKind::Bitmap: {
      static constexpr std::array<Field<P>, 1> kFields{
          {{"n_top", true, read_into<&P::n_top, read_usize>}}};
      return read_record(r, v, "Bitmap", kFields, out, "kind");
    }
  }
  return {};
}

Status read_artifact(Reader& r, const Value& v, Artifact& out) {
  using A = Artifact;
  static constexpr std::array<Field<A>, 9> kFields{{
      {"path", true, read_into<&A::path, read_string>},
      {"sha256", true, read_into<&A::sha256, read_string>},
      {"kind", true, read_into<&A::kind, read_index_kind>},
      {"format_version", true, read_into<&A::format_version, read_u8>},
      {"dim", true, read_into<&A::dim, read_usize>},
      {"vector_count", true, read_into<&A::vector_count, read_usize>},
      {"bytes_per_vec", true, read_into<&A::bytes_per_vec, read_usize>},
      {"params", true, read_into<&A::params, read_params>},
      {"file_size_bytes", true, read_into<&A::file_size_bytes, read_u64>},
  }};
  return read_record(r, v, "Artifact", kFields, out);
}

// `required` defaults to true, also when written as null.
Status read_required_flag(Reader& r, const Value& v, bool& out) {
  if (v.is_null()) {
    out = true;
    return {};
  }
  return read_bool(r, v, out);
}

Status read_auxiliary(Reader& r, const Value& v, AuxiliaryArtifact& out) {
  using A = AuxiliaryArtifact;
  static constexpr std::array<Field<A>, 5> kFields{{
      {"name", true, read_into<&A::name, read_string>},
      {"path", true, read_into<&A::path, read_string>},
      {"sha256", true, read_into<&A::sha256, read_string>},
      {"file_size_bytes", true, read_into<&A::file_size_bytes, read_u64>},
      {"required", false, read_into<&A::required, read_required_flag>},
  }};
  out.required = true;
  return read_record(r, v, "AuxiliaryArtifact", kFields, out);
}

Status read_embedding(Reader& r, const Value& v, Embedding& out) {
  using E = Embedding;
  static constexpr std::array<Field<E>, 8> kFields{{
      {"model", true, read_into<&E::model, read_string>},
      {"dim", true, read_into<&E::dim, read_usize>},
      {"model_revision", false, read_into<&E::model_revision, read_opt_string>},
      {"tokenizer_revision", false, read_into<&E::tokenizer_revision, read_opt_string>},
      {"pooling", false, read_into<&E::pooling, read_opt_string>},
      {"corpus_digest", false, read_into<&E::corpus_digest, read_opt_string>},
      {"embedding_matrix_digest", false, read_into<&E::embedding_matrix_digest, read_opt_string>},
      {"normalization", false, read_into<&E::normalization, read_opt_string>},
  }};
  return read_record(r, v, "Embedding", kFields, out);
}

Status read_metric(Reader& r, const Value& v, MetricSpec& out) {
  using M = MetricSpec;
  static constexpr std::array<Field<M>, 3> kFields{{
      {"name", true, read_into<&M::name, read_string>},
      {"version", false, read_into<&M::version, read_opt_string>},
      {"digest", false, read_into<&M::digest, read_opt_string>},
  }};
  return read_record(r, v, "MetricSpec", kFields, out);
}

Status read_encoder(Reader& r, const Value& v, EncoderSpec& out) {
  using E = EncoderSpec;
  static constexpr std::array<Field<E>, 4> kFields{{
      {"model", true, read_into<&E::model, read_string>},
      {"dim", true, read_into<&E::dim, read_usize>},
      {"model_revision", false, read_into<&E::model_revision, read_opt_string>},
      {"normalization", false, read_into<&E::normalization, read_opt_string>},
  }};
  return read_record(r, v, "EncoderSpec", kFields, out);
}

Status read_row_identity_db(Reader& r, const Value& v, RowIdentityDb& out) {
  using D = RowIdentityDb;
  static constexpr std::array<Field<D>, 3> kFields{{
      {"path", false, read_into<&D::path, read_opt_string>},
      {"table", false, read_into<&D::table, read_opt_string>},
      {"id_column", false, read_into<&D::id_column, read_opt_string>},
  }};
  return read_record(r, v, "RowIdentityDb", kFields, out);
}

Status read_row_identity(Reader& r, const Value& v, RowIdentity& out) {
  using R = RowIdentity;
  std::size_t tag = 0;
  if (auto st = read_tag(r, v, "RowIdentity", kRowIdentityKindNames, tag); !st) return st;
  Reader::TaggedScope scope(r, v.end);
  out = RowIdentity{};
  out.kind = static_cast<RowIdentity::Kind>(tag);
  if (out.kind == RowIdentity::Kind::RowIdIdentity) {
    static constexpr std::array<Field<R>, 1> kFields{
        {{"row_count", true, read_into<&R::row_count, read_usize>}}};
    return read_record(r, v, "RowIdIdentity", kFields, out, "kind");
  }
  static constexpr std::array<Field<R>, 5> kFields{{
      {"path", true, read_into<&R::path, read_string>},
      {"sha256", true, read_into<&R::sha256, read_string>},
      {"row_count", true, read_into<&R::row_count, read_usize>},
      {"id_kind", true, read_into<&R::id_kind, read_string>},
      {"db", false, read_into<&R::db, read_optional<RowIdentityDb, read_row_identity_db>>},
  }};
  return read_record(r, v, "Jsonl", kFields, out, "kind");
}

Status read_build(Reader& r, const Value& v, BuildInfo& out) {
  using B = BuildInfo;
  static constexpr std::array<Field<B>, 6> kFields{{
      {"invocation_id", true, read_into<&B::invocation_id, read_string>},
      {"builder_id", false, read_into<&B::builder_id, read_opt_string>},
      {"source_repo", false, read_into<&B::source_repo, read_opt_string>},
      {"source_commit", false, read_into<&B::source_commit, read_opt_string>},
      {"ci_provider", false, read_into<&B::ci_provider, read_opt_string>},
      {"ci_run_id", false, read_into<&B::ci_run_id, read_opt_string>},
  }};
  return read_record(r, v, "BuildInfo", kFields, out);
}

// ---- calibration ----

Status read_profile_artifact(Reader& r, const Value& v, ProfileArtifactRef& out) {
  using P = ProfileArtifactRef;
  static constexpr std::array<Field<P>, 9> kFields{{
      {"path", true, read_into<&P::path, read_string>},
      {"sha256", true, read_into<&P::sha256, read_string>},
      {"file_size_bytes", true, read_into<&P::file_size_bytes, read_u64>},
      {"dim", true, read_into<&P::dim, read_usize>},
      {"sample_count", true, read_into<&P::sample_count, read_usize>},
      {"parameterization", true, read_into<&P::parameterization, read_parameterization>},
      {"format", true, read_into<&P::format, read_string>},
      {"shape", false, read_into<&P::shape, read_list<std::uint64_t, read_usize>>},
      {"source_digest", false, read_into<&P::source_digest, read_opt_string>},
  }};
  return read_record(r, v, "ProfileArtifactRef", kFields, out);
}

Status read_ordinalization(Reader& r, const Value& v, CalibrationOrdinalization& out) {
  using O = CalibrationOrdinalization;
  std::size_t tag = 0;
  if (auto st = read_tag(r, v, "CalibrationOrdinalization", kOrdinalizationNames, tag); !st) {
    return st;
  }
  Reader::TaggedScope scope(r, v.end);
  out = CalibrationOrdinalization{};
  out.kind = static_cast<O::Kind>(tag);
  static constexpr Field<O> kDim{"dim", true, read_into<&O::dim, read_usize>};
  switch (out.kind) {
    case O::Kind::TopK: {
      static constexpr std::array<Field<O>, 2> kFields{
          {kDim, {"k", true, read_into<&O::k, read_usize>}}};
      return read_record(r, v, "TopK", kFields, out, "kind");
    }
    case O::Kind::Bucket: {
      static constexpr std::array<Field<O>, 2> kFields{
          {kDim, {"bits", true, read_into<&O::bits, read_u8>}}};
      return read_record(r, v, "Bucket", kFields, out, "kind");
    }
    case O::Kind::Sign:
    case O::Kind::RankPosition: {
      static constexpr std::array<Field<O>, 1> kFields{{kDim}};
      return read_record(r, v, out.kind == O::Kind::Sign ? "Sign" : "RankPosition", kFields, out,
                         "kind");
    }
    case O::Kind::CallerDefined: {
      static constexpr std::array<Field<O>, 2> kFields{
          {kDim, {"name", true, read_into<&O::name, read_string>}}};
      return read_record(r, v, "CallerDefined", kFields, out, "kind");
    }
  }
  return {};
}

Status read_null_model(Reader& r, const Value& v, NullModelSpec& out) {
  using N = NullModelSpec;
  std::size_t tag = 0;
  if (auto st = read_tag(r, v, "NullModelSpec", kNullModelNames, tag); !st) return st;
  Reader::TaggedScope scope(r, v.end);
  out = NullModelSpec{};
  out.kind = static_cast<N::Kind>(tag);
  switch (out.kind) {
    case N::Kind::UniformHypergeometric:
      return {};
    case N::Kind::WeightedMarginalProfile: {
      static constexpr std::array<Field<N>, 1> kFields{
          {{"parameterization", true, read_into<&N::parameterization, read_parameterization>}}};
      return read_record(r, v, "WeightedMarginalProfile", kFields, out, "kind");
    }
    case N::Kind::EmpiricalTailTable: {
      static constexpr std::array<Field<N>, 1> kFields{
          {{"statistic", true, read_into<&N::statistic, read_string>}}};
      return read_record(r, v, "EmpiricalTailTable", kFields, out, "kind");
    }
    case N::Kind::CallerDefined: {
      static constexpr std::array<Field<N>, 2> kFields{{
          {"name", true, read_into<&N::name, read_string>},
          {"parameterization", false, read_into<&N::caller_parameterization, read_opt_string>},
      }};
      return read_record(r, v, "CallerDefined", kFields, out, "kind");
    }
  }
  return {};
}

Status read_calibration(Reader& r, const Value& v, CalibrationProfileRef& out) {
  using C = CalibrationProfileRef;
  static constexpr std::array<Field<C>, 7> kFields{{
      {"schema_version", true, read_into<&C::schema_version, read_string>},
      {"profile_id", true, read_into<&C::profile_id, read_string>},
      {"created_at", false, read_into<&C::created_at, read_opt_string>},
      {"calibrated_for", true, read_into<&C::calibrated_for, read_encoder>},
      {"ordinalization", true, read_into<&C::ordinalization, read_ordinalization>},
      {"profile", false,
       read_into<&C::profile, read_optional<ProfileArtifactRef, read_profile_artifact>>},
      {"null_model", true, read_into<&C::null_model, read_null_model>},
  }};
  return read_record(r, v, "CalibrationProfileRef", kFields, out);
}

// ---- encoder distortion ----

Status read_bounds(Reader& r, const Value& v, DistortionBounds& out) {
  using B = DistortionBounds;
  static constexpr std::array<Field<B>, 6> kFields{{
      {"declared_lower_bound", false, read_into<&B::declared_lower_bound, read_opt_f64>},
      {"declared_upper_bound", false, read_into<&B::declared_upper_bound, read_opt_f64>},
      {"estimated_distortion", false, read_into<&B::estimated_distortion, read_opt_f64>},
      {"violation_rate", false, read_into<&B::violation_rate, read_opt_f64>},
      {"max_observed_violation", false, read_into<&B::max_observed_violation, read_opt_f64>},
      {"quantile_observed_violation", false,
       read_into<&B::quantile_observed_violation, read_opt_f64>},
  }};
  return read_record(r, v, "DistortionBounds", kFields, out);
}

Status read_scope(Reader& r, const Value& v, DistortionScope& out) {
  using S = DistortionScope;
  static constexpr std::array<Field<S>, 8> kFields{{
      {"corpus_digest", false, read_into<&S::corpus_digest, read_opt_string>},
      {"query_set_digest", false, read_into<&S::query_set_digest, read_opt_string>},
      {"pair_sample_digest", false, read_into<&S::pair_sample_digest, read_opt_string>},
      {"domain", false, read_into<&S::domain, read_opt_string>},
      {"sample_size", false, read_into<&S::sample_size, read_opt_u64>},
      {"confidence", false, read_into<&S::confidence, read_opt_f64>},
      {"coverage", false, read_into<&S::coverage, read_opt_f64>},
      {"estimator_version", false, read_into<&S::estimator_version, read_opt_string>},
  }};
  return read_record(r, v, "DistortionScope", kFields, out);
}

Status read_evidence_kind(Reader& r, const Value& v, DistortionEvidenceKind& out) {
  std::size_t kind = 0;
  if (auto st = read_enum(r, v, "DistortionEvidenceKind", kEvidenceNames, kind); !st) return st;
  out = static_cast<DistortionEvidenceKind>(kind);
  return {};
}

Status read_evidence(Reader& r, const Value& v, DistortionEvidence& out) {
  using E = DistortionEvidence;
  static constexpr std::array<Field<E>, 3> kFields{{
      {"kind", true, read_into<&E::kind, read_evidence_kind>},
      {"estimator_id", false, read_into<&E::estimator_id, read_opt_string>},
      {"estimator_hash", false, read_into<&E::estimator_hash, read_opt_string>},
  }};
  return read_record(r, v, "DistortionEvidence", kFields, out);
}

Status read_distortion_profile(Reader& r, const Value& v, DistortionProfileArtifactRef& out) {
  using P = DistortionProfileArtifactRef;
  static constexpr std::array<Field<P>, 5> kFields{{
      {"path", true, read_into<&P::path, read_string>},
      {"sha256", true, read_into<&P::sha256, read_string>},
      {"file_size_bytes", true, read_into<&P::file_size_bytes, read_u64>},
      {"format", true, read_into<&P::format, read_string>},
      {"source_digest", false, read_into<&P::source_digest, read_opt_string>},
  }};
  return read_record(r, v, "DistortionProfileArtifactRef", kFields, out);
}

Status read_encoder_distortion(Reader& r, const Value& v, EncoderDistortionProfileRef& out) {
  using D = EncoderDistortionProfileRef;
  static constexpr std::array<Field<D>, 13> kFields{{
      {"schema_version", true, read_into<&D::schema_version, read_string>},
      {"profile_id", true, read_into<&D::profile_id, read_string>},
      {"created_at", false, read_into<&D::created_at, read_opt_string>},
      {"encoder", true, read_into<&D::encoder, read_encoder>},
      {"tokenizer_revision", false, read_into<&D::tokenizer_revision, read_opt_string>},
      {"pooling", false, read_into<&D::pooling, read_opt_string>},
      {"source_metric", true, read_into<&D::source_metric, read_metric>},
      {"embedding_metric", true, read_into<&D::embedding_metric, read_metric>},
      {"bounds", true, read_into<&D::bounds, read_bounds>},
      {"scope", true, read_into<&D::scope, read_scope>},
      {"evidence", true, read_into<&D::evidence, read_evidence>},
      {"profile", false,
       read_into<&D::profile,
                 read_optional<DistortionProfileArtifactRef, read_distortion_profile>>},
      {"calibration_profile_id", false, read_into<&D::calibration_profile_id, read_opt_string>},
  }};
  return read_record(r, v, "EncoderDistortionProfileRef", kFields, out);
}

// ---- the manifest ----

Status read_attestations(Reader& r, const Value& v, std::vector<json::Value>& out) {
  if (!v.is_array()) {
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "a sequence")));
  }
  if (auto st = refuse_repeated_keys(r, v); !st) return st;
  out = v.array;
  return {};
}

Status read_extensions(Reader& r, const Value& v, std::map<std::string, json::Value>& out) {
  if (!v.is_object()) {
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "a map")));
  }
  if (auto st = refuse_repeated_keys(r, v); !st) return st;
  out.clear();
  for (const json::Member& m : v.object) out.emplace(m.key, m.value);
  return {};
}

Status read_manifest(Reader& r, const Value& v, IndexManifest& out) {
  using M = IndexManifest;
  static constexpr std::array<Field<M>, 12> kFields{{
      {"schema_version", true, read_into<&M::schema_version, read_string>},
      {"manifest_id", true, read_into<&M::manifest_id, read_string>},
      {"created_at", true, read_into<&M::created_at, read_string>},
      {"artifact", true, read_into<&M::artifact, read_artifact>},
      {"auxiliary_artifacts", false,
       read_into<&M::auxiliary_artifacts, read_list<AuxiliaryArtifact, read_auxiliary>>},
      {"embedding", true, read_into<&M::embedding, read_embedding>},
      {"encoder_distortion", false,
       read_into<&M::encoder_distortion,
                 read_optional<EncoderDistortionProfileRef, read_encoder_distortion>>},
      {"calibration", false,
       read_into<&M::calibration, read_optional<CalibrationProfileRef, read_calibration>>},
      {"row_identity", true, read_into<&M::row_identity, read_row_identity>},
      {"build", false, read_into<&M::build, read_optional<BuildInfo, read_build>>},
      {"attestations", false, read_into<&M::attestations, read_attestations>},
      {"extensions", false, read_into<&M::extensions, read_extensions>},
  }};
  return read_record(r, v, "IndexManifest", kFields, out);
}

}  // namespace

Result<IndexManifest> parse_manifest(std::string_view text) {
  auto value = json::parse(text);
  if (!value) {
    json::ParseError& e = value.error();
    ParseFacts facts;
    facts.reason = e.reason;
    facts.offset = e.offset;
    facts.json_path = std::move(e.path);
    return std::unexpected(ManifestError::parse(std::move(e.message), e.position.line,
                                                e.position.column, std::move(facts)));
  }
  Reader reader(text);
  IndexManifest manifest;
  if (auto st = read_manifest(reader, *value, manifest); !st) {
    return std::unexpected(std::move(st.error()));
  }
  return manifest;
}

}  // namespace karnid::manifest
