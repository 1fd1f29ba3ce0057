#!/usr/bin/env bash
# Full-cycle benchmark: the same load (submit, submit_sm_resp, receipt,
# deliver_sm_resp) three ways on this machine, in one run, so the ratios
# between them hold even on a noisy shared host:
#   direct   pelliro-load -> pelliro-smsc
#   haproxy  pelliro-load -> HAProxy (TCP mode, one thread) -> pelliro-smsc
#   pelliro  pelliro-load -> the gateway (one customer, a target set of
#            upstream transceiver binds, CDRs in CORRELATE mode to a file)
#            -> pelliro-smsc
# Each way runs --runs times (min / median / max of full-cycle messages per
# second), then once at a fixed rate for latency. Every run must pass the load
# generator's checks (each submit answered once, each accepted message one
# receipt); the script fails otherwise.
#
# usage: bench/full_cycle.sh [--build DIR] [--count N] [--runs R] [--binds B]
#          [--window W] [--upstream U] [--rate R] [--rate-count N]
#          [--reset-every N] [--only direct|haproxy|pelliro] [--keep]
#          [--scaling] [--soak SECONDS] [--tiny]
#   --reset-every N  the simulator resets 2 upstream binds every N submits
#                    (the gateway run only; the checks still apply)
#   --scaling        throughput through the gateway with 1/10/100 customer
#                    binds and 1/8/64 upstream binds instead of the table
#   --soak SECONDS   the gateway at 5,000/s for that long, printing its
#                    resident memory every 10 s, and growth after the first
#                    minute
#   --tiny           a few thousand messages, one run each: keeps the script
#                    working in CI
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
count=300000
runs=3
binds=10
window=50
upstream=8
rate=10000
rate_count=100000
reset_every=0
only=""
keep=0
scaling=0
soak=0

while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd); shift ;;
    --count) count=$2; shift ;;
    --runs) runs=$2; shift ;;
    --binds) binds=$2; shift ;;
    --window) window=$2; shift ;;
    --upstream) upstream=$2; shift ;;
    --rate) rate=$2; shift ;;
    --rate-count) rate_count=$2; shift ;;
    --reset-every) reset_every=$2; shift ;;
    --only) only=$2; shift ;;
    --keep) keep=1 ;;
    --scaling) scaling=1 ;;
    --soak) soak=$2; shift ;;
    --tiny) count=3000; runs=1; rate=2000; rate_count=2000 ;;
    *) echo "unknown option $1" >&2; exit 64 ;;
  esac
  shift
done

for exe in pelliro pelliro-smsc pelliro-load; do
  [ -x "$build/$exe" ] || { echo "missing $build/$exe (build it first)" >&2; exit 1; }
done
if [ -z "$only" ] || [ "$only" = haproxy ]; then
  command -v haproxy >/dev/null || { echo "haproxy is not installed (apt-get install haproxy)" >&2; exit 1; }
fi

work=$(mktemp -d /tmp/pelliro-full-cycle.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# A loopback port nobody listens on now, below the kernel's range for the
# local ends of outgoing connections: thousands of those come and go during
# a run, and one of them would keep the port from being listened on.
free_port() {
  local p low
  low=$(awk '{print $1}' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  for _ in $(seq 200); do
    p=$((10000 + RANDOM % (low - 10000)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
  echo "no free port" >&2; exit 1
}

wait_for_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on $1" >&2; return 1
}

# Starts the simulator; sets smsc_port. Extra arguments go to it.
start_smsc() {
  "$build/pelliro-smsc" --port 0 "$@" >"$work/smsc.out" 2>&1 &
  pids+=($!)
  smsc_pid=$!
  for _ in $(seq 200); do
    smsc_port=$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$work/smsc.out")
    [ -n "$smsc_port" ] && return 0
    sleep 0.05
  done
  echo "the simulator did not start" >&2; cat "$work/smsc.out" >&2; exit 1
}

stop_pid() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

start_haproxy() {
  haproxy_port=$(free_port)
  cat >"$work/haproxy.cfg" <<EOF
global
  nbthread 1
  maxconn 4096
defaults
  mode tcp
  timeout connect 5s
  timeout client 60s
  timeout server 60s
frontend smpp
  bind 127.0.0.1:$haproxy_port
  default_backend smsc
backend smsc
  server s1 127.0.0.1:$smsc_port
EOF
  haproxy -f "$work/haproxy.cfg" -db >"$work/haproxy.out" 2>&1 &
  pids+=($!)
  haproxy_pid=$!
  wait_for_port "$haproxy_port"
}

# Starts the gateway with U upstream binds to the simulator; sets
# gateway_port. Waits until every upstream bind is bound.
start_gateway() {
  local u=$1
  local dir=$work/gateway
  rm -rf "$dir"; mkdir -p "$dir"
  gateway_port=$(free_port)
  local http_port; http_port=$(free_port)
  gateway_http=$http_port
  cat >"$dir/pelliro.conf" <<EOF
{
  "base": {"smpp.port": $gateway_port, "http.port": $http_port, "log.level": "WARNING",
           "auth.client_id": "bench", "auth.client_secret": "bench-secret",
           "smpp.max_connections_per_ip": 1000, "smpp.max_connections": 2000},
  "cdr": {"mode": "correlate", "directory": "cdrs/", "batch_size": 1000,
          "batch_flush_interval": 5},
  "esme": [{"systemid": "load", "password": "load", "sharedtargetsetid": "bench",
            "tpslimit": 65535}],
  "targetsets": [{"id": "bench", "name": "bench", "submits_enabled": true,
                  "targets": [{"name": "sim", "host": "127.0.0.1", "port": $smsc_port,
                               "bindqty": $u, "systemid": "gw", "password": "gw",
                               "systemtype": "", "weight": 1, "admindown": false,
                               "tpslimit": 65535}]}],
  "routes-mo": [], "routes-mt": []
}
EOF
  # The load generator opens its binds from one address run after run: the
  # gateway would take that for a connection flood.
  echo 127.0.0.1 >"$dir/ipwhitelist.conf"
  (cd "$dir" && exec "$build/pelliro" >"$dir/out.log" 2>&1) &
  pids+=($!)
  gateway_pid=$!
  # Readiness from "/status": a probe of the SMPP port that never binds
  # would get the address blocked by the gateway's admission rules.
  for _ in $(seq 600); do
    local bound
    bound=$(curl -s "http://127.0.0.1:$http_port/status" | grep -o '"bindTRX": *[0-9]*' | grep -o '[0-9]*$' || true)
    [ "${bound:-0}" -ge "$u" ] && return 0
    sleep 0.05
  done
  echo "the gateway did not bind $u upstream binds" >&2; tail -20 "$dir/out.log" >&2; exit 1
}

# Runs the load against a port; prints its RESULT line. Extra arguments go
# to the load generator.
load() {
  local port=$1; shift
  local out
  if ! out=$("$build/pelliro-load" --port "$port" --quiet "$@" 2>&1); then
    echo "load run failed on port $port:" >&2; echo "$out" >&2
    touch "$work/failed"; exit 1
  fi
  grep '^RESULT' <<<"$out"
}

field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<"$2"; }

# min median max of the numbers given.
spread() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {printf "%d %d %d", v[1], v[int((NR+1)/2)], v[NR]}'; }

# Throughput runs of one way: prints "min median max".
throughput() {
  local port=$1; shift
  local rates=()
  for _ in $(seq "$runs"); do
    local r; r=$(load "$port" --binds "$binds" --window "$window" --count "$count" "$@")
    rates+=("$(field msg_per_s "$r")")
    echo "  $r" >&2
  done
  spread "${rates[@]}"
}

# One run at a fixed rate: prints "p50 p99 max" in microseconds.
latency() {
  local port=$1; shift
  local r; r=$(load "$port" --binds "$binds" --window "$window" --count "$rate_count" --rate "$rate" "$@")
  echo "  $r" >&2
  echo "$(field p50_us "$r") $(field p99_us "$r") $(field max_us "$r")"
}

# User + system CPU time of a process so far, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

want() { [ -z "$only" ] || [ "$only" = "$1" ]; }
# The runs happen in command substitutions, whose exit cannot end the script.
check() { [ ! -e "$work/failed" ] || exit 1; }

if [ "$soak" -gt 0 ]; then
  start_smsc
  start_gateway "$upstream"
  "$build/pelliro-load" --port "$gateway_port" --binds "$binds" --window "$window" \
    --duration "$soak" --rate 5000 --quiet >"$work/soak.out" 2>&1 &
  load_pid=$!
  first=""
  elapsed=0
  while kill -0 "$load_pid" 2>/dev/null; do
    sleep 10; elapsed=$((elapsed + 10))
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$gateway_pid/status")
    echo "t=${elapsed}s rss_kb=$rss"
    [ "$elapsed" -eq 60 ] && first=$rss
    last=$rss
  done
  wait "$load_pid" || { echo "soak load failed:" >&2; cat "$work/soak.out" >&2; exit 1; }
  grep '^RESULT' "$work/soak.out"
  [ -n "$first" ] && awk -v a="$first" -v b="$last" \
    'BEGIN {printf "resident memory after 1 min %d kB, at the end %d kB: growth %.1f %%\n", a, b, (b-a)*100/a}'
  exit 0
fi

if [ "$scaling" = 1 ]; then
  start_smsc
  printf '%-28s %12s %10s\n' "gateway run" "msg/s (median)" "refused"
  for u in 1 8 64; do
    start_gateway "$u"
    for b in 1 10 100; do
      w=$(( b == 100 ? 5 : window ))
      rates=()
      for _ in $(seq "$runs"); do
        r=$(load "$gateway_port" --binds "$b" --window "$w" --count "$count")
        check
        # Only accepted submits make a full cycle: one upstream bind has a
        # per-second budget, and refusals are quick.
        rates+=("$(awk -v a="$(field accepted "$r")" -v t="$(field elapsed_s "$r")" 'BEGIN {printf "%d", a / t}')")
        refused=$(field rejected "$r")
      done
      read -r _ med _ <<<"$(spread "${rates[@]}")"
      printf '%-28s %12s %10s\n' "$b customer x$w, $u upstream" "$med" "$refused"
    done
    stop_pid "$gateway_pid"
  done
  exit 0
fi

declare -A tp lat
if want direct; then
  start_smsc
  echo "direct:" >&2
  tp[direct]=$(throughput "$smsc_port")
  lat[direct]=$(latency "$smsc_port")
  check
  stop_pid "$smsc_pid"
fi
if want haproxy; then
  start_smsc
  start_haproxy
  echo "haproxy:" >&2
  tp[haproxy]=$(throughput "$haproxy_port")
  lat[haproxy]=$(latency "$haproxy_port")
  check
  stop_pid "$haproxy_pid"; stop_pid "$smsc_pid"
fi
if want pelliro; then
  if [ "$reset_every" -gt 0 ]; then
    start_smsc --reset-every "$reset_every" --reset-binds 2
  else
    start_smsc
  fi
  start_gateway "$upstream"
  echo "pelliro:" >&2
  cpu_before=$(cpu_ticks "$gateway_pid")
  tp[pelliro]=$(throughput "$gateway_port")
  cpu_after=$(cpu_ticks "$gateway_pid")
  lat[pelliro]=$(latency "$gateway_port")
  check
  stop_pid "$gateway_pid"; stop_pid "$smsc_pid"
  cdr_rows=$(cat "$work/gateway/cdrs/"cdrs-*.csv 2>/dev/null | grep -vc '^messageId,' || true)
  cdr_unanswered=$(cat "$work/gateway/cdrs/"cdrs-*.csv 2>/dev/null | grep -c '^,' || true)
fi

echo
echo "full cycle, $binds customer binds x window $window, $count messages, $runs runs; latency at $rate/s"
printf '%-8s %10s %10s %10s %8s %9s %9s %9s\n' way min median max ratio p50_us p99_us max_us
base_med=""
read -r _ base_med _ <<<"${tp[haproxy]:-0 0 0}"
for way in direct haproxy pelliro; do
  [ -n "${tp[$way]:-}" ] || continue
  read -r mn md mx <<<"${tp[$way]}"
  read -r p50 p99 pmax <<<"${lat[$way]}"
  ratio="-"
  [ "${base_med:-0}" -gt 0 ] && ratio=$(awk -v a="$md" -v b="$base_med" 'BEGIN {printf "%.2f", a/b}')
  printf '%-8s %10s %10s %10s %8s %9s %9s %9s\n' "$way" "$mn" "$md" "$mx" "$ratio" "$p50" "$p99" "$pmax"
done
# CPU per message holds better than throughput on a machine others share.
[ -n "${cpu_after:-}" ] && awk -v t="$((cpu_after - cpu_before))" -v hz="$(getconf CLK_TCK)" \
  -v n="$((count * runs))" 'BEGIN {printf "gateway CPU per full-cycle message: %.2f us\n", t * 1e6 / hz / n}'
[ -n "${cdr_rows:-}" ] &&
  echo "CDR rows written by the gateway: $cdr_rows (without a message id: $cdr_unanswered)"
if [ -n "${lat[direct]:-}" ] && [ -n "${lat[pelliro]:-}" ]; then
  read -r _ d99 _ <<<"${lat[direct]}"
  read -r _ g99 _ <<<"${lat[pelliro]}"
  awk -v a="$g99" -v b="$d99" 'BEGIN {printf "p99 added by the gateway at the fixed rate: %.3f ms\n", (a-b)/1000}'
fi
