// Results and errors on their way to Python.
//
// Every record reaches Python the same way: as compact JSON text handed to the standard json
// module's loads, so results are plain dicts, lists, strs, ints, floats, bools and None, and a
// caller who replaces that module in sys.modules gets its results from the replacement.
#pragma once

#include "py_ref.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/plan.hpp"

namespace karnid::bindings {

// json.loads(text): a new reference, or nullptr with whatever the import, the attribute lookup or
// the call raised.
[[nodiscard]] PyObject* json_to_python(std::string_view json_text);

// Sets the Python exception for a library error and returns nullptr: OSError for Io errors
// (created from the message alone, so errno and filename stay None and no subclass is chosen),
// ValueError for the other kinds. The message is the error's displayed text. The exception
// carries the error's facts as a dict in its private attribute _karnid_facts, for the package
// (its keys are documented with the package's types in _karnid_manifest.pyi).
PyObject* raise_manifest_error(const manifest::ManifestError& error);

// The OS bytes of a load plan's paths, in the places its dict holds them.
struct PlanPaths {
  std::optional<std::string> manifest_path;
  std::string artifact_path;
  std::optional<std::string> row_identity_path;
  std::vector<std::optional<std::string>> auxiliary_paths;  // one per plan entry, in order
};

// The plan's raw paths with the same prefix rule as their display text.
[[nodiscard]] PlanPaths plan_paths(const manifest::VerifiedLoadPlan& plan);

// Replaces the display text of every path in the plan dict `plan` (as json.loads made it) with the
// path decoded as os.fsdecode does, so that open() on it names exactly the bytes that were
// verified. Leaves a result that is not shaped like a plan (a replaced json module) alone.
// Returns false with a Python exception set when decoding fails.
[[nodiscard]] bool restore_plan_paths(PyObject* plan, const PlanPaths& paths);

// What a recorded verification read, on its way to the package: {"manifest": {...}, "files":
// [{"role", "name", ...}, ...]}, each entry with "sha256", "size_bytes", "device", "inode",
// "mtime_ns", "ctime_ns", "steady" and "path" (the OS bytes: the manifest's as given, the files'
// canonical). A new reference, or nullptr with an exception set.
[[nodiscard]] PyObject* reads_to_python(const manifest::VerificationReads& reads);

// Compact JSON of the records that the host layer itself returns.
[[nodiscard]] std::string digest_json(const manifest::FileDigest& digest);
[[nodiscard]] std::string limits_json(const manifest::ResourceLimits& limits);

}  // namespace karnid::bindings
