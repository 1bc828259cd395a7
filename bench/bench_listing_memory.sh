#!/bin/bash
# Peak memory of "tolvane-cli ls" for listings around the client's 64 MiB
# cap: a small server on a free loopback port sends SIZE_MB MiB of Unix
# listing lines; prints the exit status, the lines printed and the peak
# resident memory of the client.
#
#   bench/bench_listing_memory.sh BUILD_DIR [SIZE_MB...]   (default: 32 64 100)
#
# Needs python3 and /usr/bin/time (Debian package "time").

set -euo pipefail

BUILD_DIR=${1:-}
[ -n "$BUILD_DIR" ] || { echo "usage: bench/bench_listing_memory.sh BUILD_DIR [SIZE_MB...]" >&2; exit 1; }
shift
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(32 64 100)
CLI=$(cd "$BUILD_DIR" && pwd)/src/tools/tolvane-cli
HERE=$(cd "$(dirname "$0")" && pwd)
[ -x "$CLI" ] || { echo "$CLI is missing" >&2; exit 1; }

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

for MB in "${SIZES[@]}"; do
    PORT=$(free_port)
    python3 "$HERE/big_listing_server.py" "$MB" "$PORT" &
    SERVER=$!
    sleep 0.5
    OUT=$(mktemp)
    ERR=$(mktemp)
    set +e
    /usr/bin/time -f "%M" -o "$ERR.time" "$CLI" -u bob:pw "127.0.0.1:$PORT" ls >"$OUT" 2>"$ERR"
    STATUS=$?
    set -e
    wait "$SERVER" 2>/dev/null || true
    printf '%4d MiB listing: exit %d, %8d lines, peak %6d KiB  %s\n' "$MB" "$STATUS" "$(wc -l <"$OUT")" \
        "$(tail -n 1 "$ERR.time")" "$(head -c 100 "$ERR")"
    rm -f "$OUT" "$ERR" "$ERR.time"
done
