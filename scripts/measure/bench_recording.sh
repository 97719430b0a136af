#!/usr/bin/env bash
# Benchmark: reading a recording back. Writes a week of rows at 1 Hz
# (604,800, about 58 MB) with the recorder's CsvLine and reads it with
# RecordingReader, from the file in 64 KiB chunks and from memory, several
# times each; prints the best and worst pass. Arguments go to recordingbench:
#   scripts/measure/bench_recording.sh [--rows N] [--passes N] [--read FILE]
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
scripts/build.sh --target recordingbench >/dev/null

echo "machine: $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u +%Y-%m-%dT%H:%MZ)"
"$build_dir/tools/recordingbench/recordingbench" "$@"
