#!/usr/bin/env bash
# A long soak of the driver module against faulty simulated panels:
#   scripts/soak.sh [ROUNDS] [OPS_PER_ROUND] [SEED]   (default 400 rounds of 25)
# Prints the operations, the faults, descriptors and memory before and after;
# exits non-zero on any unexpected answer, a leaked descriptor, more than
# 64 KiB of growth, or a final table that differs from the scenario's.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${XOL_OUT:-$PWD/out}
bash scripts/setup.sh
cmake -S . -B "$out/gcc" -G Ninja >/dev/null
ninja -C "$out/gcc" -j "${XOL_JOBS:-2}" xol_soak xolest
exec "$out/gcc/tests/soak/xol_soak" --module "$out/gcc/libxolest.so.1" \
    --rounds "${1:-400}" --ops "${2:-25}" --seed "${3:-1}"
