#include "creation_test_hooks.hpp"

#include <atomic>

namespace karnid::manifest::detail {
namespace {

// Atomic because creations may run on several threads while a test installs its hook.
std::atomic<IndexProbedHook> index_probed_hook{nullptr};

}  // namespace

IndexProbedHook set_index_probed_hook(IndexProbedHook hook) noexcept {
  return index_probed_hook.exchange(hook);
}

void run_index_probed_hook(const std::string& index_path) {
  if (const IndexProbedHook hook = index_probed_hook.load(std::memory_order_relaxed)) {
    hook(index_path);
  }
}

}  // namespace karnid::manifest::detail
