// Verification of the index file a manifest vouches for: resolution under the path policy, a
// streaming digest, the header probe, and the comparison of every observed fact with the
// declaration. Also the conversion of probed core metadata into manifest terms, which creation
// reuses.
#include "karnid/manifest/artifact.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <utility>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/text.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

using index_core::IndexKind;
using index_core::IndexMetadata;
using index_core::IndexParams;
using index_core::ProbeError;

constexpr std::string_view kIssuePrefix = "artifact";

constexpr std::string_view kHashFailed = "artifact_hash_failed";
constexpr std::string_view kSha256Mismatch = "artifact_sha256_mismatch";
constexpr std::string_view kFileSizeMismatch = "artifact_file_size_mismatch";
constexpr std::string_view kProbeFailed = "artifact_probe_failed";
constexpr std::string_view kCoverageUnsupported = "artifact_manifest_coverage_unsupported";
constexpr std::string_view kParamsUnsupported = "artifact_params_unsupported";
constexpr std::string_view kKindMismatch = "artifact_kind_mismatch";
constexpr std::string_view kParamsMismatch = "artifact_params_mismatch";
constexpr std::string_view kFormatVersionMismatch = "artifact_format_version_mismatch";
constexpr std::string_view kDimMismatch = "artifact_dim_mismatch";
constexpr std::string_view kVectorCountMismatch = "artifact_vector_count_mismatch";
constexpr std::string_view kBytesPerVecMismatch = "artifact_bytes_per_vec_mismatch";
constexpr std::string_view kMetadataFileSizeMismatch = "artifact_metadata_file_size_mismatch";

// "artifact {subject} {verb} {observed}, manifest declares {declared}": the shape of every
// comparison message of this step.
std::string observed_vs_declared(std::string_view subject, std::string_view verb,
                                 std::string_view observed, std::string_view declared) {
  std::string out = "artifact ";
  out += subject;
  out += ' ';
  out += verb;
  out += ' ';
  out += observed;
  out += ", manifest declares ";
  out += declared;
  return out;
}

std::string hash_failed_message(std::string_view error) {
  return "failed to hash artifact: " + std::string(error);
}

std::string probe_failed_message(std::string_view error) {
  return "failed to probe artifact metadata: " + std::string(error);
}

// SHA-256 and byte count of the whole file, which no limit applies to. The path comes from an
// untrusted manifest, so only a regular file is read (a FIFO would block, a device might never
// end). Interrupted reads are retried: a signal aimed at the host process must not turn into a
// hashing failure.
Result<FileRead> hash_index_file(const std::string& path, CancelCheck* cancel) {
  auto fd = open_for_reading(path, FileKindPolicy::RegularOnly);
  if (!fd) return std::unexpected(std::move(fd.error()));
  // Only a hint for read-ahead; a refusal changes nothing about the result.
  (void)::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const ReadWatch watch(fd->get());
  const auto buffer = std::make_unique_for_overwrite<char[]>(kHashChunkBytes);
  auto digest = hash_stream(fd->get(), {buffer.get(), kHashChunkBytes}, InterruptedRead::Retry,
                            nullptr, cancel);
  if (!digest) return std::unexpected(std::move(digest.error()));
  return watch.finish(fd->get(), std::move(**digest));
}

struct ProbedIndexFile {
  IndexMetadata metadata;
  FileIdentity identity;  // of the file whose header was read
};

// Opens the file again (it may have changed since hashing), takes its length from the opened
// descriptor and probes the header. Failures come back as the text for the issue message.
std::expected<ProbedIndexFile, std::string> probe_index_at(const std::string& path) {
  auto fd = open_for_reading(path, FileKindPolicy::RegularOnly);
  if (!fd) return std::unexpected(fd.error().display());
  const std::optional<FileIdentity> identity = identify_open_file(fd->get());
  if (!identity) return std::unexpected(os_error_text(errno));
  auto metadata = index_core::probe_index_file(fd->get(), identity->size_bytes);
  if (!metadata) return std::unexpected(probe_error_text(metadata.error()));
  return ProbedIndexFile{std::move(*metadata), *identity};
}

// Equal variants with equal carried fields; fields a variant does not carry never count.
bool same_params(const ManifestIndexParams& a, const ManifestIndexParams& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case ManifestIndexKind::RankQuant:
      return a.bits == b.bits;
    case ManifestIndexKind::Bitmap:
      return a.n_top == b.n_top;
    case ManifestIndexKind::Rank:
    case ManifestIndexKind::SignBitmap:
      return true;
  }
  return a == b;
}

void compare_count(VerificationReport& report, std::string_view code, std::string_view field,
                   std::uint64_t observed, std::uint64_t declared) {
  if (observed == declared) return;
  report.error(code, observed_vs_declared(field, "was", decimal(observed), decimal(declared)));
}

}  // namespace

// ---- conversion of core metadata ----

UnsupportedCoreMetadata UnsupportedCoreMetadata::kind_not_supported(IndexKind kind) {
  UnsupportedCoreMetadata u;
  u.form = Form::KindNotSupported;
  u.kind = kind;
  return u;
}

UnsupportedCoreMetadata UnsupportedCoreMetadata::params_not_supported(const IndexParams& params) {
  UnsupportedCoreMetadata u;
  u.form = Form::ParamsNotSupported;
  u.params = params;
  return u;
}

UnsupportedCoreMetadata UnsupportedCoreMetadata::no_registry_entry(IndexKind kind) {
  UnsupportedCoreMetadata u;
  u.form = Form::NoRegistryEntry;
  u.kind = kind;
  return u;
}

UnsupportedCoreMetadata UnsupportedCoreMetadata::not_covered(IndexKind kind, std::string reason) {
  UnsupportedCoreMetadata u;
  u.form = Form::NotCovered;
  u.kind = kind;
  u.reason = std::move(reason);
  return u;
}

std::string UnsupportedCoreMetadata::message() const {
  const std::string kind_text(index_core::debug_string(kind));
  switch (form) {
    case Form::KindNotSupported:
      return "artifact metadata kind " + kind_text + " is not supported by karnid-manifest v1";
    case Form::ParamsNotSupported:
      return "artifact metadata params " + index_core::debug_string(params) +
             " are not supported by karnid-manifest v1";
    case Form::NoRegistryEntry:
      return "artifact metadata kind " + kind_text +
             " has no karnid persisted-format registry entry";
    case Form::NotCovered:
      return "artifact metadata kind " + kind_text +
             " is not covered by karnid-manifest v1: " + reason;
  }
  return "artifact metadata kind " + kind_text + " is not supported by karnid-manifest v1";
}

std::expected<ManifestIndexKind, UnsupportedCoreMetadata> manifest_kind_from_core(IndexKind kind) {
  const index_core::PersistedFormat* entry = index_core::lookup_kind(kind);
  if (entry == nullptr) return std::unexpected(UnsupportedCoreMetadata::no_registry_entry(kind));
  if (!entry->schema_support.supported) {
    return std::unexpected(
        UnsupportedCoreMetadata::not_covered(kind, std::string(entry->schema_support.reason)));
  }
  switch (kind) {
    case IndexKind::Rank:
      return ManifestIndexKind::Rank;
    case IndexKind::RankQuant:
      return ManifestIndexKind::RankQuant;
    case IndexKind::Bitmap:
      return ManifestIndexKind::Bitmap;
    case IndexKind::SignBitmap:
      return ManifestIndexKind::SignBitmap;
    case IndexKind::RankQuantFastscan:
      break;
  }
  // The registry says the schema covers a kind that has no manifest spelling.
  return std::unexpected(UnsupportedCoreMetadata::kind_not_supported(kind));
}

std::expected<ManifestIndexParams, UnsupportedCoreMetadata> manifest_params_from_core(
    const IndexParams& params) {
  ManifestIndexParams out;
  switch (params.kind) {
    case IndexKind::Rank:
      out.kind = ManifestIndexKind::Rank;
      return out;
    case IndexKind::RankQuant:
      out.kind = ManifestIndexKind::RankQuant;
      out.bits = params.bits;
      return out;
    case IndexKind::Bitmap:
      out.kind = ManifestIndexKind::Bitmap;
      out.n_top = params.n_top;
      return out;
    case IndexKind::SignBitmap:
      out.kind = ManifestIndexKind::SignBitmap;
      return out;
    case IndexKind::RankQuantFastscan:
      break;
  }
  return std::unexpected(UnsupportedCoreMetadata::params_not_supported(params));
}

std::string probe_error_text(const ProbeError& error) {
  if (error.kind == ProbeError::Kind::Os) return os_error_text(error.os_errno);
  return error.message;
}

// ---- comparison with the declaration ----

void compare_probed_metadata(const Artifact& declared, const IndexMetadata& observed,
                             VerificationReport& report) {
  const auto kind = manifest_kind_from_core(observed.kind);
  const auto params = manifest_params_from_core(observed.params);

  if (kind && params) {
    report.artifact.metadata = MetadataReport{
        .kind = *kind,
        .format_version = observed.version,
        .dim = observed.dim,
        .vector_count = observed.n_vectors,
        .bytes_per_vec = observed.bytes_per_vec,
        .params = *params,
        .file_size_bytes = observed.file_len,
    };
  }

  if (!kind) {
    report.error(kCoverageUnsupported, kind.error().message());
  } else if (*kind != declared.kind) {
    report.error(kKindMismatch,
                 observed_vs_declared("kind", "was", debug_name(*kind), debug_name(declared.kind)));
  }

  if (!params) {
    report.error(kParamsUnsupported, params.error().message());
  } else if (!same_params(*params, declared.params)) {
    report.error(kParamsMismatch, observed_vs_declared("params", "were", debug_string(*params),
                                                       debug_string(declared.params)));
  }

  compare_count(report, kFormatVersionMismatch, "format_version", observed.version,
                declared.format_version);
  compare_count(report, kDimMismatch, "dim", observed.dim, declared.dim);
  compare_count(report, kVectorCountMismatch, "vector_count", observed.n_vectors,
                declared.vector_count);
  compare_count(report, kBytesPerVecMismatch, "bytes_per_vec", observed.bytes_per_vec,
                declared.bytes_per_vec);
  compare_count(report, kMetadataFileSizeMismatch, "metadata file_size_bytes", observed.file_len,
                declared.file_size_bytes);
}

// ---- the verification step ----

void verify_index_artifact(VerifyContext& ctx) {
  const Artifact& declared = ctx.manifest().artifact;
  const VerifyOptions& options = ctx.options;
  VerificationReport& report = ctx.report;
  ArtifactReport& out = report.artifact;

  out.manifest_path = declared.path;
  const std::string& candidate = options.index_override ? *options.index_override : declared.path;
  out.observed_path = display_path(candidate);

  auto canonical = resolve_existing_path(candidate, ctx.base_dir(), options.allow_absolute_paths,
                                         options.allow_path_escape, kIssuePrefix, report.errors);
  if (!canonical) return;
  out.canonical_path = display_path(*canonical);
  ctx.capture.artifact_path = *canonical;
  const std::string& path = *ctx.capture.artifact_path;

  std::optional<FileRead> hashed;
  if (auto read = hash_index_file(path, ctx.cancel); !read) {
    report.error(kHashFailed, hash_failed_message(read.error().display()));
  } else {
    const FileDigest& digest = read->digest;
    if (digest.sha256 != declared.sha256) {
      report.error(kSha256Mismatch,
                   observed_vs_declared("SHA-256", "was", digest.sha256, declared.sha256));
    }
    compare_count(report, kFileSizeMismatch, "size", digest.size_bytes, declared.file_size_bytes);
    out.sha256 = digest.sha256;
    out.size_bytes = digest.size_bytes;
    hashed = std::move(*read);
  }

  auto probed = probe_index_at(path);
  if (hashed) {
    // The header facts and the digest describe one file only when the probe found the file, in
    // the state, that was hashed.
    if (!probed || probed->identity != hashed->identity) hashed->steady = false;
    ctx.capture.reads.push_back({ReadRole::Artifact, std::nullopt, path, std::move(*hashed)});
  }
  if (!probed) {
    report.error(kProbeFailed, probe_failed_message(probed.error()));
    return;
  }
  compare_probed_metadata(declared, probed->metadata, report);
}

}  // namespace karnid::manifest
