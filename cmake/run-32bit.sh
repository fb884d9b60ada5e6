#!/usr/bin/env bash
# Runs a 32-bit Linux program, or skips (exit 77, ctest's SKIP_RETURN_CODE)
# with the reason where this host cannot run one: run-32bit.sh PROGRAM [ARGS...]
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if ! nr_host_32bit; then
    echo "skipped: $NR_HOST_32BIT_WHY"
    exit 77
fi
exec "$@"
