#!/bin/bash
# Whole-transfer benchmark: tolvane-cli against curl, uploading and
# downloading one large file over loopback to a vsftpd started here on a
# free port of 127.0.0.1, passive mode for both, files on tmpfs; then the
# same over FTP over TLS (a second vsftpd with ssl_enable, --ssl-reqd for
# both clients, a certificate made here with openssl). The clients
# take turns run by run (tolvane-cli, curl, tolvane-cli, ...), so a machine
# whose speed drifts slows both alike; the ratios are taken pair by pair and
# their median printed. Prints MB/s, CPU seconds and peak resident memory of
# every run, the medians and ratios, and then, from a separate untimed run
# of each client under strace, the system calls per GiB.
#
#   bench/bench_transfer.sh BUILD_DIR
#
# Runs as root: vsftpd logs in a local system account, the same one the
# end-to-end tests use (tolvanetest, created when missing, its password set).
#
# Environment: SIZE_MB (default 1024), RUNS (default 7), BASELINE_CLI (the
# path of another tolvane-cli, e.g. one built from an older commit: it takes
# its turn after curl and is compared too), SYSCALLS (default 1; 0 skips the
# strace runs), BENCH_TMP (default /dev/shm when it is a tmpfs, else /tmp),
# DIRS (default "up down tlsup tlsdown").
# Needs vsftpd, curl, openssl, /usr/bin/time (Debian package "time"), strace
# and python3.

set -euo pipefail
. "$(dirname "$0")/bench_common.sh"
# The shell clock and awk must agree on the decimal point.
export LC_ALL=C

BUILD_DIR=${1:-}
SIZE_MB=${SIZE_MB:-1024}
RUNS=${RUNS:-7}
BASELINE_CLI=${BASELINE_CLI:-}
SYSCALLS=${SYSCALLS:-1}
DIRS=${DIRS:-up down tlsup tlsdown}
ACCOUNT=tolvanetest
ACCOUNT_PASSWORD=Tolvane-Test-7

die() { echo "bench_transfer: $*" >&2; exit 1; }

[ -n "$BUILD_DIR" ] || die "usage: bench/bench_transfer.sh BUILD_DIR"
CLI=$(cd "$BUILD_DIR" && pwd)/src/tools/tolvane-cli
[ -x "$CLI" ] || die "$CLI is missing: build the tolvane-cli target first"
[ "$(id -u)" = 0 ] || die "needs root (vsftpd logs in the local account $ACCOUNT)"
[ -x /usr/sbin/vsftpd ] || die "vsftpd is not installed"
command -v curl >/dev/null || die "curl is not installed"
command -v openssl >/dev/null || die "openssl is not installed"
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (Debian package: time)"
[ "$SYSCALLS" = 0 ] || command -v strace >/dev/null || die "strace is not installed (or set SYSCALLS=0)"
[ -z "$BASELINE_CLI" ] || [ -x "$BASELINE_CLI" ] || die "BASELINE_CLI $BASELINE_CLI is not executable"
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=$(command -v python3) || die "python3 is missing"

if [ -z "${BENCH_TMP:-}" ]; then
    BENCH_TMP=/tmp
    [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && BENCH_TMP=/dev/shm
fi
WORK=$(mktemp -d "$BENCH_TMP/tolvane-bench.XXXXXX")
chmod 755 "$WORK"
VSFTPD_PID=
TLS_PID=
cleanup() {
    for pid in $VSFTPD_PID $TLS_PID; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

NEED_KB=$(( SIZE_MB * 1024 * 4 ))
FREE_KB=$(df -Pk "$WORK" | awk 'NR==2 {print $4}')
[ "$FREE_KB" -ge "$NEED_KB" ] || die "needs $((NEED_KB / 1024)) MiB free in $BENCH_TMP, has $((FREE_KB / 1024)) MiB"

# The same account the end-to-end tests use; created when missing.
bench_account "$ACCOUNT" "$ACCOUNT_PASSWORD"

# Two free control ports with 16 passive ports each (plain, then TLS).
read -r PORT PASV_MIN < <(bench_free_ports 34)
PASV_MAX=$((PASV_MIN + 15))
TLS_PORT=$((PORT + 17))

mkdir -p "$WORK/root" "$WORK/empty"
chown "$ACCOUNT" "$WORK/root"
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
xferlog_enable=NO
syslog_enable=NO
EOF
# The TLS server: the same, with its own ports and a certificate for
# 127.0.0.1 that both clients are told to trust.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null || die "openssl cannot make a certificate"
cat "$WORK/key.pem" "$WORK/cert.pem" > "$WORK/server.pem"
sed -e "s/^listen_port=.*/listen_port=$TLS_PORT/" -e "s/^pasv_min_port=.*/pasv_min_port=$((TLS_PORT + 1))/" \
    -e "s/^pasv_max_port=.*/pasv_max_port=$((TLS_PORT + 16))/" "$WORK/vsftpd.conf" > "$WORK/vsftpd-tls.conf"
printf '%s\n' "ssl_enable=YES" "rsa_cert_file=$WORK/server.pem" "rsa_private_key_file=$WORK/server.pem" \
    "force_local_logins_ssl=YES" "force_local_data_ssl=YES" "ssl_tlsv1=YES" "ssl_sslv2=NO" "ssl_sslv3=NO" \
    >> "$WORK/vsftpd-tls.conf"

/usr/sbin/vsftpd "$WORK/vsftpd.conf" > "$WORK/vsftpd.log" 2>&1 &
VSFTPD_PID=$!
/usr/sbin/vsftpd "$WORK/vsftpd-tls.conf" > "$WORK/vsftpd-tls.log" 2>&1 &
TLS_PID=$!
for p in "$PORT" "$TLS_PORT"; do
    for _ in $(seq 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then break; fi
        kill -0 "$VSFTPD_PID" 2>/dev/null || die "vsftpd did not start: $(cat "$WORK/vsftpd.log")"
        kill -0 "$TLS_PID" 2>/dev/null || die "vsftpd with TLS did not start: $(cat "$WORK/vsftpd-tls.log")"
        sleep 0.1
    done
done

SOURCE=$WORK/source.bin
echo "Creating a $SIZE_MB MiB file of random bytes..."
dd if=/dev/urandom of="$SOURCE" bs=1M count="$SIZE_MB" status=none
BYTES=$(stat -c %s "$SOURCE")
SUM=$(cksum < "$SOURCE")
# The server's copy that both downloads read.
cp "$SOURCE" "$WORK/root/big.bin"
chown "$ACCOUNT" "$WORK/root/big.bin"

URL="ftp://127.0.0.1:$PORT"
USERPASS="$ACCOUNT:$ACCOUNT_PASSWORD"

# The command lines of one client for one direction; $1 is the client
# (tolvane, curl or before), $2 up or down.
client_cmd() {
    local cli=$CLI
    [ "$1" = before ] && cli=$BASELINE_CLI
    local port=$PORT url=$URL tls=()
    case "$2" in
    tls*) port=$TLS_PORT; url="ftp://127.0.0.1:$TLS_PORT"; tls=(--ssl-reqd --cacert "$WORK/cert.pem") ;;
    esac
    case "$1:$2" in
    curl:up | curl:tlsup)
        CMD=(curl -sS "${tls[@]}" --disable-epsv --ftp-pasv -u "$USERPASS" -T "$SOURCE" "$url/up-curl.bin") ;;
    curl:*)
        CMD=(curl -sS "${tls[@]}" --disable-epsv --ftp-pasv -u "$USERPASS" -o "$WORK/down-curl.bin" "$url/big.bin") ;;
    *:up | *:tlsup)
        CMD=(env TOLVANE_PASSWORD="$ACCOUNT_PASSWORD" "$cli" --passive "${tls[@]}" -u "$ACCOUNT" "127.0.0.1:$port"
             put "$SOURCE" "up-$1.bin") ;;
    *)
        CMD=(env TOLVANE_PASSWORD="$ACCOUNT_PASSWORD" "$cli" --passive "${tls[@]}" -u "$ACCOUNT" "127.0.0.1:$port"
             get big.bin "$WORK/down-$1.bin") ;;
    esac
}

target_of() {
    case "$2" in
    up | tlsup) echo "$WORK/root/up-$1.bin" ;;
    *) echo "$WORK/down-$1.bin" ;;
    esac
}

check_same() {
    [ "$(stat -c %s "$1")" = "$BYTES" ] && [ "$(cksum < "$1")" = "$SUM" ] || die "$2: $1 differs from the source"
}

# measure CLIENT DIR RUN: one timed run; appends
# "client dir run MB/s cpu_s rss_kib" to $WORK/results.
measure() {
    local client=$1 dir=$2 run=$3 target
    target=$(target_of "$client" "$dir")
    rm -f "$target"
    client_cmd "$client" "$dir"
    # Wall time from the shell's microsecond clock: time's own has 10 ms
    # steps, 2 % of a fast 1 GiB run.
    local start=$EPOCHREALTIME end
    if ! /usr/bin/time -f "%U %S %M" -o "$WORK/time.out" "${CMD[@]}" > "$WORK/run.log" 2>&1; then
        cat "$WORK/run.log" >&2
        die "$client $dir failed"
    fi
    end=$EPOCHREALTIME
    check_same "$target" "$client $dir"
    rm -f "$target"
    read -r user sys rss < "$WORK/time.out"
    local elapsed
    elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
    awk -v c="$client" -v d="$dir" -v r="$run" -v b="$BYTES" -v e="$elapsed" -v u="$user" -v s="$sys" -v m="$rss" \
        'BEGIN { if (e <= 0) e = 0.01; printf "%s %s %d %.1f %.2f %d\n", c, d, r, b / e / 1e6, u + s, m }' >> "$WORK/results"
}

CLIENTS="tolvane curl"
[ -n "$BASELINE_CLI" ] && CLIENTS="tolvane curl before"

echo "Load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
# Runs spread up to five-fold when files on tmpfs had taken most of the
# memory: worth knowing when the figures look odd.
echo "Memory available: $(awk '/^MemAvailable:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
: > "$WORK/results"
for run in $(seq "$RUNS"); do
    echo "Run $run of $RUNS..."
    for dir in $DIRS; do
        for client in $CLIENTS; do
            measure "$client" "$dir" "$run"
        done
    done
done
echo "Load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "File: $BYTES bytes over loopback, vsftpd, passive mode, files in $BENCH_TMP, $RUNS runs each (tls*: FTP over TLS)"
printf "%-8s %-5s %4s %10s %8s %12s\n" "client" "dir" "run" "MB/s" "CPU s" "peak RSS MiB"
awk '{ printf "%-8s %-5s %4d %10.1f %8.2f %12.1f\n", $1, $2, $3, $4, $5, $6 / 1024 }' "$WORK/results"
echo
echo "Medians (ratios against curl: the median of the run-by-run ratios):"
awk -v clients="$CLIENTS" -v dirs="$DIRS" '
function sortv(v, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
}
function median(v, n) { sortv(v, n); return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
function med(c, d, f,   n, r, v) {
    n = 0
    for (r = 1; r <= runs; r++) if ((c, d, r, f) in val) v[++n] = val[c, d, r, f]
    return n ? median(v, n) : 0
}
function medratio(c, d, f,   n, r, v) {
    n = 0
    for (r = 1; r <= runs; r++)
        if ((c, d, r, f) in val && ("curl", d, r, f) in val && val["curl", d, r, f] > 0)
            v[++n] = val[c, d, r, f] / val["curl", d, r, f]
    return n ? median(v, n) : 0
}
{ val[$1, $2, $3, 4] = $4; val[$1, $2, $3, 5] = $5; val[$1, $2, $3, 6] = $6; if ($3 > runs) runs = $3 }
END {
    nc = split(clients, cl, " ")
    nd = split(dirs, dl, " ")
    printf "%-7s %-8s %10s %8s %9s %12s %10s\n", "dir", "client", "MB/s", "CPU s", "RSS MiB", "speed/curl", "CPU/curl"
    for (d = 1; d <= nd; d++) {
        dir = dl[d]
        for (i = 1; i <= nc; i++) {
            c = cl[i]
            printf "%-7s %-8s %10.1f %8.2f %9.1f", dir, c, med(c, dir, 4), med(c, dir, 5), med(c, dir, 6) / 1024
            if (c == "curl") printf "\n"
            else printf " %12.2f %10.2f\n", medratio(c, dir, 4), medratio(c, dir, 5)
        }
    }
    print ""
    for (d = 1; d <= nd; d++) {
        dir = dl[d]
        r = medratio("tolvane", dir, 4); m = med("tolvane", dir, 6) / 1024
        printf "%-7s tolvane-cli throughput %.2f x curl (target >= 1.00: %s), peak RSS %.1f MiB (target < 64: %s)\n", \
            dir, r, (r >= 1.0) ? "met" : "MISSED", m, (m < 64) ? "met" : "MISSED"
    }
}' "$WORK/results"

[ "$SYSCALLS" = 0 ] && exit 0
echo
echo "System calls per GiB (strace -c -f, one untimed run each; whole process: login, transfer, logout):"
printf "%-7s %-8s %12s   %s\n" "dir" "client" "calls/GiB" "largest counts"
for dir in $DIRS; do
    for client in $CLIENTS; do
        client_cmd "$client" "$dir"
        target=$(target_of "$client" "$dir")
        rm -f "$target"
        strace -c -f -o "$WORK/strace.out" "${CMD[@]}" > "$WORK/run.log" 2>&1 || { cat "$WORK/run.log" >&2; die "$client $dir under strace failed"; }
        check_same "$target" "$client $dir under strace"
        rm -f "$target"
        awk -v c="$client" -v d="$dir" -v mb="$SIZE_MB" '
            $NF == "total" { total = $4 }
            $1 ~ /^[0-9.]+$/ && $NF != "total" { calls[$NF] = $4 }
            END {
                top = ""
                for (k = 0; k < 4; k++) {
                    best = ""; bv = -1
                    for (n in calls) if (calls[n] > bv) { bv = calls[n]; best = n }
                    if (best == "") break
                    top = top sprintf("%s%s %d", top == "" ? "" : ", ", best, bv)
                    delete calls[best]
                }
                printf "%-7s %-8s %12.0f   %s\n", d, c, total * 1024 / mb, top
            }' "$WORK/strace.out"
    done
done
