#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it: contents,
# control data and maintainer scripts, a DESTDIR install, the systemd unit,
# the alert rules (checked and unit-tested) and the dashboard's queries. Where
# the machine allows (root, dpkg), it also installs the package, runs the
# daemon as the pelliro user from /var/lib/pelliro, upgrades to a rebuilt
# package, removes and purges it. What the machine cannot do is skipped with
# a message. Usage: packaging/check_package.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "check_package: FAIL: $*" >&2; exit 1; }
skip() { echo "check_package: skipped: $*"; }
say() { echo "check_package: $*"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

say "building the package"
(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/pelliro_"$version"_*.deb)

say "inspecting $(basename "$deb")"
info=$(dpkg-deb -I "$deb")
for field in "Package: pelliro" "Version: $version" "Section: net"; do
  grep -q "^ $field\$" <<<"$info" || fail "control lacks '$field'"
done
depends=$(dpkg-deb -f "$deb" Depends)
for dep in adduser libc6 libcurl4 libssl3 libstdc++6; do
  grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
[ -n "$(dpkg-deb -f "$deb" Description | sed -n 2p)" ] || fail "no long description"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "maintainer script $script missing"
  sh -n "$work/control/$script" || fail "$script is not valid sh"
done
expected=(
  ./usr/bin/pelliro ./usr/bin/pelliro-smsc ./usr/bin/pelliro-load
  ./usr/lib/systemd/system/pelliro.service
  ./usr/share/pelliro/pelliro.conf ./usr/share/pelliro/pelliro-alerts.yml
  ./usr/share/pelliro/grafana-dashboard.json ./usr/share/doc/pelliro/README.md
)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in "${expected[@]}"; do
  grep -qx "$f" <<<"$contents" || fail "package lacks $f"
done

say "DESTDIR install"
DESTDIR="$work/root" cmake --install "$build" >/dev/null
for f in "${expected[@]}"; do
  [ -e "$work/root/${f#./}" ] || fail "DESTDIR install lacks $f"
done
unit="$work/root/usr/lib/systemd/system/pelliro.service"
grep -q '^Type=notify$' "$unit" || fail "unit is not Type=notify"

if command -v systemd-analyze >/dev/null; then
  say "systemd-analyze verify"
  # verify wants the executable where the unit says; point it into DESTDIR.
  mkdir "$work/unit"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$work/root/usr/bin/|" "$unit" >"$work/unit/pelliro.service"
  out=$(systemd-analyze verify --man=no "$work/unit/pelliro.service" 2>&1) ||
    fail "systemd-analyze verify: $out"
  if grep -i 'pelliro' <<<"$out"; then fail "systemd-analyze verify warns about the unit"; fi
  say "$(systemd-analyze security --offline=yes "$work/unit/pelliro.service" 2>/dev/null | tail -1 ||
    echo 'no offline security analysis')"
else
  skip "systemd-analyze not installed"
fi

if command -v promtool >/dev/null; then
  say "promtool check and test rules"
  promtool check rules packaging/pelliro-alerts.yml >/dev/null || fail "alert rules do not check"
  (cd packaging && promtool test rules pelliro-alerts.test.yml) >/dev/null ||
    fail "alert rule tests fail"
  # The dashboard's queries, with Grafana's variables filled in, must parse.
  python3 - "$src/packaging/grafana-dashboard.json" "$work/panels.yml" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
exprs = [t["expr"] for p in d["panels"] for t in p.get("targets", [])]
with open(sys.argv[2], "w") as out:
    out.write("groups:\n  - name: panels\n    rules:\n")
    for i, e in enumerate(exprs):
        e = e.replace("$__rate_interval", "5m").replace("$job", ".*")
        out.write(f"      - record: panel:{i}\n        expr: {json.dumps(e)}\n")
PY
  promtool check rules "$work/panels.yml" >/dev/null || fail "a dashboard query does not parse"
else
  skip "promtool not installed (apt-get install prometheus)"
fi

if [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null; then
  skip "install round trip needs root and dpkg"
  say "passed"
  exit 0
fi
if [ -n "${PELLIRO_NO_INSTALL:-}" ]; then
  skip "install round trip (PELLIRO_NO_INSTALL is set)"
  say "passed"
  exit 0
fi

state=/var/lib/pelliro
say "dpkg -i"
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" </dev/null >/dev/null || fail "dpkg -i"
getent passwd pelliro >/dev/null || fail "no pelliro user"
[ "$(stat -c %U:%G "$state")" = pelliro:pelliro ] || fail "$state not owned by pelliro"
cmp -s "$state/pelliro.conf" /usr/share/pelliro/pelliro.conf || fail "pelliro.conf not seeded"

say "running the daemon as pelliro in $state"
read -r smpp_port http_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
python3 - "$state/pelliro.conf" "$smpp_port" "$http_port" <<'PY'
import json, sys
path, smpp, http = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
c = json.load(open(path))
c["base"]["smpp.port"], c["base"]["http.port"] = smpp, http
c["base"]["_check_package"] = "kept"
json.dump(c, open(path, "w"), indent=2)
PY
# setpriv execs the daemon itself, so the signal below reaches it.
(cd "$state" && exec setpriv --reuid=pelliro --regid=pelliro --init-groups /usr/bin/pelliro) \
  >"$work/daemon.out" 2>&1 &
daemon=$!
metrics=""
for _ in $(seq 50); do
  metrics=$(curl -s -m 2 "http://127.0.0.1:$http_port/metrics" || true)
  [ -n "$metrics" ] && break
  sleep 0.2
done
kill -TERM "$daemon"
wait "$daemon" || fail "daemon exited with $? after SIGTERM: $(cat "$work/daemon.out")"
grep -q '^pelliro_downstreamSMPPSessions ' <<<"$metrics" || fail "no metrics from the installed daemon"
grep -q '^process_resident_memory_bytes ' <<<"$metrics" || fail "no process metrics"
[ "$(stat -c %U "$state/application.log")" = pelliro ] || fail "log not written as pelliro"

say "upgrade to a rebuilt package"
(cd "$build" && cpack -G DEB -B "$work/pkg2" -D CPACK_PACKAGE_VERSION="$version+1" >/dev/null)
deb2=$(ls "$work"/pkg2/pelliro_"$version"+1_*.deb)
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb2" </dev/null >/dev/null || fail "upgrade"
[ "$(dpkg-query -W -f '${Version}' pelliro)" = "$version+1" ] || fail "upgrade did not take"
grep -q '_check_package' "$state/pelliro.conf" || fail "upgrade overwrote pelliro.conf"

say "remove keeps the state and the user"
dpkg -r pelliro >/dev/null || fail "dpkg -r"
[ ! -e /usr/bin/pelliro ] || fail "remove left /usr/bin/pelliro"
[ -f "$state/pelliro.conf" ] || fail "remove deleted the state"
getent passwd pelliro >/dev/null || fail "remove deleted the user"

say "purge removes them"
dpkg -P pelliro >/dev/null || fail "dpkg -P"
[ ! -e "$state" ] || fail "purge left $state"
! getent passwd pelliro >/dev/null || fail "purge left the user"
! getent group pelliro >/dev/null || fail "purge left the group"

if [ -d /run/systemd/system ]; then
  say "systemd runs here: exposure score of the unit"
  DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" </dev/null >/dev/null
  systemd-analyze security pelliro.service | tail -1
  dpkg -P pelliro >/dev/null
else
  skip "systemctl start/status (systemd is not running on this machine)"
fi
say "passed"
