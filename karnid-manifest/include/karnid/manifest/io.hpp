// File access of the library: owned descriptors, bounded reading, streaming and bounded SHA-256,
// and manifest loading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "karnid/manifest/cancel.hpp"
#include "karnid/manifest/error.hpp"
#include "karnid/manifest/schema.hpp"

namespace karnid::manifest {

// An owned file descriptor; closed on destruction.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Which files a read accepts. Files named by a manifest must be regular files reached without a
// symbolic link in the last component: a FIFO would block the reader forever and a device such
// as /dev/zero never ends. Files the caller names directly may be anything readable, except the
// index at creation, which is read twice and must read the same both times.
enum class FileKindPolicy : std::uint8_t {
  AnyReadable,           // anything that can be opened and read; links followed
  RegularOnly,           // a regular file; a symbolic link in the last component refused
  RegularFollowingLink,  // a regular file, also when reached through a final symbolic link
};

// Opens for reading (read-only, close-on-exec) under the policy: the one way every step opens a
// file. The Regular policies open without blocking on a FIFO, refuse a directory with EISDIR
// (the text a read of it would give) and anything else but a regular file with an Io error
// "{path} is not a regular file". A path holding a NUL byte fails with EINVAL instead of
// silently naming a shorter path.
[[nodiscard]] Result<FileDescriptor> open_for_reading(const std::string& path,
                                                      FileKindPolicy policy);

// Lowercase hexadecimal of a byte string.
[[nodiscard]] std::string to_hex(const unsigned char* data, std::size_t size);

struct FileDigest {
  std::string sha256;        // 64 lowercase hexadecimal characters
  std::uint64_t size_bytes;  // bytes actually hashed
};

// Which file a descriptor is open on, and the state the file system reports for it: enough to tell
// later whether a path still names the same file, unchanged.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size_bytes = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file open on `fd`, or nothing when fstat fails.
[[nodiscard]] std::optional<FileIdentity> identify_open_file(int fd) noexcept;

// One file read to its end: the bytes' digest and what the file was while they were read.
// `steady` holds when the file showed the same identity before the first read and after the last,
// and its size equals the number of bytes read: the digest then describes the file as it is, not a
// mixture of two states. A read that cannot tell (fstat failed) is not steady.
struct FileRead {
  FileDigest digest;
  FileIdentity identity;  // after the last read
  bool steady = false;
};

// Watches the reads of one descriptor from start to end.
class ReadWatch {
 public:
  explicit ReadWatch(int fd) noexcept : before_(identify_open_file(fd)) {}
  // The record of the reads, once `digest` describes every byte that was read from `fd`.
  [[nodiscard]] FileRead finish(int fd, FileDigest digest) const;

 private:
  std::optional<FileIdentity> before_;
};

// The size of the reads that stream a whole file through SHA-256.
inline constexpr std::size_t kHashChunkBytes = 65536;

// What a streaming read does when a signal interrupts a read.
enum class InterruptedRead : std::uint8_t {
  Retry,  // read again: a signal aimed at the host process says nothing about the file
  Fail,   // report it like any other read failure
};

// Receives each chunk of a stream after SHA-256 has seen it; returning false stops the stream.
using ChunkSink = std::function<bool(std::string_view chunk)>;

// Reads `fd` from its current offset to the end, one read of at most buffer.size() bytes at a
// time, and feeds every chunk to SHA-256 and then to `sink` (when given). Returns the digest and
// the number of bytes read, nothing when the sink stopped the stream, or an Io error when a read
// fails. Every chunk is counted by `cancel` (when given); a stop it asks for, after a chunk or
// at an interrupted read, ends the stream with ManifestError::cancelled().
[[nodiscard]] Result<std::optional<FileDigest>> hash_stream(int fd, std::span<char> buffer,
                                                            InterruptedRead interrupted,
                                                            const ChunkSink& sink = nullptr,
                                                            CancelCheck* cancel = nullptr);

// Streams a whole file (regular file, pipe, device) through SHA-256 in 64 KiB reads. No limit;
// an interrupted read is not retried. `hook` may stop it (ManifestError::cancelled()).
[[nodiscard]] Result<FileDigest> sha256_file(const std::string& path, CancelHook hook = {});

// The whole content of a file of at most `limit` bytes; reads at most limit + 1 bytes.
// Refusals are Coded errors with `code`, built from `label` and the displayed path. When `read` is
// given, it receives the record of the read (its digest computed from the content). `cancel`
// counts the bytes read and may stop the read (ManifestError::cancelled()).
[[nodiscard]] Result<std::string> read_bounded_file(
    const std::string& path, std::uint64_t limit, std::string_view code, std::string_view label,
    FileKindPolicy policy = FileKindPolicy::AnyReadable, FileRead* read = nullptr,
    CancelCheck* cancel = nullptr);

// SHA-256 and size of a file read through read_bounded_file (same errors). When `read` is given,
// it receives the record of the read. `cancel` counts the bytes hashed as well as the bytes read.
[[nodiscard]] Result<FileDigest> sha256_file_bounded(
    const std::string& path, std::uint64_t limit, std::string_view code, std::string_view label,
    FileKindPolicy policy = FileKindPolicy::AnyReadable, FileRead* read = nullptr,
    CancelCheck* cancel = nullptr);

struct ManifestDocument {
  IndexManifest manifest;
  std::string base_dir;       // parent of the path as given, or "."
  std::string document_path;  // the path exactly as the caller gave it
  // The record of the read whose bytes were parsed; only when the loader was asked for it.
  std::optional<FileRead> source = std::nullopt;
};

// Reads the manifest under max_manifest_bytes, parses it strictly and records its base directory.
// No plain sibling exists, and none is needed: every load has a byte limit to pass.
[[nodiscard]] Result<ManifestDocument> load_manifest_file_with_options(
    std::string path, std::uint64_t max_manifest_bytes);

// The same, also recording the digest and identity of the exact bytes that were parsed, so that a
// caller can bind a signature over those bytes to this verification instead of to a second read.
[[nodiscard]] Result<ManifestDocument> load_manifest_file_recording_read(
    std::string path, std::uint64_t max_manifest_bytes);

// The directory against which a manifest's relative paths resolve: the parent of the path as
// given (no normalisation), or "." when the path is a bare name, empty or a root.
[[nodiscard]] std::string manifest_base_dir(std::string_view path);

}  // namespace karnid::manifest
