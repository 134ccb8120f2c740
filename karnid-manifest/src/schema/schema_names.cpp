// Names of the manifest's enumerations.
#include "karnid/manifest/schema.hpp"

#include "schema_names.hpp"

namespace karnid::manifest {

using namespace names;

std::string_view to_json_name(ManifestIndexKind kind) noexcept {
  return kIndexKindNames[static_cast<std::size_t>(kind)];
}
std::string_view debug_name(ManifestIndexKind kind) noexcept {
  return kIndexKindDebug[static_cast<std::size_t>(kind)];
}
std::string debug_string(const ManifestIndexParams& params) {
  std::string out(debug_name(params.kind));
  if (params.kind == ManifestIndexKind::RankQuant) {
    out += " { bits: " + std::to_string(params.bits) + " }";
  } else if (params.kind == ManifestIndexKind::Bitmap) {
    out += " { n_top: " + std::to_string(params.n_top) + " }";
  }
  return out;
}

std::string_view to_json_name(RowIdentity::Kind kind) noexcept {
  return kRowIdentityKindNames[static_cast<std::size_t>(kind)];
}
std::string_view to_json_name(ProfileParameterization p) noexcept {
  return kParameterizationNames[static_cast<std::size_t>(p)];
}
std::string_view debug_name(ProfileParameterization p) noexcept {
  return kParameterizationDebug[static_cast<std::size_t>(p)];
}
std::string_view to_json_name(CalibrationOrdinalization::Kind kind) noexcept {
  return kOrdinalizationNames[static_cast<std::size_t>(kind)];
}
std::string_view to_json_name(NullModelSpec::Kind kind) noexcept {
  return kNullModelNames[static_cast<std::size_t>(kind)];
}
std::string_view to_json_name(DistortionEvidenceKind kind) noexcept {
  return kEvidenceNames[static_cast<std::size_t>(kind)];
}

}  // namespace karnid::manifest
