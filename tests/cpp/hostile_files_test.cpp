// Files a hostile manifest can point at: every kind of file system object under both reading
// policies, endless devices under the byte limits, a symbolic link in the last component, files
// that change while they are read, and the issue list of a run that finds very many problems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/row_identity.hpp"
#include "test_support.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;

class HostileFiles : public ::testing::Test {
 protected:
  [[nodiscard]] std::string path(const std::string& name) const { return dir_.file(name); }
  std::string write(const std::string& name, const std::string& bytes) {
    return dir_.write(name, bytes);
  }

  // A bound UNIX socket at `name` (bound relative to the directory: socket paths are short).
  std::string make_socket(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    const fs::path previous = fs::current_path();
    fs::current_path(dir_.path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    fs::current_path(previous);
    ::close(fd);
    return path(name);
  }

  test_support::TempDir dir_;
};

// What opening an object of each kind gives: the descriptor, or the displayed error.
std::optional<std::string> open_error(const std::string& path, FileKindPolicy policy) {
  auto fd = open_for_reading(path, policy);
  if (fd) {
    EXPECT_TRUE(fd->valid());
    return std::nullopt;
  }
  return fd.error().display();
}

TEST_F(HostileFiles, OnlyRegularFilesReachedWithoutAFinalLinkAreReadForAManifest) {
  const std::string regular = write("regular", "bytes");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string socket = make_socket("socket");
  fs::create_directory(path("directory"));
  fs::create_symlink(regular, path("link-to-regular"));
  fs::create_symlink(path("fifo"), path("link-to-fifo"));
  fs::create_symlink(path("nowhere"), path("dangling"));
  fs::create_symlink(path("directory"), path("link-to-directory"));
  const std::string not_regular = " is not a regular file";

  struct Case {
    std::string path;
    std::optional<std::string> regular_only;  // expected error; nullopt: opens
    std::optional<std::string> any_readable;  // likewise; "skip" when opening would block
  };
  const std::vector<Case> cases = {
      {regular, std::nullopt, std::nullopt},
      {path("fifo"), path("fifo") + not_regular, "skip"},
      {socket, os_error_text(ENXIO), os_error_text(ENXIO)},
      {path("directory"), os_error_text(EISDIR), std::nullopt},
      {"/dev/zero", "/dev/zero" + not_regular, std::nullopt},
      {"/dev/null", "/dev/null" + not_regular, std::nullopt},
      // The canonical path of a manifest's file has no link in its last component; a link found
      // there was put in place after resolution, and following it could leave the base.
      {path("link-to-regular"), os_error_text(ELOOP), std::nullopt},
      {path("link-to-fifo"), os_error_text(ELOOP), "skip"},
      {path("dangling"), os_error_text(ELOOP), os_error_text(ENOENT)},
      {path("link-to-directory"), os_error_text(ELOOP), std::nullopt},
      {path("missing"), os_error_text(ENOENT), os_error_text(ENOENT)},
      {regular + std::string(1, '\0') + "x", os_error_text(EINVAL), os_error_text(EINVAL)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(open_error(c.path, FileKindPolicy::RegularOnly), c.regular_only) << c.path;
    if (c.any_readable != "skip") {
      EXPECT_EQ(open_error(c.path, FileKindPolicy::AnyReadable), c.any_readable) << c.path;
    }
  }
}

TEST_F(HostileFiles, AFinalLinkIsFollowedOnlyToARegularFileWhenThePolicySaysSo) {
  const std::string regular = write("regular", "bytes");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  fs::create_directory(path("directory"));
  fs::create_symlink(regular, path("link-to-regular"));
  fs::create_symlink(path("fifo"), path("link-to-fifo"));
  fs::create_symlink(path("directory"), path("link-to-directory"));
  fs::create_symlink(path("nowhere"), path("dangling"));
  const struct {
    std::string path;
    std::optional<std::string> error;  // nullopt: opens
  } cases[] = {
      {regular, std::nullopt},
      {path("link-to-regular"), std::nullopt},
      {path("link-to-fifo"), path("link-to-fifo") + " is not a regular file"},
      {path("link-to-directory"), os_error_text(EISDIR)},
      {path("dangling"), os_error_text(ENOENT)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(open_error(c.path, FileKindPolicy::RegularFollowingLink), c.error) << c.path;
  }
  auto fd = open_for_reading(path("link-to-regular"), FileKindPolicy::RegularFollowingLink);
  ASSERT_TRUE(fd.has_value());
  EXPECT_EQ(::fcntl(fd->get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(HostileFiles, ARegularFileIsReadBlockingAfterTheNonBlockingOpen) {
  // The open is non-blocking so that a FIFO cannot hang it; reads afterwards must behave as
  // usual, which only a descriptor without O_NONBLOCK guarantees on every file system.
  const std::string regular = write("regular", "bytes");
  auto fd = open_for_reading(regular, FileKindPolicy::RegularOnly);
  ASSERT_TRUE(fd.has_value());
  EXPECT_EQ(::fcntl(fd->get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(HostileFiles, EndlessDevicesAreCutOffAtTheByteLimit) {
  // A caller may hand a device to the bounded reader on purpose; it still stops one byte past
  // the limit.
  for (const std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 20}) {
    auto read = read_bounded_file("/dev/zero", limit, "code_too_large", "label");
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().kind(), ManifestError::Kind::Coded);
    EXPECT_EQ(read.error().display(), "code_too_large: label exceeds " + std::to_string(limit) +
                                          " bytes while reading /dev/zero");
  }
  // Named by a manifest, the same device is refused before a single byte is read.
  auto refused = sha256_file_bounded("/dev/zero", 1 << 20, "code_too_large", "label",
                                     FileKindPolicy::RegularOnly);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(), "/dev/zero is not a regular file");
}

TEST_F(HostileFiles, TheRowMapValidatorRefusesWhatIsNotARegularFile) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  fs::create_symlink(write("rows.jsonl", ""), path("link.jsonl"));
  const struct {
    std::string path;
    std::string error;
  } cases[] = {{path("fifo"), path("fifo") + " is not a regular file"},
               {"/dev/zero", "/dev/zero is not a regular file"},
               {path("link.jsonl"), os_error_text(ELOOP)}};
  for (const auto& c : cases) {
    std::vector<ReportIssue> errors;
    auto summary = validate_jsonl_rows(c.path, false, ResourceLimits{}, 10, errors);
    ASSERT_FALSE(summary.has_value()) << c.path;
    EXPECT_EQ(summary.error().display(), c.error);
    EXPECT_TRUE(errors.empty());
  }
}

// Appends to and truncates a file until stopped, so that a reader meets it at every size.
class Churn {
 public:
  Churn(std::string path, std::size_t small, std::size_t large)
      : thread_([this, path = std::move(path), small, large] {
          const std::string extra(large - small, 'x');
          while (!stop_.load()) {
            std::ofstream(path, std::ios::binary | std::ios::app) << extra;
            fs::resize_file(path, small);
          }
        }) {}
  Churn(const Churn&) = delete;
  Churn& operator=(const Churn&) = delete;
  ~Churn() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(HostileFiles, AFileThatGrowsAndShrinksWhileReadStaysWithinTheLimit) {
  const std::string small(1 << 16, 's');
  const std::string file = write("changing", small);
  constexpr std::uint64_t kLimit = 3 << 16;
  Churn churn(file, small.size(), 4 << 16);
  for (int i = 0; i < 50; ++i) {
    auto digest =
        sha256_file_bounded(file, kLimit, "too_large", "file", FileKindPolicy::RegularOnly);
    if (digest) {
      EXPECT_LE(digest->size_bytes, kLimit);
    } else {
      EXPECT_EQ(digest.error().code(), "too_large");
    }
    auto whole = sha256_file(file);  // no limit: ends when a read finds the end
    ASSERT_TRUE(whole.has_value());
    EXPECT_LE(whole->size_bytes, std::uint64_t{4} << 16);
  }
}

TEST_F(HostileFiles, AReadIsSteadyOnlyWhenTheFileDidNotChangeWhileItWasRead) {
  const std::string file = write("watched", "0123456789");
  const auto read_with = [&](auto&& meanwhile) {
    auto fd = open_for_reading(file, FileKindPolicy::RegularOnly);
    EXPECT_TRUE(fd.has_value());
    const ReadWatch watch(fd->get());
    std::vector<char> buffer(4);
    auto digest = hash_stream(fd->get(), buffer, InterruptedRead::Retry);
    EXPECT_TRUE(digest.has_value());
    meanwhile();
    return watch.finish(fd->get(), **digest);
  };
  const FileRead quiet = read_with([] {});
  EXPECT_TRUE(quiet.steady);
  EXPECT_EQ(quiet.identity.size_bytes, 10u);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(quiet.identity.inode, static_cast<std::uint64_t>(st.st_ino));
  // Grown after the last read: the digest no longer describes the file.
  EXPECT_FALSE(read_with([&] { std::ofstream(file, std::ios::app) << "more"; }).steady);
  // Same size, touched in place: the times tell (set explicitly, as the clock may not have ticked).
  EXPECT_FALSE(read_with([&] {
                 const ::timespec times[2] = {{1, 0}, {1, 0}};
                 ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
               }).steady);
}

TEST(IssueBound, ALimitIssueFollowedByUnboundedErrorsIsStillFound) {
  // Verification appends some errors without a bound, so the limit issue of an earlier bounded
  // push need not be the newest one; a later bounded push must still see it.
  std::vector<ReportIssue> issues;
  for (int i = 0; i < 4; ++i) push_report_issue_bounded(issues, 3, "bounded", "m");
  issues.push_back({"unbounded", "m"});
  push_report_issue_bounded(issues, 3, "bounded", "m");
  ASSERT_EQ(issues.size(), 4u);
  EXPECT_EQ(issues[2].code, kIssueLimitCode);
  EXPECT_EQ(issues[3].code, "unbounded");
  EXPECT_TRUE(has_issue_code(issues, "bounded"));
  EXPECT_FALSE(has_issue_code(issues, "other"));
}

TEST(IssueBound, MillionsOfPushesKeepTheListAtItsBound) {
  std::vector<ReportIssue> issues;
  constexpr std::uint64_t kBound = 100000;
  for (int i = 0; i < 1000000; ++i) {
    push_report_issue_bounded(issues, kBound, "row_identity_jsonl_invalid_json", "m");
  }
  ASSERT_EQ(issues.size(), kBound);
  EXPECT_EQ(issues.back().code, kIssueLimitCode);
  EXPECT_EQ(issues[kBound - 2].code, "row_identity_jsonl_invalid_json");
}

}  // namespace
}  // namespace karnid::manifest
