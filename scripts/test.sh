#!/usr/bin/env bash
# Every test: the host unit tests (under ASan and UBSan), then the Windows
# build with its checks and its tests under Wine. Installs what it needs.
#
# Everything is built here. The tests labelled host run no Windows program
# (the exe checks read the file; the release test builds, signs and checks a
# release), so they run here too; the tests that run Windows programs run
# where 32-bit programs run: here, or, on a host that cannot run them, in the
# emulated machine of scripts/win32-run.sh (CLEARWICK_GUEST=1 forces it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# Where the emulated machines will run, their image is made meanwhile (once).
scripts/win32-run.sh --prepare &
prepare=$!

cmake --preset host
cmake --build --preset host -j2
ctest --preset host

cmake --preset win32
cmake --build --preset win32 -j2
ctest --preset win32 -L host
wait "$prepare"
# In emulated machines, one a core, each runs its share of the tests.
scripts/win32-run.sh --machines sh -c 'exec ctest --preset win32 -LE host -I "$CLEARWICK_SHARD"'
