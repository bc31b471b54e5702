#!/usr/bin/env bash
# Cross-builds the Windows korvid-cli.exe and its tests with MinGW-w64:
#   cross_build.sh ARCH BUILD_DIR LINUX_CLI|- [TARGET...]
# ARCH is x86_64 or i686 (cmake/mingw-w64-ARCH.cmake). With a LINUX_CLI the build registers the
# comparison of korvid-cli.exe with that Linux korvid-cli among its tests; "-" leaves it out.
# TARGETs limit the build to those; without any, everything is built.
set -euo pipefail
usage="usage: cross_build.sh ARCH BUILD_DIR LINUX_CLI|- [TARGET...]"
arch=${1:?$usage}
build=${2:?$usage}
linux_cli=${3:?$usage}
shift 3
if [ "$linux_cli" = - ]; then linux_cli=; else linux_cli=$(realpath "$linux_cli"); fi
repo=$(cd "$(dirname "$0")/../.." && pwd)

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-$arch.cmake" -DKORVID_LINUX_CLI="$linux_cli" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
# Two jobs: the CI machine has two cores.
cmake --build "$build" --parallel 2 "${targets[@]}"
