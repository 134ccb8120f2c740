// Typed reading and writing of the manifest.
//
// Reading mirrors a streaming deserializer: members are handled in document order, so the first
// offending member decides the error (unknown key, duplicate key, or a value of the wrong type),
// and missing required keys are reported after the whole object was read. Errors point just past
// the offending key or value; inside tagged objects ("kind" anywhere) the whole object is read
// before its variant is known, so their errors point at the end of the tagged object.
#include <algorithm>
#include <array>
#include <bitset>
#include <span>

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

  [[nodiscard]] ManifestError error_at(std::size_t offset, std::string message) const {
    const json::Position pos = json::position_after(text_, fixed_ ? *fixed_ : offset);
    return ManifestError::json(std::move(message), pos.line, pos.column);
  }

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
};

struct Key {
  std::string_view name;
  bool required;
};

// Reads an object member by member against a key table. `on_member(index, value)` parses one
// member; `skip` (a key that belongs to an enclosing tagged object) is passed over silently.
template <typename OnMember>
Status read_record(Reader& r, const Value& v, std::string_view record, std::span<const Key> keys,
                   OnMember&& on_member, std::string_view skip = {}) {
  if (!v.is_object()) {
    return std::unexpected(
        r.error_at(v.end, json_messages::invalid_type(v, "struct " + std::string(record))));
  }
  std::bitset<16> seen;
  for (const json::Member& m : v.object) {
    if (!skip.empty() && m.key == skip) continue;
    std::size_t index = keys.size();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i].name == m.key) {
        index = i;
        break;
      }
    }
    if (index == keys.size()) {
      std::array<std::string_view, 16> names{};
      for (std::size_t i = 0; i < keys.size(); ++i) names[i] = keys[i].name;
      return std::unexpected(r.error_at(
          m.key_end, json_messages::unknown_field(m.key, std::span(names.data(), keys.size()))));
    }
    if (seen[index])
      return std::unexpected(r.error_at(m.key_end, json_messages::duplicate_field(m.key)));
    seen[index] = true;
    if (auto status = on_member(index, m.value); !status) return status;
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].required && !seen[i]) {
      return std::unexpected(r.error_at(v.end, json_messages::missing_field(keys[i].name)));
    }
  }
  return {};
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

// Generic values are kept as parsed, but a repeated key anywhere inside them is refused: two
// readers of the same manifest must never disagree about which member counts.
Status check_generic(Reader& r, const Value& v) {
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
        return std::unexpected(r.error_at(m.key_end, json_messages::duplicate_field(m.key)));
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
      return std::unexpected(r.error_at(v.end, json_messages::duplicate_field("kind")));
    tag = &m.value;
  }
  if (tag == nullptr)
    return std::unexpected(r.error_at(v.end, json_messages::missing_field("kind")));
  if (!tag->is_string()) {
    return std::unexpected(
        r.error_at(v.end, json_messages::invalid_type(*tag, "variant identifier")));
  }
  const auto index = find_name(names, tag->string);
  if (!index)
    return std::unexpected(r.error_at(v.end, json_messages::unknown_variant(tag->string, names)));
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
      return std::unexpected(
          r.error_at(only.value.end, json_messages::invalid_type(only.value, "unit variant")));
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

// ---- records ----

Status read_params(Reader& r, const Value& v, ManifestIndexParams& out) {
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
      static constexpr std::array<Key, 1> kKeys{{{"bits", true}}};
      return read_record(
          r, v, "RankQuant", kKeys,
          [&](std::size_t, const Value& x) { return read_u8(r, x, out.bits); }, "kind");
    }
    case ManifestIndexKind::Bitmap: {
      static constexpr std::array<Key, 1> kKeys{{{"n_top", true}}};
      return read_record(
          r, v, "Bitmap", kKeys,
          [&](std::size_t, const Value& x) { return read_usize(r, x, out.n_top); }, "kind");
    }
  }
  return {};
}

Status read_artifact(Reader& r, const Value& v, Artifact& out) {
  static constexpr std::array<Key, 9> kKeys{{{"path", true},
                                             {"sha256", true},
                                             {"kind", true},
                                             {"format_version", true},
                                             {"dim", true},
                                             {"vector_count", true},
                                             {"bytes_per_vec", true},
                                             {"params", true},
                                             {"file_size_bytes", true}}};
  return read_record(r, v, "Artifact", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_string(r, x, out.path);
      case 1:
        return read_string(r, x, out.sha256);
      case 2: {
        std::size_t kind = 0;
        if (auto st = read_enum(r, x, "ManifestIndexKind", kIndexKindNames, kind); !st) return st;
        out.kind = static_cast<ManifestIndexKind>(kind);
        return {};
      }
      case 3:
        return read_u8(r, x, out.format_version);
      case 4:
        return read_usize(r, x, out.dim);
      case 5:
        return read_usize(r, x, out.vector_count);
      case 6:
        return read_usize(r, x, out.bytes_per_vec);
      case 7:
        return read_params(r, x, out.params);
      default:
        return read_u64(r, x, out.file_size_bytes);
    }
  });
}

Status read_auxiliary(Reader& r, const Value& v, AuxiliaryArtifact& out) {
  static constexpr std::array<Key, 5> kKeys{{{"name", true},
                                             {"path", true},
                                             {"sha256", true},
                                             {"file_size_bytes", true},
                                             {"required", false}}};
  out.required = true;
  return read_record(r, v, "AuxiliaryArtifact", kKeys,
                     [&](std::size_t i, const Value& x) -> Status {
                       switch (i) {
                         case 0:
                           return read_string(r, x, out.name);
                         case 1:
                           return read_string(r, x, out.path);
                         case 2:
                           return read_string(r, x, out.sha256);
                         case 3:
                           return read_u64(r, x, out.file_size_bytes);
                         default:
                           if (x.is_null()) {
                             out.required = true;
                             return {};
                           }
                           return read_bool(r, x, out.required);
                       }
                     });
}

template <typename T, typename ReadOne>
Status read_list(Reader& r, const Value& v, std::vector<T>& out, ReadOne&& read_one) {
  if (!v.is_array())
    return std::unexpected(r.error_at(v.end, json_messages::invalid_type(v, "a sequence")));
  out.clear();
  out.reserve(v.array.size());
  for (const Value& element : v.array) {
    T item{};
    if (auto st = read_one(element, item); !st) return st;
    out.push_back(std::move(item));
  }
  return {};
}

Status read_embedding(Reader& r, const Value& v, Embedding& out) {
  static constexpr std::array<Key, 8> kKeys{{{"model", true},
                                             {"dim", true},
                                             {"model_revision", false},
                                             {"tokenizer_revision", false},
                                             {"pooling", false},
                                             {"corpus_digest", false},
                                             {"embedding_matrix_digest", false},
                                             {"normalization", false}}};
  return read_record(r, v, "Embedding", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_string(r, x, out.model);
      case 1:
        return read_usize(r, x, out.dim);
      case 2:
        return read_opt_string(r, x, out.model_revision);
      case 3:
        return read_opt_string(r, x, out.tokenizer_revision);
      case 4:
        return read_opt_string(r, x, out.pooling);
      case 5:
        return read_opt_string(r, x, out.corpus_digest);
      case 6:
        return read_opt_string(r, x, out.embedding_matrix_digest);
      default:
        return read_opt_string(r, x, out.normalization);
    }
  });
}

Status read_metric(Reader& r, const Value& v, MetricSpec& out) {
  static constexpr std::array<Key, 3> kKeys{
      {{"name", true}, {"version", false}, {"digest", false}}};
  return read_record(r, v, "MetricSpec", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_string(r, x, out.name);
      case 1:
        return read_opt_string(r, x, out.version);
      default:
        return read_opt_string(r, x, out.digest);
    }
  });
}

Status read_encoder(Reader& r, const Value& v, EncoderSpec& out) {
  static constexpr std::array<Key, 4> kKeys{
      {{"model", true}, {"dim", true}, {"model_revision", false}, {"normalization", false}}};
  return read_record(r, v, "EncoderSpec", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_string(r, x, out.model);
      case 1:
        return read_usize(r, x, out.dim);
      case 2:
        return read_opt_string(r, x, out.model_revision);
      default:
        return read_opt_string(r, x, out.normalization);
    }
  });
}

// An optional record: null means not given; anything else is read in full as the record.
template <typename T>
Status read_optional(Reader& r, const Value& v, std::optional<T>& out,
                     Status (*read_one)(Reader&, const Value&, T&)) {
  out.reset();
  if (v.is_null()) return {};
  T record{};
  if (auto st = read_one(r, v, record); !st) return st;
  out = std::move(record);
  return {};
}

Status read_row_identity_db(Reader& r, const Value& v, RowIdentityDb& db) {
  static constexpr std::array<Key, 3> kKeys{
      {{"path", false}, {"table", false}, {"id_column", false}}};
  return read_record(r, v, "RowIdentityDb", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_opt_string(r, x, db.path);
      case 1:
        return read_opt_string(r, x, db.table);
      default:
        return read_opt_string(r, x, db.id_column);
    }
  });
}

Status read_row_identity(Reader& r, const Value& v, RowIdentity& out) {
  std::size_t tag = 0;
  if (auto st = read_tag(r, v, "RowIdentity", kRowIdentityKindNames, tag); !st) return st;
  Reader::TaggedScope scope(r, v.end);
  out = RowIdentity{};
  out.kind = static_cast<RowIdentity::Kind>(tag);
  if (out.kind == RowIdentity::Kind::RowIdIdentity) {
    static constexpr std::array<Key, 1> kKeys{{{"row_count", true}}};
    return read_record(
        r, v, "RowIdIdentity", kKeys,
        [&](std::size_t, const Value& x) { return read_usize(r, x, out.row_count); }, "kind");
  }
  static constexpr std::array<Key, 5> kKeys{
      {{"path", true}, {"sha256", true}, {"row_count", true}, {"id_kind", true}, {"db", false}}};
  return read_record(
      r, v, "Jsonl", kKeys,
      [&](std::size_t i, const Value& x) -> Status {
        switch (i) {
          case 0:
            return read_string(r, x, out.path);
          case 1:
            return read_string(r, x, out.sha256);
          case 2:
            return read_usize(r, x, out.row_count);
          case 3:
            return read_string(r, x, out.id_kind);
          default:
            return read_optional(r, x, out.db, read_row_identity_db);
        }
      },
      "kind");
}

Status read_build(Reader& r, const Value& v, BuildInfo& build) {
  static constexpr std::array<Key, 6> kKeys{{{"invocation_id", true},
                                             {"builder_id", false},
                                             {"source_repo", false},
                                             {"source_commit", false},
                                             {"ci_provider", false},
                                             {"ci_run_id", false}}};
  return read_record(r, v, "BuildInfo", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_string(r, x, build.invocation_id);
      case 1:
        return read_opt_string(r, x, build.builder_id);
      case 2:
        return read_opt_string(r, x, build.source_repo);
      case 3:
        return read_opt_string(r, x, build.source_commit);
      case 4:
        return read_opt_string(r, x, build.ci_provider);
      default:
        return read_opt_string(r, x, build.ci_run_id);
    }
  });
}

Status read_profile_artifact(Reader& r, const Value& v, ProfileArtifactRef& p) {
  static constexpr std::array<Key, 9> kKeys{{{"path", true},
                                             {"sha256", true},
                                             {"file_size_bytes", true},
                                             {"dim", true},
                                             {"sample_count", true},
                                             {"parameterization", true},
                                             {"format", true},
                                             {"shape", false},
                                             {"source_digest", false}}};
  return read_record(
      r, v, "ProfileArtifactRef", kKeys, [&](std::size_t i, const Value& x) -> Status {
        switch (i) {
          case 0:
            return read_string(r, x, p.path);
          case 1:
            return read_string(r, x, p.sha256);
          case 2:
            return read_u64(r, x, p.file_size_bytes);
          case 3:
            return read_usize(r, x, p.dim);
          case 4:
            return read_usize(r, x, p.sample_count);
          case 5:
            return read_parameterization(r, x, p.parameterization);
          case 6:
            return read_string(r, x, p.format);
          case 7:
            return read_list(r, x, p.shape,
                             [&](const Value& e, std::uint64_t& d) { return read_usize(r, e, d); });
          default:
            return read_opt_string(r, x, p.source_digest);
        }
      });
}

Status read_ordinalization(Reader& r, const Value& v, CalibrationOrdinalization& out) {
  std::size_t tag = 0;
  if (auto st = read_tag(r, v, "CalibrationOrdinalization", kOrdinalizationNames, tag); !st) {
    return st;
  }
  Reader::TaggedScope scope(r, v.end);
  out = CalibrationOrdinalization{};
  out.kind = static_cast<CalibrationOrdinalization::Kind>(tag);
  using K = CalibrationOrdinalization::Kind;
  switch (out.kind) {
    case K::TopK: {
      static constexpr std::array<Key, 2> kKeys{{{"dim", true}, {"k", true}}};
      return read_record(
          r, v, "TopK", kKeys,
          [&](std::size_t i, const Value& x) {
            return i == 0 ? read_usize(r, x, out.dim) : read_usize(r, x, out.k);
          },
          "kind");
    }
    case K::Bucket: {
      static constexpr std::array<Key, 2> kKeys{{{"dim", true}, {"bits", true}}};
      return read_record(
          r, v, "Bucket", kKeys,
          [&](std::size_t i, const Value& x) {
            return i == 0 ? read_usize(r, x, out.dim) : read_u8(r, x, out.bits);
          },
          "kind");
    }
    case K::Sign:
    case K::RankPosition: {
      static constexpr std::array<Key, 1> kKeys{{{"dim", true}}};
      return read_record(
          r, v, out.kind == K::Sign ? "Sign" : "RankPosition", kKeys,
          [&](std::size_t, const Value& x) { return read_usize(r, x, out.dim); }, "kind");
    }
    case K::CallerDefined: {
      static constexpr std::array<Key, 2> kKeys{{{"dim", true}, {"name", true}}};
      return read_record(
          r, v, "CallerDefined", kKeys,
          [&](std::size_t i, const Value& x) {
            return i == 0 ? read_usize(r, x, out.dim) : read_string(r, x, out.name);
          },
          "kind");
    }
  }
  return {};
}

Status read_null_model(Reader& r, const Value& v, NullModelSpec& out) {
  std::size_t tag = 0;
  if (auto st = read_tag(r, v, "NullModelSpec", kNullModelNames, tag); !st) return st;
  Reader::TaggedScope scope(r, v.end);
  out = NullModelSpec{};
  out.kind = static_cast<NullModelSpec::Kind>(tag);
  using K = NullModelSpec::Kind;
  switch (out.kind) {
    case K::UniformHypergeometric:
      return {};
    case K::WeightedMarginalProfile: {
      static constexpr std::array<Key, 1> kKeys{{{"parameterization", true}}};
      return read_record(
          r, v, "WeightedMarginalProfile", kKeys,
          [&](std::size_t, const Value& x) {
            return read_parameterization(r, x, out.parameterization);
          },
          "kind");
    }
    case K::EmpiricalTailTable: {
      static constexpr std::array<Key, 1> kKeys{{{"statistic", true}}};
      return read_record(
          r, v, "EmpiricalTailTable", kKeys,
          [&](std::size_t, const Value& x) { return read_string(r, x, out.statistic); }, "kind");
    }
    case K::CallerDefined: {
      static constexpr std::array<Key, 2> kKeys{{{"name", true}, {"parameterization", false}}};
      return read_record(
          r, v, "CallerDefined", kKeys,
          [&](std::size_t i, const Value& x) {
            return i == 0 ? read_string(r, x, out.name)
                          : read_opt_string(r, x, out.caller_parameterization);
          },
          "kind");
    }
  }
  return {};
}

Status read_calibration(Reader& r, const Value& v, CalibrationProfileRef& c) {
  static constexpr std::array<Key, 7> kKeys{{{"schema_version", true},
                                             {"profile_id", true},
                                             {"created_at", false},
                                             {"calibrated_for", true},
                                             {"ordinalization", true},
                                             {"profile", false},
                                             {"null_model", true}}};
  return read_record(r, v, "CalibrationProfileRef", kKeys,
                     [&](std::size_t i, const Value& x) -> Status {
                       switch (i) {
                         case 0:
                           return read_string(r, x, c.schema_version);
                         case 1:
                           return read_string(r, x, c.profile_id);
                         case 2:
                           return read_opt_string(r, x, c.created_at);
                         case 3:
                           return read_encoder(r, x, c.calibrated_for);
                         case 4:
                           return read_ordinalization(r, x, c.ordinalization);
                         case 5:
                           return read_optional(r, x, c.profile, read_profile_artifact);
                         default:
                           return read_null_model(r, x, c.null_model);
                       }
                     });
}

Status read_bounds(Reader& r, const Value& v, DistortionBounds& out) {
  static constexpr std::array<Key, 6> kKeys{{{"declared_lower_bound", false},
                                             {"declared_upper_bound", false},
                                             {"estimated_distortion", false},
                                             {"violation_rate", false},
                                             {"max_observed_violation", false},
                                             {"quantile_observed_violation", false}}};
  std::array<std::optional<double>*, 6> slots{
      &out.declared_lower_bound, &out.declared_upper_bound,   &out.estimated_distortion,
      &out.violation_rate,       &out.max_observed_violation, &out.quantile_observed_violation};
  return read_record(r, v, "DistortionBounds", kKeys,
                     [&](std::size_t i, const Value& x) { return read_opt_f64(r, x, *slots[i]); });
}

Status read_scope(Reader& r, const Value& v, DistortionScope& out) {
  static constexpr std::array<Key, 8> kKeys{{{"corpus_digest", false},
                                             {"query_set_digest", false},
                                             {"pair_sample_digest", false},
                                             {"domain", false},
                                             {"sample_size", false},
                                             {"confidence", false},
                                             {"coverage", false},
                                             {"estimator_version", false}}};
  return read_record(r, v, "DistortionScope", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_opt_string(r, x, out.corpus_digest);
      case 1:
        return read_opt_string(r, x, out.query_set_digest);
      case 2:
        return read_opt_string(r, x, out.pair_sample_digest);
      case 3:
        return read_opt_string(r, x, out.domain);
      case 4:
        return read_opt_u64(r, x, out.sample_size);
      case 5:
        return read_opt_f64(r, x, out.confidence);
      case 6:
        return read_opt_f64(r, x, out.coverage);
      default:
        return read_opt_string(r, x, out.estimator_version);
    }
  });
}

Status read_evidence(Reader& r, const Value& v, DistortionEvidence& out) {
  static constexpr std::array<Key, 3> kKeys{
      {{"kind", true}, {"estimator_id", false}, {"estimator_hash", false}}};
  return read_record(
      r, v, "DistortionEvidence", kKeys, [&](std::size_t i, const Value& x) -> Status {
        switch (i) {
          case 0: {
            std::size_t kind = 0;
            if (auto st = read_enum(r, x, "DistortionEvidenceKind", kEvidenceNames, kind); !st) {
              return st;
            }
            out.kind = static_cast<DistortionEvidenceKind>(kind);
            return {};
          }
          case 1:
            return read_opt_string(r, x, out.estimator_id);
          default:
            return read_opt_string(r, x, out.estimator_hash);
        }
      });
}

Status read_distortion_profile(Reader& r, const Value& v, DistortionProfileArtifactRef& p) {
  static constexpr std::array<Key, 5> kKeys{{{"path", true},
                                             {"sha256", true},
                                             {"file_size_bytes", true},
                                             {"format", true},
                                             {"source_digest", false}}};
  return read_record(r, v, "DistortionProfileArtifactRef", kKeys,
                     [&](std::size_t i, const Value& x) -> Status {
                       switch (i) {
                         case 0:
                           return read_string(r, x, p.path);
                         case 1:
                           return read_string(r, x, p.sha256);
                         case 2:
                           return read_u64(r, x, p.file_size_bytes);
                         case 3:
                           return read_string(r, x, p.format);
                         default:
                           return read_opt_string(r, x, p.source_digest);
                       }
                     });
}

Status read_encoder_distortion(Reader& r, const Value& v, EncoderDistortionProfileRef& d) {
  static constexpr std::array<Key, 13> kKeys{{{"schema_version", true},
                                              {"profile_id", true},
                                              {"created_at", false},
                                              {"encoder", true},
                                              {"tokenizer_revision", false},
                                              {"pooling", false},
                                              {"source_metric", true},
                                              {"embedding_metric", true},
                                              {"bounds", true},
                                              {"scope", true},
                                              {"evidence", true},
                                              {"profile", false},
                                              {"calibration_profile_id", false}}};
  return read_record(r, v, "EncoderDistortionProfileRef", kKeys,
                     [&](std::size_t i, const Value& x) -> Status {
                       switch (i) {
                         case 0:
                           return read_string(r, x, d.schema_version);
                         case 1:
                           return read_string(r, x, d.profile_id);
                         case 2:
                           return read_opt_string(r, x, d.created_at);
                         case 3:
                           return read_encoder(r, x, d.encoder);
                         case 4:
                           return read_opt_string(r, x, d.tokenizer_revision);
                         case 5:
                           return read_opt_string(r, x, d.pooling);
                         case 6:
                           return read_metric(r, x, d.source_metric);
                         case 7:
                           return read_metric(r, x, d.embedding_metric);
                         case 8:
                           return read_bounds(r, x, d.bounds);
                         case 9:
                           return read_scope(r, x, d.scope);
                         case 10:
                           return read_evidence(r, x, d.evidence);
                         case 11:
                           return read_optional(r, x, d.profile, read_distortion_profile);
                         default:
                           return read_opt_string(r, x, d.calibration_profile_id);
                       }
                     });
}

Status read_manifest(Reader& r, const Value& v, IndexManifest& out) {
  static constexpr std::array<Key, 12> kKeys{{{"schema_version", true},
                                              {"manifest_id", true},
                                              {"created_at", true},
                                              {"artifact", true},
                                              {"auxiliary_artifacts", false},
                                              {"embedding", true},
                                              {"encoder_distortion", false},
                                              {"calibration", false},
                                              {"row_identity", true},
                                              {"build", false},
                                              {"attestations", false},
                                              {"extensions", false}}};
  return read_record(r, v, "IndexManifest", kKeys, [&](std::size_t i, const Value& x) -> Status {
    switch (i) {
      case 0:
        return read_string(r, x, out.schema_version);
      case 1:
        return read_string(r, x, out.manifest_id);
      case 2:
        return read_string(r, x, out.created_at);
      case 3:
        return read_artifact(r, x, out.artifact);
      case 4:
        return read_list(r, x, out.auxiliary_artifacts, [&](const Value& e, AuxiliaryArtifact& a) {
          return read_auxiliary(r, e, a);
        });
      case 5:
        return read_embedding(r, x, out.embedding);
      case 6:
        return read_optional(r, x, out.encoder_distortion, read_encoder_distortion);
      case 7:
        return read_optional(r, x, out.calibration, read_calibration);
      case 8:
        return read_row_identity(r, x, out.row_identity);
      case 9:
        return read_optional(r, x, out.build, read_build);
      case 10:
        if (!x.is_array()) {
          return std::unexpected(r.error_at(x.end, json_messages::invalid_type(x, "a sequence")));
        }
        if (auto st = check_generic(r, x); !st) return st;
        out.attestations = x.array;
        return {};
      default: {
        if (!x.is_object())
          return std::unexpected(r.error_at(x.end, json_messages::invalid_type(x, "a map")));
        if (auto st = check_generic(r, x); !st) return st;
        out.extensions.clear();
        for (const json::Member& m : x.object) out.extensions.emplace(m.key, m.value);
        return {};
      }
    }
  });
}

}  // namespace

Result<IndexManifest> parse_manifest(std::string_view text) {
  auto value = json::parse(text);
  if (!value) {
    return std::unexpected(ManifestError::json(std::move(value.error().message),
                                               value.error().position.line,
                                               value.error().position.column));
  }
  Reader reader(text);
  IndexManifest manifest;
  if (auto st = read_manifest(reader, *value, manifest); !st) {
    return std::unexpected(std::move(st.error()));
  }
  return manifest;
}

}  // namespace karnid::manifest
