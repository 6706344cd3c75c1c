#!/usr/bin/env bash
# Every test: the host unit tests (under ASan and UBSan), then the Windows
# build with its checks and its tests under Wine. Installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset host
cmake --build --preset host -j2
ctest --preset host

cmake --preset win32
cmake --build --preset win32 -j2
ctest --preset win32
