# Shared by the benchmark scripts (sourced, not run): the local account
# vsftpd logs in, and a run of free ports on 127.0.0.1.

# Creates the account when missing and sets its password; vsftpd refuses
# accounts whose shell /etc/shells does not list.
bench_account() {
    local account=$1 password=$2 shell
    if ! id "$account" >/dev/null 2>&1; then
        useradd -M -d / -s /bin/bash "$account"
    fi
    echo "$account:$password" | chpasswd
    shell=$(getent passwd "$account" | cut -d: -f7)
    grep -qx "$shell" /etc/shells || echo "$shell" >> /etc/shells
}

# Prints "BASE BASE+1" for a random BASE with COUNT free ports from BASE on.
bench_free_ports() {
    "${PYTHON:-/usr/bin/python3}" - "$1" <<'PY'
import random, socket, sys
count = int(sys.argv[1])
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
    if all(free(p) for p in range(base, base + count)):
        print(base, base + 1)
        break
PY
}
