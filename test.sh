#!/bin/bash
# Sets up a fresh Debian machine, builds everything and runs every test:
#   the normal build (gcc): unit, scenario and build checks, and the
#     emulated PC (tests/emulator: the router's programs under QEMU);
#   the sanitizer build (clang, AddressSanitizer + UndefinedBehaviorSanitizer):
#     the same tiers again, plus the fuzz targets for a short while;
#   the router's build (i386, static, musl): its programs, their sizes, and
#     the install scenarios under qemu-i386-static; the i386 unit tests in a
#     glibc build of their own (GoogleTest needs the C++ library).
# The setup scenarios run setup in the sandbox (tests/sandbox): its own
# namespaces, a changed root and loop devices over sparse images; the
# machine's own disks are never touched.
# Run as root: the programs under test change root, create device nodes and
# set owners. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

if [ "$(id -u)" -ne 0 ]; then
  echo "test.sh: run as root (the scenario tests chroot, mknod and chown)" >&2
  exit 1
fi

packages=(build-essential cmake ninja-build zlib1g-dev googletest python3-pytest
          clang libclang-rt-14-dev g++-multilib lib32z1-dev qemu-user-static
          binutils bash coreutils tar gzip
          fdisk e2fsprogs util-linux python3-pexpect xorriso dosfstools mtools
          qemu-system-x86 nftables iproute2 clang-format-14 strace)
# musl for the router's build comes from Debian's musl-dev:i386, unpacked
# into .cache (cmake/unpack_musl_i386.sh says why it is not installed).
update=
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "== adding the i386 architecture"
  dpkg --add-architecture i386
  update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "$update" ]; then
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
cmake/unpack_musl_i386.sh || { apt-get update -qq && cmake/unpack_musl_i386.sh; }

jobs=$(nproc)
failed=0

# The programs' sources as .clang-format lays them out.
echo "== formatting"
find foundation package_format installer setup netinstall menu tools -type f \
  \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 clang-format-14 --dry-run -Werror || failed=1

run_build() {  # name, ctest label filter, cmake arguments...
  local dir=$1 labels=$2; shift 2
  echo "== configure $dir"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  echo "== build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "== test $dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" ${labels:+-L "$labels"}) || failed=1
}

run_build build "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build-sanitize "" -DCMAKE_BUILD_TYPE=Debug -DTESS_SANITIZE=ON -DTESS_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
run_build build-i386-glibc unit -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/i386-glibc.cmake
# --fresh: a build-i386 configured with glibc keeps that compiler's findings.
echo "== configure build-i386 (the router's programs: i386, static, musl)"
cmake --fresh -S . -B build-i386 -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_TOOLCHAIN_FILE=cmake/i386-static.cmake >/dev/null
echo "== build build-i386"
cmake --build build-i386 -j "$jobs" || failed=1
# What the router's media can hold: installer under 150 KiB, setup 200 KiB.
for limit in installer/installer:153600 setup/setup:204800; do
  program=build-i386/${limit%:*} size=$(stat -c %s "build-i386/${limit%:*}")
  echo "   $program: $size bytes (at most ${limit#*:})"
  [ "$size" -le "${limit#*:}" ] || { echo "test.sh: $program is too large" >&2; failed=1; }
done
echo "== the router's installer (i386, static, musl) through the install scenarios, under qemu"
TESS_EMULATOR=qemu-i386-static TESS_BUILD_DIR=$PWD/build-i386 TESS_SOURCE_DIR=$PWD \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/scenario/test_install.py || failed=1

if [ $failed -ne 0 ]; then
  echo "test.sh: FAILED"
  exit 1
fi
echo "test.sh: all builds and tests passed"
