#!/usr/bin/env bash
# Configures and builds into build/<name> (default: build/release). Extra arguments go to CMake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:-release}; shift || true
cmake -S "$root" -B "$root/build/$name" -G Ninja "$@" >/dev/null
cmake --build "$root/build/$name" -j"$(nproc)"
