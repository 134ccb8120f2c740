#include "karnid/manifest/io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <vector>

#include "karnid/manifest/sha256.hpp"
#include "karnid/manifest/text.hpp"

namespace karnid::manifest {
namespace {

constexpr std::size_t kInitialBoundedChunk = 65536;

// The digest of bytes already read. A raised limit may leave gigabytes in the buffer: one pass
// still, in interval-sized slices with a chance to stop after each.
Result<FileDigest> hash_content(std::string_view content, CancelCheck* cancel) {
  Sha256 hasher;
  for (std::string_view rest = content; !rest.empty();) {
    const std::string_view slice = rest.substr(0, kCancelCheckBytes);
    hasher.update(slice);
    rest.remove_prefix(slice.size());
    if (stop_after(cancel, slice.size())) return std::unexpected(ManifestError::cancelled());
  }
  return FileDigest{hasher.finish_hex(), static_cast<std::uint64_t>(content.size())};
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// The system's open, retried when a signal interrupts it.
Result<FileDescriptor> open_with_flags(const std::string& path, int flags) {
  // The kernel would stop at the first NUL and open a different file than the one named.
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(ManifestError::os(EINVAL).with_path(path));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(ManifestError::os(errno).with_path(path));
  return FileDescriptor(fd);
}

Result<FileDescriptor> open_regular_file(const std::string& path, bool follow_final_link) {
  const int no_follow = follow_final_link ? 0 : O_NOFOLLOW;
  auto fd = open_with_flags(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | no_follow);
  if (!fd) return fd;
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) {
    return std::unexpected(ManifestError::os(errno).with_path(path));
  }
  // A directory fails as reading it would, with the system's own error, in every step alike.
  if (S_ISDIR(st.st_mode)) return std::unexpected(ManifestError::os(EISDIR).with_path(path));
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(
        ManifestError::io_text(display_path(path) + " is not a regular file").with_path(path));
  }
  const int flags = ::fcntl(fd->get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(ManifestError::os(errno).with_path(path));
  }
  return fd;
}

}  // namespace

Result<FileDescriptor> open_for_reading(const std::string& path, FileKindPolicy policy) {
  switch (policy) {
    case FileKindPolicy::AnyReadable:
      return open_with_flags(path, O_RDONLY | O_CLOEXEC);
    case FileKindPolicy::RegularOnly:
      return open_regular_file(path, /*follow_final_link=*/false);
    case FileKindPolicy::RegularFollowingLink:
      return open_regular_file(path, /*follow_final_link=*/true);
  }
  return std::unexpected(ManifestError::os(EINVAL).with_path(path));
}

std::optional<FileIdentity> identify_open_file(int fd) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return FileIdentity{
      static_cast<std::uint64_t>(st.st_dev),
      static_cast<std::uint64_t>(st.st_ino),
      st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0,
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
      static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec,
  };
}

FileRead ReadWatch::finish(int fd, FileDigest digest) const {
  FileRead read{std::move(digest), {}, false};
  const std::optional<FileIdentity> after = identify_open_file(fd);
  if (after) read.identity = *after;
  read.steady =
      before_ && after && *before_ == *after && after->size_bytes == read.digest.size_bytes;
  return read;
}

std::string to_hex(const unsigned char* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(size * 2, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  return out;
}

Result<std::optional<FileDigest>> hash_stream(int fd, std::span<char> buffer,
                                              InterruptedRead interrupted, const ChunkSink& sink,
                                              CancelCheck* cancel) {
  if (stopped(cancel)) return std::unexpected(ManifestError::cancelled());
  Sha256 hasher;
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      const int err = errno;  // the hook may run code that sets errno
      if (err == EINTR) {
        if (stop_now(cancel)) return std::unexpected(ManifestError::cancelled());
        if (interrupted == InterruptedRead::Retry) continue;
      }
      return std::unexpected(ManifestError::os(err));
    }
    if (n == 0) break;
    const std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
    hasher.update(chunk);
    total += static_cast<std::uint64_t>(n);
    if (sink && !sink(chunk)) return std::optional<FileDigest>();
    if (stop_after(cancel, chunk.size())) return std::unexpected(ManifestError::cancelled());
  }
  return FileDigest{hasher.finish_hex(), total};
}

Result<FileDigest> sha256_file(const std::string& path, CancelHook hook) {
  auto fd = open_for_reading(path, FileKindPolicy::AnyReadable);
  if (!fd) return std::unexpected(std::move(fd.error()));
  std::vector<char> buffer(kHashChunkBytes, 0);
  CancelCheck cancel(hook);
  // Interrupted reads are not retried here, unlike every other read of the library: the caller
  // asked for this exact file, and an interruption is reported like any other read failure.
  auto digest = hash_stream(fd->get(), buffer, InterruptedRead::Fail, nullptr, &cancel);
  if (!digest) return std::unexpected(std::move(digest.error()).with_path(path));
  return std::move(**digest);
}

Result<std::string> read_bounded_file(const std::string& path, std::uint64_t limit,
                                      std::string_view code, std::string_view label,
                                      FileKindPolicy policy, FileRead* read, CancelCheck* cancel) {
  if (stopped(cancel)) return std::unexpected(ManifestError::cancelled());
  auto fd = open_for_reading(path, policy);
  if (!fd) return std::unexpected(std::move(fd.error()));
  const std::optional<ReadWatch> watch =
      read != nullptr ? std::optional<ReadWatch>(std::in_place, fd->get()) : std::nullopt;
  if (limit == std::numeric_limits<std::uint64_t>::max()) {
    return std::unexpected(
        ManifestError::coded(std::string(code),
                             std::string(label) + " byte limit " + decimal(limit) +
                                 " is too large to enforce while reading " + display_path(path))
            .with_path(path));
  }
  const std::uint64_t cap = limit + 1;  // one byte more than allowed proves the file too large
  std::string buffer;
  std::uint64_t used = 0;
  try {
    while (used < cap) {
      if (used == buffer.size()) {
        const std::uint64_t grown =
            std::max<std::uint64_t>(kInitialBoundedChunk, static_cast<std::uint64_t>(used) * 2);
        // The new bytes are left as they are, not zero-filled: read() overwrites them before
        // anything looks at them, and the final resize drops whatever it did not reach.
        buffer.resize_and_overwrite(static_cast<std::size_t>(std::min(grown, cap)),
                                    [](char*, std::size_t size) { return size; });
      }
      // One read never takes more than the cancellation interval, however large the buffer
      // has grown, so that a stop is noticed as soon after as in every other stream.
      const std::size_t want =
          std::min<std::size_t>(buffer.size() - static_cast<std::size_t>(used), kCancelCheckBytes);
      const ssize_t n = ::read(fd->get(), buffer.data() + used, want);
      if (n < 0) {
        const int err = errno;  // the hook may run code that sets errno
        if (err == EINTR) {
          if (stop_now(cancel)) return std::unexpected(ManifestError::cancelled());
          continue;
        }
        return std::unexpected(ManifestError::os(err).with_path(path));
      }
      if (n == 0) break;
      used += static_cast<std::uint64_t>(n);
      if (stop_after(cancel, static_cast<std::uint64_t>(n))) {
        return std::unexpected(ManifestError::cancelled());
      }
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(ManifestError::os(ENOMEM).with_path(path));
  } catch (const std::length_error&) {
    return std::unexpected(ManifestError::os(ENOMEM).with_path(path));
  }
  if (used > limit) {
    return std::unexpected(
        ManifestError::coded(std::string(code), std::string(label) + " exceeds " + decimal(limit) +
                                                    " bytes while reading " + display_path(path))
            .with_path(path));
  }
  buffer.resize(static_cast<std::size_t>(used));
  if (watch) {
    auto digest = hash_content(buffer, cancel);
    if (!digest) return std::unexpected(std::move(digest.error()));
    *read = watch->finish(fd->get(), std::move(*digest));
  }
  return buffer;
}

Result<FileDigest> sha256_file_bounded(const std::string& path, std::uint64_t limit,
                                       std::string_view code, std::string_view label,
                                       FileKindPolicy policy, FileRead* read, CancelCheck* cancel) {
  auto content = read_bounded_file(path, limit, code, label, policy, read, cancel);
  if (!content) return std::unexpected(std::move(content.error()));
  // The record of the read already holds the digest of these bytes.
  if (read != nullptr) return read->digest;
  return hash_content(*content, cancel);
}

std::string manifest_base_dir(std::string_view path) {
  // Components as a path parser sees them: separators collapse, "." is dropped except as the
  // leading component of a relative path.
  struct Component {
    std::size_t begin;
    std::size_t end;
  };
  std::vector<Component> components;
  const bool absolute = !path.empty() && path.front() == '/';
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    if (i >= path.size()) break;
    std::size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    const std::string_view name = path.substr(i, j - i);
    const bool leading = components.empty() && !absolute && i == 0;
    if (name != "." || leading) components.push_back({i, j});
    i = j;
  }
  if (components.empty()) return ".";  // empty path or a root: no parent
  std::size_t cut = components.back().begin;
  // The parent is everything before the last component, without trailing separators.
  while (cut > 0 && path[cut - 1] == '/') --cut;
  if (cut == 0) return absolute ? std::string("/") : std::string(".");
  return std::string(path.substr(0, cut));
}

namespace {

Result<ManifestDocument> load_manifest_file(std::string path, std::uint64_t max_manifest_bytes,
                                            bool record_read) {
  std::optional<FileRead> source;
  if (record_read) source.emplace();
  auto bytes =
      read_bounded_file(path, max_manifest_bytes, "manifest_file_too_large", "manifest file",
                        FileKindPolicy::AnyReadable, source ? &*source : nullptr);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  auto manifest = parse_manifest(*bytes);
  if (!manifest) return std::unexpected(std::move(manifest.error()));
  ManifestDocument document{std::move(*manifest), manifest_base_dir(path), std::move(path),
                            std::move(source)};
  return document;
}

}  // namespace

Result<ManifestDocument> load_manifest_file_with_options(std::string path,
                                                         std::uint64_t max_manifest_bytes) {
  return load_manifest_file(std::move(path), max_manifest_bytes, /*record_read=*/false);
}

Result<ManifestDocument> load_manifest_file_recording_read(std::string path,
                                                           std::uint64_t max_manifest_bytes) {
  return load_manifest_file(std::move(path), max_manifest_bytes, /*record_read=*/true);
}

}  // namespace karnid::manifest
