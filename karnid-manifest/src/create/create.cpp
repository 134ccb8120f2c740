#include "karnid/manifest/create.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "creation_test_hooks.hpp"
#include "karnid/index_core/rank_io.hpp"
#include "karnid/manifest/artifact.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/row_identity.hpp"
#include "karnid/manifest/text.hpp"
#include "karnid/manifest/timefmt.hpp"
#include "karnid/manifest/verify.hpp"
#include "uuid_text.hpp"

namespace karnid::manifest {
namespace {

constexpr std::string_view kRowIdKind = "uuid";
constexpr std::string_view kArtifactLabel = "artifact";
constexpr std::string_view kRowIdentityLabel = "row identity";
constexpr std::string_view kRowMapHashUnavailable =
    "row map hash unavailable after bounded validation";
constexpr std::string_view kShortWriteMessage = "failed to write whole buffer";
constexpr std::string_view kIndexInputLabel = "index file";
constexpr std::string_view kRowMapInputLabel = "row map";
constexpr std::string_view kAuxiliaryInputLabel = "auxiliary artifact";

// Row-map issues that mean "a configured limit was hit" rather than "the file is wrong"; the
// caller sees them with their own code so that raising the limit is the obvious remedy.
constexpr std::array<std::string_view, 6> kResourceLimitCodes{
    kRowIdentityLineTooLargeCode,
    kCalibrationProfileTooLargeCode,
    kEncoderDistortionProfileTooLargeCode,
    kRowIdentityRowCountLimitCode,
    kIssueLimitCode,
    kRowIdentityTrackingLimitCode,
};

std::string index_changed_message(std::string_view path) {
  return "index file " + display_path(path) + " changed while it was being read";
}

std::string overwrites_input_message(std::string_view out, std::string_view input_label,
                                     std::string_view input) {
  return "output path " + display_path(out) + " is the same file as the " +
         std::string(input_label) + " " + display_path(input) +
         "; writing the manifest there would destroy it";
}

std::string row_map_invalid_message(const std::vector<ReportIssue>& issues) {
  std::string message = "row map is invalid: ";
  for (std::size_t i = 0; i < issues.size(); ++i) {
    if (i > 0) message += ", ";
    message += issues[i].code;
  }
  return message;
}

std::string row_count_message(std::uint64_t rows, std::uint64_t vectors) {
  return "row map has " + decimal(rows) + " rows but index has " + decimal(vectors) + " vectors";
}

ManifestError from_probe_error(const index_core::ProbeError& error, const std::string& path) {
  if (error.kind == index_core::ProbeError::Kind::Os) {
    return ManifestError::os(error.os_errno).with_path(path);
  }
  return ManifestError::io_text(error.message).with_path(path);
}

// ---- the manifest directory ----

Result<bool> is_directory(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::unexpected(ManifestError::os(errno).with_path(path));
  }
  return S_ISDIR(st.st_mode);
}

// mkdir that accepts a level which already exists as a directory (also when another process
// created it a moment ago). Returns the errno of a failed creation, 0 on success.
int make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  const int err = errno;
  if (err == ENOENT) return err;
  auto dir = is_directory(path);
  return dir && *dir ? 0 : err;
}

// Creates `dir` and every missing ancestor. Walks up until a level exists or can be made, then
// back down, so a deep chain costs no recursion.
Result<void> create_directory_chain(const std::string& dir) {
  std::vector<std::string> missing;
  std::string level = dir;
  for (;;) {
    const int err = make_directory(level);
    if (err == 0) break;
    if (err != ENOENT) return std::unexpected(ManifestError::os(err).with_path(level));
    std::string parent = manifest_base_dir(level);
    missing.push_back(std::move(level));
    // A level without a parent of its own that still does not exist cannot be created.
    if (parent == missing.back()) {
      return std::unexpected(ManifestError::os(ENOENT).with_path(parent));
    }
    level = std::move(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    const int err = make_directory(*it);
    if (err != 0) return std::unexpected(ManifestError::os(err).with_path(*it));
  }
  return {};
}

Result<void> prepare_manifest_dir(const std::string& dir) {
  // The kernel would stop at the NUL and act on a different directory.
  if (dir.find('\0') != std::string::npos) {
    return std::unexpected(ManifestError::os(EINVAL).with_path(dir));
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return {};
  return create_directory_chain(dir);
}

// ---- the output must not be an input ----

// Device and inode of an existing regular file, following links as the later open does.
std::optional<std::pair<dev_t, ino_t>> regular_file_identity(const std::string& path) {
  // A NUL would make stat name a different file; the open that follows refuses such a path.
  if (path.find('\0') != std::string::npos) return std::nullopt;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return std::pair{st.st_dev, st.st_ino};
}

// Device and inode of the regular file open on `fd`.
std::optional<std::pair<dev_t, ino_t>> descriptor_file_identity(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return std::pair{st.st_dev, st.st_ino};
}

// The manifest is written by truncating `out`: when that is one of the inputs under another name
// (the same path, a hard link, a link or a linked directory on the way), the input would be lost
// and the manifest would vouch for bytes that no longer exist. Inputs that cannot be examined
// here are left to the step that reads them, which reports its own error.
Result<void> refuse_output_over_input(const std::string& out, const std::string& index_path,
                                      const RowIdentityChoice& row_identity_choice,
                                      const CreateManifestOptions& options) {
  const auto target = options.output_descriptor
                          ? descriptor_file_identity(*options.output_descriptor)
                          : regular_file_identity(out);
  if (!target) return {};
  const auto check = [&](const std::string& input, std::string_view label) -> Result<void> {
    if (regular_file_identity(input) == target) {
      return std::unexpected(ManifestError::invalid(overwrites_input_message(out, label, input)));
    }
    return {};
  };
  if (auto same = check(index_path, kIndexInputLabel); !same) return same;
  if (const auto* row_map = std::get_if<RowMapFile>(&row_identity_choice)) {
    if (auto same = check(row_map->path, kRowMapInputLabel); !same) return same;
  }
  // An over-long list is refused later without touching any of its files; no need to look here.
  const auto& items = options.auxiliary_artifacts;
  if (items.size() > options.limits.max_auxiliary_artifacts) return {};
  for (const CreateAuxiliaryArtifact& item : items) {
    const std::string label = std::string(kAuxiliaryInputLabel) + " " + quote_debug(item.name);
    if (auto same = check(item.path, label); !same) return same;
  }
  return {};
}

// ---- probing and hashing the index ----

struct ProbedIndex {
  index_core::IndexMetadata metadata;
  dev_t device = 0;
  ino_t inode = 0;
};

// Only a regular file reads the same both times the index is read. The caller names the index
// directly, so a symbolic link in the last component is followed to it.
Result<FileDescriptor> open_index(const std::string& path, struct stat& st) {
  auto fd = open_for_reading(path, FileKindPolicy::RegularFollowingLink);
  if (!fd) return fd;
  if (::fstat(fd->get(), &st) != 0) {
    return std::unexpected(ManifestError::os(errno).with_path(path));
  }
  return fd;
}

Result<ProbedIndex> probe_index(const std::string& path) {
  struct stat st {};
  auto fd = open_index(path, st);
  if (!fd) return std::unexpected(std::move(fd.error()));
  const std::uint64_t file_len = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  auto metadata = index_core::probe_index_file(fd->get(), file_len);
  if (!metadata) return std::unexpected(from_probe_error(metadata.error(), path));
  return ProbedIndex{*metadata, st.st_dev, st.st_ino};
}

// Hashes the index through a second descriptor. The manifest states the probed header facts and
// this digest side by side, so both must describe the same bytes: a file replaced or resized
// between the two reads is refused rather than vouched for.
Result<FileDigest> hash_index(const std::string& path, const ProbedIndex& probed,
                              CancelCheck& cancel) {
  detail::run_index_probed_hook(path);
  struct stat st {};
  auto fd = open_index(path, st);
  if (!fd) return std::unexpected(std::move(fd.error()));
  if (st.st_dev != probed.device || st.st_ino != probed.inode) {
    return std::unexpected(ManifestError::io_text(index_changed_message(path)).with_path(path));
  }
  std::vector<char> buffer(kHashChunkBytes, 0);
  auto digest = hash_stream(fd->get(), buffer, InterruptedRead::Retry, nullptr, &cancel);
  if (!digest) return std::unexpected(std::move(digest.error()).with_path(path));
  if ((*digest)->size_bytes != probed.metadata.file_len) {
    return std::unexpected(ManifestError::io_text(index_changed_message(path)).with_path(path));
  }
  return std::move(**digest);
}

// ---- row identity ----

Result<RowIdentity> row_identity_from_map(const std::string& row_map,
                                          const std::string& manifest_dir,
                                          std::uint64_t vector_count,
                                          const CreateManifestOptions& options,
                                          CancelCheck& cancel) {
  std::vector<ReportIssue> issues;
  auto summary = validate_jsonl_rows(row_map, /*allow_duplicate_db_ids=*/false, options.limits,
                                     vector_count, issues, FileKindPolicy::AnyReadable, &cancel);
  if (!summary) return std::unexpected(std::move(summary.error()));
  if (!issues.empty()) {
    const auto limit_issue = std::find_if(issues.begin(), issues.end(), [](const ReportIssue& i) {
      return std::find(kResourceLimitCodes.begin(), kResourceLimitCodes.end(), i.code) !=
             kResourceLimitCodes.end();
    });
    if (limit_issue != issues.end()) {
      return std::unexpected(ManifestError::coded(limit_issue->code, limit_issue->message));
    }
    std::string message = row_map_invalid_message(issues);
    return std::unexpected(ManifestError::refusal(ManifestError::Detail::RowMapInvalid,
                                                  std::move(message), std::move(issues)));
  }
  if (summary->rows_read != vector_count) {
    return std::unexpected(
        ManifestError::invalid(row_count_message(summary->rows_read, vector_count)));
  }
  if (!summary->sha256) {
    return std::unexpected(ManifestError::invalid(std::string(kRowMapHashUnavailable)));
  }
  auto path = manifest_path_for_create(row_map, manifest_dir, options.allow_absolute_paths,
                                       options.allow_path_escape, kRowIdentityLabel);
  if (!path) return std::unexpected(std::move(path.error()));
  RowIdentity identity;
  identity.kind = RowIdentity::Kind::Jsonl;
  identity.row_count = summary->rows_read;
  identity.path = std::move(*path);
  identity.sha256 = std::move(*summary->sha256);
  identity.id_kind = std::string(kRowIdKind);
  return identity;
}

// ---- writing the manifest ----

Result<void> write_all(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(ManifestError::write_failed(errno));
    }
    if (n == 0) {
      return std::unexpected(ManifestError::write_failed(std::string(kShortWriteMessage)));
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> write_manifest_file(const std::string& out, std::string_view text) {
  if (out.find('\0') != std::string::npos) {
    return std::unexpected(ManifestError::os(EINVAL).with_path(out));
  }
  // O_NONBLOCK only for the open: a FIFO without a reader fails at once instead of hanging.
  int raw;
  do {
    raw =
        ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return std::unexpected(ManifestError::os(errno).with_path(out));
  FileDescriptor fd(raw);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(ManifestError::os(errno).with_path(out));
  }
  auto written = write_all(fd.get(), text);
  if (!written) return std::unexpected(std::move(written.error()).with_path(out));
  // A failing close can be the first report of a failed write (quota, network file systems).
  // EINTR is not a failure: Linux has released the descriptor and the data is with the kernel.
  if (::close(fd.release()) != 0 && errno != EINTR) {
    return std::unexpected(ManifestError::write_failed(errno).with_path(out));
  }
  return {};
}

}  // namespace

Result<std::string> random_uuid_urn() {
  std::array<unsigned char, 16> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(ManifestError::os(errno));
    }
    filled += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  const std::string hex = to_hex(bytes.data(), bytes.size());
  std::string urn(uuid::kUrnPrefix);
  urn.reserve(uuid::kUrnPrefix.size() + uuid::kHyphenatedLength);
  for (std::size_t i = 0; i < hex.size(); ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) urn += '-';
    urn += hex[i];
  }
  return urn;
}

Result<IndexManifest> create_manifest_for_index_with_options(
    const std::string& index_path, const std::string& out_path, std::string embedding_model,
    const RowIdentityChoice& row_identity_choice, const CreateManifestOptions& options) {
  // A manifest that its own verification would always reject is not written at all.
  if (is_blank(embedding_model)) {
    return std::unexpected(ManifestError::invalid(std::string(kEmbeddingModelEmptyMessage)));
  }
  if (auto refused = refuse_output_over_input(out_path, index_path, row_identity_choice, options);
      !refused) {
    return std::unexpected(std::move(refused.error()));
  }
  const std::string manifest_dir = manifest_base_dir(out_path);
  // Writing through the caller's descriptor creates nothing by name.
  if (!options.output_descriptor) {
    if (auto prepared = prepare_manifest_dir(manifest_dir); !prepared) {
      return std::unexpected(std::move(prepared.error()));
    }
  }

  auto probed = probe_index(index_path);
  if (!probed) return std::unexpected(std::move(probed.error()));
  const index_core::IndexMetadata& metadata = probed->metadata;

  // Everything from here to the write streams the inputs; a stop anywhere in it leaves `out`
  // untouched.
  CancelCheck cancel(options.cancel);
  auto digest = hash_index(index_path, *probed, cancel);
  if (!digest) return std::unexpected(std::move(digest.error()));

  auto kind = manifest_kind_from_core(metadata.kind);
  if (!kind) return std::unexpected(ManifestError::invalid(kind.error().message()));
  auto params = manifest_params_from_core(metadata.params);
  if (!params) return std::unexpected(ManifestError::invalid(params.error().message()));

  auto artifact_path =
      manifest_path_for_create(index_path, manifest_dir, options.allow_absolute_paths,
                               options.allow_path_escape, kArtifactLabel);
  if (!artifact_path) return std::unexpected(std::move(artifact_path.error()));

  RowIdentity row_identity;
  if (const auto* row_map = std::get_if<RowMapFile>(&row_identity_choice)) {
    auto identity =
        row_identity_from_map(row_map->path, manifest_dir, metadata.n_vectors, options, cancel);
    if (!identity) return std::unexpected(std::move(identity.error()));
    row_identity = std::move(*identity);
  } else {
    row_identity.kind = RowIdentity::Kind::RowIdIdentity;
    row_identity.row_count = metadata.n_vectors;
  }

  auto auxiliary =
      create_auxiliary_artifacts(options.auxiliary_artifacts, manifest_dir, options, &cancel);
  if (!auxiliary) return std::unexpected(std::move(auxiliary.error()));

  auto manifest_id = random_uuid_urn();
  if (!manifest_id) return std::unexpected(std::move(manifest_id.error()));
  auto invocation_id = random_uuid_urn();
  if (!invocation_id) return std::unexpected(std::move(invocation_id.error()));

  IndexManifest manifest;
  manifest.schema_version = std::string(kSchemaVersion);
  manifest.manifest_id = std::move(*manifest_id);
  manifest.created_at = format_rfc3339_seconds(utc_now());
  manifest.artifact.path = std::move(*artifact_path);
  manifest.artifact.sha256 = std::move(digest->sha256);
  manifest.artifact.kind = *kind;
  manifest.artifact.format_version = metadata.version;
  manifest.artifact.dim = metadata.dim;
  manifest.artifact.vector_count = metadata.n_vectors;
  manifest.artifact.bytes_per_vec = metadata.bytes_per_vec;
  manifest.artifact.params = *params;
  manifest.artifact.file_size_bytes = metadata.file_len;
  manifest.auxiliary_artifacts = std::move(*auxiliary);
  manifest.embedding.model = std::move(embedding_model);
  manifest.embedding.dim = metadata.dim;
  manifest.row_identity = std::move(row_identity);
  manifest.build = BuildInfo{std::move(*invocation_id), std::string(kBuilderId), {}, {}, {}, {}};

  const std::string text = serialize_manifest(manifest, json::Writer::Style::Pretty);
  auto written = options.output_descriptor ? write_all(*options.output_descriptor, text)
                                           : write_manifest_file(out_path, text);
  if (!written) return std::unexpected(std::move(written.error()));
  return manifest;
}

}  // namespace karnid::manifest
