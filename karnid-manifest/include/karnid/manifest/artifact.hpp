// The index file in manifest terms: converting probed core metadata (kind, parameters) into the
// manifest's enumerations, the texts of the reasons a conversion can fail, and the comparison of
// probed header facts with a manifest's artifact block. Verification and creation share these.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "karnid/index_core/format.hpp"
#include "karnid/index_core/rank_io.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/schema.hpp"

namespace karnid::manifest {

// Why probed metadata cannot be expressed in manifest terms. Build values with the named
// constructors; fields a form does not carry keep their defaults.
struct UnsupportedCoreMetadata {
  enum class Form : std::uint8_t {
    KindNotSupported,    // carries kind
    ParamsNotSupported,  // carries params
    NoRegistryEntry,     // carries kind
    NotCovered,          // carries kind and the registry's schema-support reason
  };

  Form form = Form::KindNotSupported;
  index_core::IndexKind kind = index_core::IndexKind::Rank;
  index_core::IndexParams params;
  std::string reason;

  [[nodiscard]] static UnsupportedCoreMetadata kind_not_supported(index_core::IndexKind kind);
  [[nodiscard]] static UnsupportedCoreMetadata params_not_supported(
      const index_core::IndexParams& params);
  [[nodiscard]] static UnsupportedCoreMetadata no_registry_entry(index_core::IndexKind kind);
  [[nodiscard]] static UnsupportedCoreMetadata not_covered(index_core::IndexKind kind,
                                                           std::string reason);

  // The user-facing text, kinds and params in their core debug form, e.g. "artifact metadata
  // kind RankQuantFastscan is not covered by karnid-manifest v1: {reason}".
  [[nodiscard]] std::string message() const;

  friend bool operator==(const UnsupportedCoreMetadata&, const UnsupportedCoreMetadata&) = default;
};

// The manifest kind of a core kind. The registry entry of the kind decides: no entry gives the
// no-registry-entry form, a kind the manifest schema does not cover gives the not-covered form
// with the entry's reason.
[[nodiscard]] std::expected<ManifestIndexKind, UnsupportedCoreMetadata> manifest_kind_from_core(
    index_core::IndexKind kind);

// The manifest parameters of core parameters; variants without a manifest equivalent give the
// params-not-supported form. Fields a variant does not carry are left zero.
[[nodiscard]] std::expected<ManifestIndexParams, UnsupportedCoreMetadata> manifest_params_from_core(
    const index_core::IndexParams& params);

// The text of a probe failure as it appears in messages: operating-system errors as
// "{description} (os error {number})", every other failure as its own message.
[[nodiscard]] std::string probe_error_text(const index_core::ProbeError& error);

// Records the probed facts in `report.artifact.metadata` when both kind and params convert, then
// appends one issue per difference from the declared artifact block, in the fixed order: kind,
// params, format_version, dim, vector_count, bytes_per_vec, metadata file size. The numeric
// comparisons run whatever the kind and params checks found.
void compare_probed_metadata(const Artifact& declared, const index_core::IndexMetadata& observed,
                             VerificationReport& report);

}  // namespace karnid::manifest
