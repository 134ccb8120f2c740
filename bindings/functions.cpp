// The six module functions. Each converts its arguments with the interpreter lock held, runs one
// library operation without it, and converts the outcome once the lock is back. The result's JSON
// text is written before the lock is taken back: it touches no Python object, and only json.loads
// needs the lock, so concurrent calls do not serialise on turning large reports into text. The
// four that stream whole files stop for a signal handler that raises (signals.hpp).
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "signals.hpp"

#include "karnid/manifest/create.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/plan.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/schema.hpp"
#include "karnid/manifest/verify.hpp"

namespace karnid::bindings {
namespace {

using manifest::ResourceLimits;

// ---- parameter tables ------------------------------------------------------------------------

constexpr Signature kDefaultResourceLimits{"default_resource_limits", {}};

constexpr std::array kSha256FileParameters{positional("path")};
constexpr Signature kSha256File{"sha256_file", kSha256FileParameters};

constexpr auto kInspectParameters = with_limits(std::array{positional("manifest")});
constexpr Signature kInspectManifest{"inspect_manifest", kInspectParameters};

// record_reads=True (the package's own) returns (result, reads): the digest and identity of the
// manifest bytes that were parsed and of every file read, so that a signature and a loader's open
// files can be held to what was verified rather than to a second read by name. issue_lines=True
// (also the package's own) adds to every report issue the 0-based row-map "line" it concerns, or
// null, so that the package never reads a line number back out of a message.
constexpr auto kVerifyParameters = joined(
    with_limits(std::array{
        positional("manifest"),
        keyword("index", "None"),
        keyword("allow_absolute_paths", "False"),
        keyword("allow_path_escape", "False"),
        keyword("allow_duplicate_db_ids", "False"),
    }),
    std::array{package_keyword("record_reads", "False"), package_keyword("issue_lines", "False")});
constexpr Signature kVerifyManifest{"verify_manifest", kVerifyParameters};
constexpr Signature kVerifyForLoad{"verify_for_load", kVerifyParameters};

// out_fd (the package's own) writes the manifest through a descriptor the caller created, with
// `out` only placing it.
constexpr auto kCreateParameters = joined(with_limits(std::array{
                                              positional("index"),
                                              positional("out"),
                                              positional("embedding_model"),
                                              keyword("row_map", "None"),
                                              keyword("row_id_is_identity", "False"),
                                              keyword("auxiliary_artifacts", "None"),
                                              keyword("allow_absolute_paths", "False"),
                                              keyword("allow_path_escape", "False"),
                                          }),
                                          std::array{package_keyword("out_fd", "None")});
constexpr Signature kCreateManifest{"create_manifest", kCreateParameters};

static_assert(kVerifyParameters.size() <= kMaxParameters);
static_assert(kCreateParameters.size() <= kMaxParameters);

constexpr const char* kRowMapAndIdentity = "use either row_map or row_id_is_identity, not both";
constexpr const char* kNoRowIdentity = "one of row_map or row_id_is_identity=True is required";

// ---- converted arguments ---------------------------------------------------------------------

// verify_manifest and verify_for_load: the manifest path plus the verification options.
struct VerifyArgs {
  std::string manifest;
  manifest::VerifyOptions options;
  bool record_reads = false;
  manifest::ReportJsonOptions report_json;
};

struct CreateArgs {
  std::string index;
  std::string out;
  std::string embedding_model;
  manifest::RowIdentityChoice row_identity;
  manifest::CreateManifestOptions options;
};

// Both verification functions share one parameter table, so the indices of either serve both.
bool convert_verify_args(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, VerifyArgs& out) {
  static_assert(kVerifyManifest.at("max_manifest_bytes") ==
                kVerifyForLoad.at("max_manifest_bytes"));
  manifest::VerifyOptions& options = out.options;
  Arguments arguments(signature);
  return arguments.bind(args, nargs, kwnames) &&
         arguments.path(kVerifyManifest.at("manifest"), out.manifest) &&
         arguments.optional_path(kVerifyManifest.at("index"), options.index_override) &&
         arguments.flag(kVerifyManifest.at("allow_absolute_paths"), options.allow_absolute_paths) &&
         arguments.flag(kVerifyManifest.at("allow_path_escape"), options.allow_path_escape) &&
         arguments.flag(kVerifyManifest.at("allow_duplicate_db_ids"),
                        options.allow_duplicate_db_ids) &&
         arguments.limits(kVerifyManifest.at("max_manifest_bytes"), options.limits) &&
         arguments.flag(kVerifyManifest.at("record_reads"), out.record_reads) &&
         arguments.flag(kVerifyManifest.at("issue_lines"), out.report_json.issue_lines);
}

bool convert_create_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         CreateArgs& out) {
  manifest::CreateManifestOptions& options = out.options;
  std::optional<std::string> row_map;
  bool row_id_is_identity = false;
  Arguments arguments(kCreateManifest);
  // auxiliary_artifacts sits between row_id_is_identity and the flags in the table, but only its
  // None-ness matters during conversion; its items are read after the row-map rule.
  if (!arguments.bind(args, nargs, kwnames) ||
      !arguments.path(kCreateManifest.at("index"), out.index) ||
      !arguments.path(kCreateManifest.at("out"), out.out) ||
      !arguments.text(kCreateManifest.at("embedding_model"), out.embedding_model) ||
      !arguments.optional_path(kCreateManifest.at("row_map"), row_map) ||
      !arguments.flag(kCreateManifest.at("row_id_is_identity"), row_id_is_identity) ||
      !arguments.flag(kCreateManifest.at("allow_absolute_paths"), options.allow_absolute_paths) ||
      !arguments.flag(kCreateManifest.at("allow_path_escape"), options.allow_path_escape) ||
      !arguments.limits(kCreateManifest.at("max_manifest_bytes"), options.limits) ||
      !arguments.optional_descriptor(kCreateManifest.at("out_fd"), options.output_descriptor)) {
    return false;
  }
  if (row_map && row_id_is_identity) {
    PyErr_SetString(PyExc_ValueError, kRowMapAndIdentity);
    return false;
  }
  if (!row_map && !row_id_is_identity) {
    PyErr_SetString(PyExc_ValueError, kNoRowIdentity);
    return false;
  }
  if (row_map) {
    out.row_identity = manifest::RowMapFile{std::move(*row_map)};
  } else {
    out.row_identity = manifest::RowIdIdentity{};
  }
  constexpr std::size_t kAuxiliary = kCreateManifest.at("auxiliary_artifacts");
  return !arguments.given(kAuxiliary) ||
         read_auxiliary_artifacts(arguments.get(kAuxiliary), options.auxiliary_artifacts);
}

// (result, reads) for a call that asked for its reads; steals `result`.
PyObject* with_reads(PyRef result, const manifest::VerificationReads& reads) {
  PyRef recorded = PyRef::steal(reads_to_python(reads));
  if (!recorded) return nullptr;
  return PyTuple_Pack(2, result.get(), recorded.get());
}

// ---- the functions ---------------------------------------------------------------------------

PyObject* default_resource_limits(PyObject* /*module*/, PyObject* /*unused*/) {
  return at_panic_boundary<PyObject*>(nullptr,
                                      [] { return json_to_python(limits_json(ResourceLimits{})); });
}

PyObject* sha256_file(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return at_panic_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    Arguments arguments(kSha256File);
    std::string path;
    if (!arguments.bind(args, nargs, kwnames) || !arguments.path(kSha256File.at("path"), path)) {
      return nullptr;
    }
    SignalCheck signals;
    const auto text = run_without_gil([&]() -> manifest::Result<std::string> {
      auto digest = manifest::sha256_file(path, signals.hook());
      if (!digest) return std::unexpected(std::move(digest.error()));
      return digest_json(*digest);
    });
    if (signals.raised()) return nullptr;
    if (!text) return raise_manifest_error(text.error());
    return json_to_python(*text);
  });
}

PyObject* inspect_manifest(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return at_panic_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    Arguments arguments(kInspectManifest);
    std::string path;
    ResourceLimits limits;
    // Only max_manifest_bytes has an effect, but all ten are converted so that a bad value is
    // reported the same way as by every other function.
    if (!arguments.bind(args, nargs, kwnames) ||
        !arguments.path(kInspectManifest.at("manifest"), path) ||
        !arguments.limits(kInspectManifest.at("max_manifest_bytes"), limits)) {
      return nullptr;
    }
    const auto text = run_without_gil([&]() -> manifest::Result<std::string> {
      auto document =
          manifest::load_manifest_file_with_options(std::move(path), limits.max_manifest_bytes);
      if (!document) return std::unexpected(std::move(document.error()));
      return manifest::serialize_manifest(document->manifest, json::Writer::Style::Compact);
    });
    if (!text) return raise_manifest_error(text.error());
    return json_to_python(*text);
  });
}

PyObject* verify_manifest(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return at_panic_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    VerifyArgs request;
    if (!convert_verify_args(kVerifyManifest, args, nargs, kwnames, request)) return nullptr;
    SignalCheck signals;
    request.options.cancel = signals.hook();
    manifest::VerificationReads reads;
    // Only a manifest that cannot be loaded is an error; failed checks are part of the report.
    const auto text = run_without_gil([&]() -> manifest::Result<std::string> {
      const std::uint64_t max_manifest_bytes = request.options.limits.max_manifest_bytes;
      auto document = request.record_reads ? manifest::load_manifest_file_recording_read(
                                                 std::move(request.manifest), max_manifest_bytes)
                                           : manifest::load_manifest_file_with_options(
                                                 std::move(request.manifest), max_manifest_bytes);
      if (!document) return std::unexpected(std::move(document.error()));
      manifest::VerificationRun run =
          manifest::verify_manifest_with_path_capture(*document, std::move(request.options));
      if (run.cancelled) return std::unexpected(manifest::ManifestError::cancelled());
      if (request.record_reads) {
        reads.manifest_path = document->document_path;
        reads.manifest = document->source.value_or(manifest::FileRead{});
        reads.files = std::move(run.capture.reads);
      }
      return manifest::to_compact_json(run.report, request.report_json);
    });
    if (signals.raised()) return nullptr;
    if (!text) return raise_manifest_error(text.error());
    PyRef report = PyRef::steal(json_to_python(*text));
    if (!report || !request.record_reads) return report.release();
    return with_reads(std::move(report), reads);
  });
}

PyObject* verify_for_load(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return at_panic_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    VerifyArgs request;
    if (!convert_verify_args(kVerifyForLoad, args, nargs, kwnames, request)) return nullptr;
    SignalCheck signals;
    request.options.cancel = signals.hook();
    PlanPaths paths;
    manifest::VerificationReads reads;
    const auto text = run_without_gil([&]() -> manifest::Result<std::string> {
      auto plan =
          request.record_reads
              ? manifest::verify_for_load_recording_reads(std::move(request.manifest),
                                                          std::move(request.options), reads)
              : manifest::verify_for_load(std::move(request.manifest), std::move(request.options));
      // Every refusal carries a ManifestError: the loading failure itself, an Invalid error
      // holding the verification-failed or inconsistent-report message, or the cancelled error
      // of a run that a raising signal handler stopped.
      if (!plan) return std::unexpected(std::move(plan.error().error));
      paths = plan_paths(*plan);
      return manifest::to_compact_json(*plan, request.report_json);
    });
    if (signals.raised()) return nullptr;
    if (!text) return raise_manifest_error(text.error());
    // The JSON text can only carry display forms; the loader needs the verified bytes.
    PyRef result = PyRef::steal(json_to_python(*text));
    if (!result || !restore_plan_paths(result.get(), paths)) return nullptr;
    if (!request.record_reads) return result.release();
    return with_reads(std::move(result), reads);
  });
}

PyObject* create_manifest(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return at_panic_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    CreateArgs request;
    if (!convert_create_args(args, nargs, kwnames, request)) return nullptr;
    SignalCheck signals;
    request.options.cancel = signals.hook();
    const auto text = run_without_gil([&]() -> manifest::Result<std::string> {
      auto created = manifest::create_manifest_for_index_with_options(
          request.index, request.out, std::move(request.embedding_model), request.row_identity,
          request.options);
      if (!created) return std::unexpected(std::move(created.error()));
      return manifest::serialize_manifest(*created, json::Writer::Style::Compact);
    });
    if (signals.raised()) return nullptr;
    if (!text) return raise_manifest_error(text.error());
    return json_to_python(*text);
  });
}

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyMethodDef stores every calling convention as PyCFunction; the detour through void(*)()
// is the sanctioned way to say the cast is intended.
PyCFunction as_method(FastcallFunction function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"default_resource_limits", default_resource_limits, METH_NOARGS,
     kTextSignature<kDefaultResourceLimits>.data()},
    {"sha256_file", as_method(sha256_file), kFastcall, kTextSignature<kSha256File>.data()},
    {"inspect_manifest", as_method(inspect_manifest), kFastcall,
     kTextSignature<kInspectManifest>.data()},
    {"verify_manifest", as_method(verify_manifest), kFastcall,
     kTextSignature<kVerifyManifest>.data()},
    {"verify_for_load", as_method(verify_for_load), kFastcall,
     kTextSignature<kVerifyForLoad>.data()},
    {"create_manifest", as_method(create_manifest), kFastcall,
     kTextSignature<kCreateManifest>.data()},
};

}  // namespace

std::span<PyMethodDef> module_functions() noexcept {
  return g_functions;
}

}  // namespace karnid::bindings
