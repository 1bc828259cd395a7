#!/bin/bash
# Many small files: a folder of FILES files of SIZE_KB KiB each goes up with
# "tolvane-cli put -r" and with lftp's "mirror -R", over loopback to a
# vsftpd (or pyftpdlib with SERVER=pyftpdlib) started here on a free port of
# 127.0.0.1, passive mode for both, files on tmpfs. The clients take turns
# run by run (tolvane-cli, lftp, tolvane-cli, ...) and the time ratio is
# taken pair by pair; the median of the ratios is printed with the times and
# the commands per file each client sent (from a traced run).
#
#   bench/bench_tree.sh BUILD_DIR
#
# Runs as root: vsftpd logs in the local system account the end-to-end tests
# use (tolvanetest, created when missing, its password set).
#
# Environment: FILES (default 1000), SIZE_KB (default 4), RUNS (default 7),
# SERVER (vsftpd or pyftpdlib; default vsftpd), BENCH_TMP (default /dev/shm
# when it is a tmpfs, else /tmp). Needs lftp, vsftpd or python3-pyftpdlib.

set -euo pipefail
. "$(dirname "$0")/bench_common.sh"
export LC_ALL=C

BUILD_DIR=${1:-}
FILES=${FILES:-1000}
SIZE_KB=${SIZE_KB:-4}
RUNS=${RUNS:-7}
SERVER=${SERVER:-vsftpd}
ACCOUNT=tolvanetest
ACCOUNT_PASSWORD=Tolvane-Test-7

die() { echo "bench_tree: $*" >&2; exit 1; }

[ -n "$BUILD_DIR" ] || die "usage: bench/bench_tree.sh BUILD_DIR"
CLI=$(cd "$BUILD_DIR" && pwd)/src/tools/tolvane-cli
[ -x "$CLI" ] || die "$CLI is missing: build the tolvane-cli target first"
command -v lftp >/dev/null || die "lftp is not installed (Debian package lftp)"
[ "$(id -u)" = 0 ] || die "needs root (vsftpd logs in the local account $ACCOUNT)"
case "$SERVER" in
vsftpd) [ -x /usr/sbin/vsftpd ] || die "vsftpd is not installed" ;;
pyftpdlib) /usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null || die "python3-pyftpdlib is not installed" ;;
*) die "SERVER is vsftpd or pyftpdlib" ;;
esac

if [ -z "${BENCH_TMP:-}" ]; then
    BENCH_TMP=/tmp
    [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && BENCH_TMP=/dev/shm
fi
WORK=$(mktemp -d "$BENCH_TMP/tolvane-bench-tree.XXXXXX")
chmod 755 "$WORK"
SERVER_PID=
cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

bench_account "$ACCOUNT" "$ACCOUNT_PASSWORD"

read -r PORT PASV_MIN < <(bench_free_ports 66)
# Each file takes a passive port, and a closed one waits in TIME_WAIT on
# the client's side only: 64 ports are plenty.
PASV_MAX=$((PASV_MIN + 63))

mkdir -p "$WORK/root" "$WORK/empty" "$WORK/src"
chown "$ACCOUNT" "$WORK/root"
if [ "$SERVER" = vsftpd ]; then
    cat > "$WORK/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$PORT
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
chmod_enable=YES
local_root=$WORK/root
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir=$WORK/empty
pam_service_name=vsftpd
userlist_enable=NO
tcp_wrappers=NO
pasv_enable=YES
pasv_min_port=$PASV_MIN
pasv_max_port=$PASV_MAX
port_enable=YES
connect_from_port_20=NO
isolate=NO
isolate_network=NO
seccomp_sandbox=NO
xferlog_enable=YES
vsftpd_log_file=$WORK/wire.log
log_ftp_protocol=NO
syslog_enable=NO
EOF
    /usr/sbin/vsftpd "$WORK/vsftpd.conf" > "$WORK/server.log" 2>&1 &
else
    cat > "$WORK/server.py" <<EOF
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
import logging
logging.basicConfig(level=logging.WARNING)
a = DummyAuthorizer()
a.add_user("$ACCOUNT", "$ACCOUNT_PASSWORD", "$WORK/root", perm="elradfmwMT")
FTPHandler.authorizer = a
FTPHandler.passive_ports = range($PASV_MIN, $PASV_MAX + 1)
FTPHandler.permit_foreign_addresses = False
s = FTPServer(("127.0.0.1", $PORT), FTPHandler)
s.max_cons = 64
s.serve_forever()
EOF
    /usr/bin/python3 "$WORK/server.py" > "$WORK/server.log" 2>&1 &
fi
SERVER_PID=$!
for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then break; fi
    kill -0 "$SERVER_PID" 2>/dev/null || die "$SERVER did not start: $(cat "$WORK/server.log")"
    sleep 0.1
done

echo "Creating $FILES files of $SIZE_KB KiB..."
/usr/bin/python3 - "$WORK/src" "$FILES" "$SIZE_KB" <<'EOF'
import os, sys
root, n, kb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(n):
    with open(os.path.join(root, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(kb * 1024))
EOF
chmod -R a+rX "$WORK/src"

client_cmd() {
    case "$1" in
    tolvane)
        CMD=(env TOLVANE_PASSWORD="$ACCOUNT_PASSWORD" "$CLI" --passive -u "$ACCOUNT" "127.0.0.1:$PORT" put -r
             "$WORK/src" "up-tolvane") ;;
    lftp)
        # No TLS attempt against a server without it, plain PASV like ours.
        local setup="set ftp:ssl-allow no; set ftp:prefer-epsv no; set ftp:passive-mode on; set net:max-retries 1"
        CMD=(lftp -u "$ACCOUNT,$ACCOUNT_PASSWORD" -e "$setup; set cmd:fail-exit yes; mirror -R $WORK/src up-lftp; quit"
             "ftp://127.0.0.1:$PORT") ;;
    esac
}

check_same() {
    diff -r "$WORK/src" "$WORK/root/up-$1" > /dev/null || die "$1: the uploaded tree differs from the source"
}

# measure CLIENT RUN: one timed run; appends "client run seconds cpu_s".
measure() {
    local client=$1 run=$2
    rm -rf "$WORK/root/up-$client"
    client_cmd "$client"
    local start=$EPOCHREALTIME end
    if ! /usr/bin/time -f "%U %S" -o "$WORK/time.out" "${CMD[@]}" > "$WORK/run.log" 2>&1; then
        cat "$WORK/run.log" >&2
        die "$client failed"
    fi
    end=$EPOCHREALTIME
    check_same "$client"
    read -r user sys < "$WORK/time.out"
    awk -v c="$client" -v r="$run" -v a="$start" -v b="$end" -v u="$user" -v s="$sys" \
        'BEGIN { printf "%s %d %.4f %.2f\n", c, r, b - a, u + s }' >> "$WORK/results"
}

echo "Load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
# A first untimed run of each warms the server and the page cache.
measure tolvane 0
measure lftp 0
: > "$WORK/results"
for run in $(seq "$RUNS"); do
    echo "Run $run of $RUNS..."
    measure tolvane "$run"
    measure lftp "$run"
done
echo "Load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "$FILES files of $SIZE_KB KiB up over loopback to $SERVER, passive mode, files in $BENCH_TMP, $RUNS paired runs"
printf "%-8s %4s %10s %8s\n" "client" "run" "seconds" "CPU s"
awk '{ printf "%-8s %4d %10.3f %8.2f\n", $1, $2, $3, $4 }' "$WORK/results"
awk -v runs="$RUNS" '
function median(v, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
{ t[$1, $2] = $3 }
END {
    for (r = 1; r <= runs; r++) { a[r] = t["tolvane", r]; b[r] = t["lftp", r]; q[r] = t["tolvane", r] / t["lftp", r] }
    ma = median(a, runs); mb = median(b, runs); mq = median(q, runs)
    printf "\nMedian seconds: tolvane-cli %.3f, lftp %.3f; median time ratio tolvane/lftp %.2f (target <= 1.00: %s)\n", \
        ma, mb, mq, (mq <= 1.0) ? "met" : "MISSED"
}' "$WORK/results"

# Commands per file from one traced run of each (tolvane-cli -v; lftp -d).
echo
rm -rf "$WORK/root/up-tolvane"
client_cmd tolvane
"${CMD[@]:0:3}" -v "${CMD[@]:3}" > /dev/null 2> "$WORK/trace-tolvane" || die "traced tolvane-cli run failed"
rm -rf "$WORK/root/up-lftp"
client_cmd lftp
"${CMD[0]}" -d "${CMD[@]:1}" > "$WORK/trace-lftp" 2>&1 || die "traced lftp run failed"
for c in tolvane lftp; do
    pattern='^> '
    [ "$c" = lftp ] && pattern='^---> '
    awk -v c="$c" -v p="$pattern" -v n="$FILES" '
        $0 ~ p { sub(p, ""); w = $1; cnt[w]++; total++ }
        END {
            line = ""
            for (w in cnt) line = line sprintf(" %s %d", w, cnt[w])
            printf "%-8s %.2f commands per file:%s\n", c, total / n, line
        }' "$WORK/trace-$c"
done
