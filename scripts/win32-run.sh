#!/usr/bin/env bash
# Runs a command where 32-bit Windows programs run under Wine: here, when
# this host runs i386 code.
#
#   scripts/win32-run.sh COMMAND [ARG...]
set -euo pipefail
exec "$@"
