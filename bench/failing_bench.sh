#!/usr/bin/env bash
# korvid-cli and GNU ddrescue on the same failing disk: the e2e.failing test's card and bad
# sectors, served by tests/tools/failing_medium (tests/e2e/failing_test.sh --bench). Prints, per
# tool, the seconds until it had read 90% of the readable sectors, the seconds in all, and how
# often it tried the bad sectors (most for one sector, in all).
#
#   bench/failing_bench.sh [BUILD_DIR]
#
# BUILD_DIR (default: build) holds bin/korvid-cli and bin/failing_medium.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bin=$(realpath "${1:-$repo/build}")/bin
for program in korvid-cli failing_medium; do
  [[ -x $bin/$program ]] || { echo "bench: $bin/$program is not built" >&2; exit 2; }
done
exec bash "$repo/tests/e2e/failing_test.sh" "$bin/korvid-cli" "$bin/failing_medium" --bench
