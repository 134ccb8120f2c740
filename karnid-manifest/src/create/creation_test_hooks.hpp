// The test hooks of manifest creation, private to the library and its tests. The one hook is a
// function called after the index was probed and before it is hashed: that window is where a file
// replaced or resized by someone else must be caught, and no test could otherwise act inside it.
// Creation runs no hook unless a test installed one.
#pragma once

#include <string>

namespace karnid::manifest::detail {

using IndexProbedHook = void (*)(const std::string& index_path);

// Installs `hook` for every later creation in the process (nullptr: none, the default) and
// returns the one it replaces.
IndexProbedHook set_index_probed_hook(IndexProbedHook hook) noexcept;

// Calls the installed hook, if any, with the path creation is about to hash.
void run_index_probed_hook(const std::string& index_path);

}  // namespace karnid::manifest::detail
