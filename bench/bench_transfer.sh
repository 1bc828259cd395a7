#!/bin/bash
# Whole-transfer benchmark: tolvane-cli against curl, uploading and
# downloading one large file over loopback to a vsftpd started here on a
# free port of 127.0.0.1, passive mode for both; then the same over FTP over
# TLS (a second vsftpd with ssl_enable, --ssl-reqd for both clients, a
# certificate made here with openssl). Prints MB/s, CPU seconds
# and peak resident memory of every run, the medians and the ratios.
#
#   bench/bench_transfer.sh BUILD_DIR
#
# Runs as root: vsftpd logs in a local system account, the same one the
# end-to-end tests use (tolvanetest, created when missing, its password set).
#
# Environment: SIZE_MB (default 1024), RUNS (default 3).
# Needs vsftpd, curl, openssl, /usr/bin/time (Debian package "time") and python3.

set -euo pipefail

BUILD_DIR=${1:-}
SIZE_MB=${SIZE_MB:-1024}
RUNS=${RUNS:-3}
ACCOUNT=tolvanetest
ACCOUNT_PASSWORD=Tolvane-Test-7

die() { echo "bench_transfer: $*" >&2; exit 1; }

[ -n "$BUILD_DIR" ] || die "usage: bench/bench_transfer.sh BUILD_DIR"
CLI=$(cd "$BUILD_DIR" && pwd)/src/tools/tolvane-cli
[ -x "$CLI" ] || die "$CLI is missing: build the tolvane-cli target first"
[ "$(id -u)" = 0 ] || die "needs root (vsftpd logs in the local account $ACCOUNT)"
[ -x /usr/sbin/vsftpd ] || die "vsftpd is not installed"
command -v curl >/dev/null || die "curl is not installed"
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (Debian package: time)"
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=$(command -v python3) || die "python3 is missing"

WORK=$(mktemp -d /tmp/tolvane-bench.XXXXXX)
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
[ "$FREE_KB" -ge "$NEED_KB" ] || die "needs $((NEED_KB / 1024)) MiB free in /tmp, has $((FREE_KB / 1024)) MiB"

# The same account the end-to-end tests use; created when missing.
if ! id "$ACCOUNT" >/dev/null 2>&1; then
    useradd -M -d / -s /bin/bash "$ACCOUNT"
fi
echo "$ACCOUNT:$ACCOUNT_PASSWORD" | chpasswd
SHELL_OF=$(getent passwd "$ACCOUNT" | cut -d: -f7)
grep -qx "$SHELL_OF" /etc/shells || echo "$SHELL_OF" >> /etc/shells

# Two free control ports with 16 passive ports each (plain, then TLS).
read -r PORT PASV_MIN < <("$PYTHON" - <<'EOF'
import random, socket
def free(p):
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", p))
        return True
    except OSError:
        return False
    finally:
        s.close()
while True:
    base = random.randrange(20000, 32000)
    if all(free(p) for p in range(base, base + 34)):
        print(base, base + 1)
        break
EOF
)
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

# measure NAME COMMAND...: runs it under /usr/bin/time; appends
# "name MB/s cpu_s rss_kib" to $WORK/results.
measure() {
    local name=$1; shift
    if ! /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.out" "$@" > "$WORK/run.log" 2>&1; then
        cat "$WORK/run.log" >&2
        die "$name failed"
    fi
    read -r elapsed user sys rss < "$WORK/time.out"
    awk -v n="$name" -v b="$BYTES" -v e="$elapsed" -v u="$user" -v s="$sys" -v r="$rss" \
        'BEGIN { if (e <= 0) e = 0.01; printf "%s %.1f %.2f %d\n", n, b / e / 1e6, u + s, r }' >> "$WORK/results"
}

check_same() {
    [ "$(stat -c %s "$1")" = "$BYTES" ] && [ "$(cksum < "$1")" = "$SUM" ] || die "$2: $1 differs from the source"
}

: > "$WORK/results"
for run in $(seq "$RUNS"); do
    echo "Run $run of $RUNS..."
    measure tolvane-up env TOLVANE_PASSWORD="$ACCOUNT_PASSWORD" \
        "$CLI" --passive -u "$ACCOUNT" "127.0.0.1:$PORT" put "$SOURCE" up-tolvane.bin
    check_same "$WORK/root/up-tolvane.bin" "tolvane-cli upload"
    measure curl-up curl -sS --disable-epsv --ftp-pasv -u "$USERPASS" -T "$SOURCE" "$URL/up-curl.bin"
    check_same "$WORK/root/up-curl.bin" "curl upload"
    rm -f "$WORK/root/up-tolvane.bin" "$WORK/root/up-curl.bin"

    measure tolvane-down env TOLVANE_PASSWORD="$ACCOUNT_PASSWORD" \
        "$CLI" --passive -u "$ACCOUNT" "127.0.0.1:$PORT" get big.bin "$WORK/down-tolvane.bin"
    check_same "$WORK/down-tolvane.bin" "tolvane-cli download"
    measure curl-down curl -sS --disable-epsv --ftp-pasv -u "$USERPASS" -o "$WORK/down-curl.bin" "$URL/big.bin"
    check_same "$WORK/down-curl.bin" "curl download"
    rm -f "$WORK/down-tolvane.bin" "$WORK/down-curl.bin"

    TLS_URL="ftp://127.0.0.1:$TLS_PORT"
    measure tolvane-tlsup env TOLVANE_PASSWORD="$ACCOUNT_PASSWORD" \
        "$CLI" --passive --ssl-reqd --cacert "$WORK/cert.pem" -u "$ACCOUNT" "127.0.0.1:$TLS_PORT" \
        put "$SOURCE" up-tolvane.bin
    check_same "$WORK/root/up-tolvane.bin" "tolvane-cli TLS upload"
    measure curl-tlsup curl -sS --ssl-reqd --cacert "$WORK/cert.pem" --disable-epsv --ftp-pasv -u "$USERPASS" \
        -T "$SOURCE" "$TLS_URL/up-curl.bin"
    check_same "$WORK/root/up-curl.bin" "curl TLS upload"
    rm -f "$WORK/root/up-tolvane.bin" "$WORK/root/up-curl.bin"

    measure tolvane-tlsdown env TOLVANE_PASSWORD="$ACCOUNT_PASSWORD" \
        "$CLI" --passive --ssl-reqd --cacert "$WORK/cert.pem" -u "$ACCOUNT" "127.0.0.1:$TLS_PORT" \
        get big.bin "$WORK/down-tolvane.bin"
    check_same "$WORK/down-tolvane.bin" "tolvane-cli TLS download"
    measure curl-tlsdown curl -sS --ssl-reqd --cacert "$WORK/cert.pem" --disable-epsv --ftp-pasv \
        -u "$USERPASS" -o "$WORK/down-curl.bin" "$TLS_URL/big.bin"
    check_same "$WORK/down-curl.bin" "curl TLS download"
    rm -f "$WORK/down-tolvane.bin" "$WORK/down-curl.bin"
done

echo
echo "File: $BYTES bytes over loopback, vsftpd, passive mode, $RUNS runs each (tls*: FTP over TLS)"
printf "%-14s %10s %10s %12s\n" "run" "MB/s" "CPU s" "peak RSS MiB"
awk '{ printf "%-14s %10.1f %10.2f %12.1f\n", $1, $2, $3, $4 / 1024 }' "$WORK/results"
echo
echo "Medians and ratios (tolvane-cli / curl):"
awk -v runs="$RUNS" '
function median(key, field,   n, i, j, t, v) {
    n = 0
    for (i = 1; i <= count; i++) if (name[i] == key) v[++n] = val[i, field]
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n ? v[int((n + 1) / 2)] : 0
}
{ count++; name[count] = $1; val[count, 2] = $2; val[count, 3] = $3; val[count, 4] = $4 }
END {
    split("up down tlsup tlsdown", dirs, " ")
    for (d = 1; d <= 4; d++) {
        dir = dirs[d]
        tm = median("tolvane-" dir, 2); cm = median("curl-" dir, 2)
        tc = median("tolvane-" dir, 3); cc = median("curl-" dir, 3)
        tr = median("tolvane-" dir, 4); cr = median("curl-" dir, 4)
        printf "%-9s tolvane-cli %8.1f MB/s %6.2f CPU s %7.1f MiB | curl %8.1f MB/s %6.2f CPU s %7.1f MiB\n", \
            dir "load", tm, tc, tr / 1024, cm, cc, cr / 1024
        printf "          throughput ratio %.2f (target >= 0.80: %s), CPU ratio %.2f, RSS %.1f MiB (target < 64: %s)\n", \
            cm ? tm / cm : 0, (cm && tm / cm >= 0.8) ? "met" : "MISSED", cc ? tc / cc : 0, tr / 1024, \
            (tr / 1024 < 64) ? "met" : "MISSED"
    }
}' "$WORK/results"
