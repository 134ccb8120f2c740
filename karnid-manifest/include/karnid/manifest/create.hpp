// Manifest creation: measuring an existing index file and the files around it, turning their
// paths into manifest-relative text under the creation path policy, and writing the manifest.
//
// Creation does not collect issues: the first problem ends the call with a ManifestError, and
// nothing is written to the output path unless every file was measured successfully.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "karnid/manifest/cancel.hpp"
#include "karnid/manifest/error.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/schema.hpp"

namespace karnid::manifest {

inline constexpr std::string_view kBuilderId = "karnid-manifest";

// ---- manifest path text ----

// The manifest text of `path` (OS bytes): "/" between components, "." components after the
// first dropped, repeated separators collapsed, invalid UTF-8 replaced by U+FFFD. An absolute
// path keeps its leading "/"; a path with no component at all becomes ".". Never fails.
[[nodiscard]] std::string path_to_manifest_string(std::string_view path);

// The text under which `path` is written into a manifest that lives in `manifest_dir`. Both are
// canonicalised first (an Io error when either cannot be resolved). A file inside the directory
// gets its relative text ("." for the directory itself); a file outside it is refused unless
// `allow_path_escape`, and then gets a relative text climbing with "..". An absolute text is
// written only when no relative form exists and `allow_absolute_paths`. Text that would not be
// valid UTF-8 is refused too. Refusals are Invalid errors whose message starts with `label`
// ("artifact", "row identity", "auxiliary artifact").
[[nodiscard]] Result<std::string> manifest_path_for_create(const std::string& path,
                                                           const std::string& manifest_dir,
                                                           bool allow_absolute_paths,
                                                           bool allow_path_escape,
                                                           std::string_view label);

// The policy part of manifest_path_for_create, on paths that are already canonical. Exposed
// because the absolute fallback needs two paths without a common root, which canonical POSIX
// paths never are.
[[nodiscard]] Result<std::string> manifest_path_from_canonical(std::string_view canonical_path,
                                                               std::string_view canonical_dir,
                                                               bool allow_absolute_paths,
                                                               bool allow_path_escape,
                                                               std::string_view label);

// ---- creation inputs ----

// One auxiliary file the caller wants pinned by the manifest. `path` is relative to the current
// working directory when it is not absolute.
struct CreateAuxiliaryArtifact {
  std::string name;
  std::string path;
  bool required = true;
};

struct CreateManifestOptions {
  std::vector<CreateAuxiliaryArtifact> auxiliary_artifacts;
  ResourceLimits limits;
  bool allow_absolute_paths = false;
  bool allow_path_escape = false;
  // When set, the manifest text goes to this descriptor (from its current offset; it is neither
  // truncated nor closed) and nothing is opened or created by name: `out_path` then only says
  // where the manifest will live, so its directory must exist. This lets a caller that creates
  // its own temporary file write through the descriptor it holds, with no name in between that
  // someone else could swap.
  std::optional<int> output_descriptor;
  // Asked while the inputs are streamed; a stop ends creation before anything is written
  // (ManifestError::cancelled()).
  CancelHook cancel;
};

// How index rows map to the caller's identifiers: a row map (JSON Lines file) to validate and
// pin, or the row number itself.
struct RowMapFile {
  std::string path;
};
struct RowIdIdentity {};
using RowIdentityChoice = std::variant<RowMapFile, RowIdIdentity>;

// ---- creation operations ----

// Manifest entries for the caller's auxiliary items, in input order: names trimmed and unique,
// each file hashed under max_auxiliary_artifact_bytes and then its path computed relative to
// `manifest_dir`. A list longer than max_auxiliary_artifacts is refused before any file is read.
// `cancel` counts the bytes read and may stop the hashing (ManifestError::cancelled()).
[[nodiscard]] Result<std::vector<AuxiliaryArtifact>> create_auxiliary_artifacts(
    const std::vector<CreateAuxiliaryArtifact>& items, const std::string& manifest_dir,
    const CreateManifestOptions& options, CancelCheck* cancel = nullptr);

// Probes and hashes `index_path`, validates the row map (if chosen), hashes the auxiliary
// artifacts, stamps fresh identifiers and the creation time, and writes the manifest in its
// indented form to `out_path` (no trailing newline). Missing directories above `out_path` are
// created first. Refused before anything is touched: a blank `embedding_model`, and an existing
// `out_path` that is the same file as the index, the row map or an auxiliary input. Returns the
// manifest that was written.
// No plain sibling exists: every creation takes its limits and path policy in the options.
[[nodiscard]] Result<IndexManifest> create_manifest_for_index_with_options(
    const std::string& index_path, const std::string& out_path, std::string embedding_model,
    const RowIdentityChoice& row_identity_choice, const CreateManifestOptions& options);

// "urn:uuid:" and a random version 4 UUID in lowercase hyphenated form, from the kernel's random
// source.
[[nodiscard]] Result<std::string> random_uuid_urn();

}  // namespace karnid::manifest
