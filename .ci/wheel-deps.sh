#!/bin/sh
# Runs once in each wheel build container (cibuildwheel's before-all, see pyproject.toml): brings
# OpenSSL 3 from the distribution's own packages (manylinux_2_28's base system has only 1.1.1,
# which is end-of-life), points /opt/openssl3/{include,lib} at it for CMake and auditwheel, and
# stops early when the compiler cannot build C++23.
set -eu

if command -v dnf >/dev/null 2>&1; then
  # AlmaLinux 8: OpenSSL 3 lives in EPEL, beside the system's 1.1.1 and under its own folders.
  dnf install -y epel-release
  dnf install -y openssl3-devel
  include=$(dirname "$(dirname "$(rpm -ql openssl3-devel | grep '/openssl/evp\.h$')")")
  lib=$(dirname "$(rpm -ql openssl3-devel | grep '/libcrypto\.so$')")
elif command -v apk >/dev/null 2>&1; then
  # Alpine: the distribution's OpenSSL is 3.
  apk add --no-cache openssl-dev
  include=/usr/include
  lib=/usr/lib
else
  echo "wheel-deps.sh: neither dnf nor apk; unknown build image" >&2
  exit 1
fi

mkdir -p /opt/openssl3
ln -sfn "$include" /opt/openssl3/include
ln -sfn "$lib" /opt/openssl3/lib

if ! grep -q 'define OPENSSL_VERSION_MAJOR  *3' /opt/openssl3/include/openssl/opensslv.h; then
  echo "wheel-deps.sh: the OpenSSL headers found are not OpenSSL 3" >&2
  exit 1
fi

probe=$(mktemp -d)
printf '#include <expected>\nint main() { return std::expected<int, int>(0).value(); }\n' \
  > "$probe/probe.cpp"
if ! c++ -std=c++23 -o "$probe/probe" "$probe/probe.cpp"; then
  echo "wheel-deps.sh: $(c++ --version | head -n 1) cannot build C++23 (std::expected)" >&2
  exit 1
fi
rm -rf "$probe"
