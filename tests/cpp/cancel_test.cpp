// The cancellation hook: asked once per interval of streamed bytes, never again after a stop, and
// obeyed by every step that streams a file, each ending with its own cancelled outcome and, for
// creation, no manifest.
#include "karnid/manifest/cancel.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "index_fixtures.hpp"
#include "karnid/manifest/create.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/plan.hpp"
#include "karnid/manifest/verify.hpp"
#include "test_support.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;

// Asks to stop at the `stop_at`-th question and counts them all.
struct StopAt {
  int stop_at;
  int asked = 0;

  CancelHook hook() { return {&ask, this}; }
  static bool ask(void* context) noexcept {
    auto& self = *static_cast<StopAt*>(context);
    return ++self.asked >= self.stop_at;
  }
};

// More than two intervals: a step that asked only at the end would ask twice.
constexpr std::uint64_t kBig = 2 * kCancelCheckBytes + 1;
constexpr std::uint64_t kRankVectorBytes = 512;  // dim 256

// A file of `size` bytes that begins with `head` and is a hole after it.
std::string sparse(const test_support::TempDir& dir, const std::string& name, std::uint64_t size,
                   const std::vector<std::uint8_t>& head = {}) {
  const std::string path =
      dir.write(name, std::string_view(reinterpret_cast<const char*>(head.data()), head.size()));
  fs::resize_file(path, size);
  return path;
}

std::vector<std::uint8_t> rank_header(std::uint32_t vectors) {
  return fixtures::header_bytes(
      {.kind = index_core::IndexKind::Rank, .dim = 256, .n_vectors = vectors});
}

TEST(CancelHook, IsAskedOncePerIntervalAndNeverAgainAfterAStop) {
  const test_support::TempDir dir;
  const std::string file = sparse(dir, "file", 3 * kCancelCheckBytes + 5);

  StopAt never{std::numeric_limits<int>::max()};
  auto digest = sha256_file(file, never.hook());
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(digest->size_bytes, 3 * kCancelCheckBytes + 5);
  EXPECT_EQ(never.asked, 3);

  StopAt second{2};
  auto stopped = sha256_file(file, second.hook());
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.error().kind(), ManifestError::Kind::Cancelled);
  EXPECT_EQ(second.asked, 2);
}

// Every streaming step, on a file of kBig bytes and limits that let it read all of them.
TEST(CancelHook, StopsEveryStepThatStreamsAFile) {
  const test_support::TempDir dir;
  const std::string out = dir.file("manifest.json");
  const std::uint32_t big_vectors = kBig / kRankVectorBytes + 1;
  const std::string big_index = sparse(
      dir, "big.kdr", 13 + std::uint64_t{big_vectors} * kRankVectorBytes, rank_header(big_vectors));
  const std::string small_index = sparse(dir, "small.kdr", 13 + kRankVectorBytes, rank_header(1));
  const std::string big = sparse(dir, "big.bin", kBig);

  ResourceLimits raised;
  raised.max_auxiliary_artifact_bytes = kBig;
  raised.max_row_map_line_bytes = kBig;

  // The manifest's own index is absent unless a case names one, so only that case's file is read.
  const auto verify = [&](const std::function<void(IndexManifest&)>& shape) {
    return [&, shape](CancelHook hook) {
      ManifestDocument document{{}, dir.path(), dir.file("m.json")};
      document.manifest.artifact.path = "absent.kdr";
      shape(document.manifest);
      VerifyOptions options;
      options.limits = raised;
      options.cancel = hook;
      return verify_manifest_with_path_capture(document, options).cancelled;
    };
  };
  const auto create = [&](std::string index, RowIdentityChoice rows,
                          std::vector<CreateAuxiliaryArtifact> auxiliary) {
    return [&, index, rows, auxiliary](CancelHook hook) {
      CreateManifestOptions options;
      options.auxiliary_artifacts = auxiliary;
      options.limits = raised;
      options.cancel = hook;
      auto created = create_manifest_for_index_with_options(index, out, "model", rows, options);
      EXPECT_FALSE(fs::exists(out));
      return !created && created.error().kind() == ManifestError::Kind::Cancelled;
    };
  };
  // A manifest of the small index, planned with the big file put in its place.
  using Planner = std::function<std::expected<VerifiedLoadPlan, VerifiedLoadPlanError>(
      const std::string&, const VerifyOptions&)>;
  const auto plan = [&](Planner planner) {
    return [&, planner](CancelHook hook) {
      const std::string manifest = dir.file("small.json");
      auto made = create_manifest_for_index_with_options(small_index, manifest, "model",
                                                         RowIdIdentity{}, {});
      if (!made) {
        ADD_FAILURE() << made.error().display();
        return false;
      }
      VerifyOptions options;
      options.index_override = "big.bin";
      options.cancel = hook;
      auto planned = planner(manifest, options);
      return !planned && planned.error().kind == VerifiedLoadPlanError::Kind::Cancelled &&
             planned.error().error.kind() == ManifestError::Kind::Cancelled;
    };
  };
  const struct {
    const char* step;
    std::function<bool(CancelHook)> cancelled;
  } cases[] = {
      {"verify: index", verify([](IndexManifest& m) { m.artifact.path = "big.bin"; })},
      {"verify: auxiliary file", verify([](IndexManifest& m) {
         m.auxiliary_artifacts.push_back({"aux", "big.bin", "", 0});
       })},
      {"verify: row map", verify([](IndexManifest& m) {
         m.row_identity.kind = RowIdentity::Kind::Jsonl;
         m.row_identity.row_count = 1;
         m.row_identity.path = "big.bin";
       })},
      {"verify for load", plan([](const std::string& manifest, const VerifyOptions& options) {
         return verify_for_load(manifest, options);
       })},
      {"verify for load, recording reads",
       plan([](const std::string& manifest, const VerifyOptions& options) {
         VerificationReads reads;
         auto planned = verify_for_load_recording_reads(manifest, options, reads);
         // A stopped run records nothing: its reads would describe files it never finished.
         EXPECT_TRUE(reads.manifest_path.empty());
         EXPECT_TRUE(reads.files.empty());
         return planned;
       })},
      {"create: index", create(big_index, RowIdIdentity{}, {})},
      {"create: row map", create(small_index, RowMapFile{big}, {})},
      {"create: auxiliary file", create(small_index, RowIdIdentity{}, {{"aux", big}})},
  };
  for (const auto& c : cases) {
    StopAt first{1};
    EXPECT_TRUE(c.cancelled(first.hook())) << c.step;
    EXPECT_EQ(first.asked, 1) << c.step;
  }
}

// A bounded read counts its bytes twice, once read and once hashed, whether or not it records the
// read; the recorded digest is the one the plain call gives.
TEST(CancelHook, CountsABoundedReadAndItsHashingWithOrWithoutARecord) {
  const test_support::TempDir dir;
  const std::uint64_t size = 3 * kCancelCheckBytes + 5;
  const std::string file = sparse(dir, "file", size);

  StopAt plain_count{std::numeric_limits<int>::max()};
  CancelCheck plain_check(plain_count.hook());
  auto plain = sha256_file_bounded(file, size, "too_large", "file", FileKindPolicy::RegularOnly,
                                   nullptr, &plain_check);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->size_bytes, size);
  EXPECT_EQ(plain_count.asked, 6);

  StopAt recorded_count{std::numeric_limits<int>::max()};
  CancelCheck recorded_check(recorded_count.hook());
  FileRead read;
  auto recorded = sha256_file_bounded(file, size, "too_large", "file", FileKindPolicy::RegularOnly,
                                      &read, &recorded_check);
  ASSERT_TRUE(recorded.has_value());
  EXPECT_EQ(recorded->sha256, plain->sha256);
  EXPECT_EQ(read.digest.sha256, plain->sha256);
  EXPECT_EQ(read.digest.size_bytes, size);
  EXPECT_TRUE(read.steady);
  EXPECT_EQ(recorded_count.asked, 6);

  // A stop while the recorded bytes are hashed leaves no record behind.
  StopAt fifth{5};
  CancelCheck stopping(fifth.hook());
  FileRead untouched;
  auto stopped = sha256_file_bounded(file, size, "too_large", "file", FileKindPolicy::RegularOnly,
                                     &untouched, &stopping);
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.error().kind(), ManifestError::Kind::Cancelled);
  EXPECT_EQ(fifth.asked, 5);
  EXPECT_TRUE(untouched.digest.sha256.empty());
}

// sha256_file reports an interrupted read as a failure; with a hook, the signal is first the
// hook's to judge, so that a stop requested by a handler is not mistaken for a broken read.
TEST(CancelHook, IsAskedAtOnceWhenASignalInterruptsARead) {
  const test_support::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Without SA_RESTART the blocked read returns EINTR.
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);

  std::atomic<bool> done{false};
  // Keeps the FIFO open without writing, so that the read blocks until a signal arrives.
  std::thread writer([&] {
    const fixtures::OpenFd fd(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  std::thread signaller([&, reader = ::pthread_self()] {
    while (!done.load()) {
      ::pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  StopAt first{1};
  auto digest = sha256_file(fifo, first.hook());
  done.store(true);
  signaller.join();
  writer.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  ASSERT_FALSE(digest.has_value());
  EXPECT_EQ(digest.error().kind(), ManifestError::Kind::Cancelled);
  EXPECT_EQ(first.asked, 1);
}

}  // namespace
}  // namespace karnid::manifest
