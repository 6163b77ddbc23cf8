#!/usr/bin/env bash
# ferrowyn against OpenLDAP's slapd, side by side, on the same generated
# directory (what `make bench` runs; see bench/README.md).
#
# Environment:
#   N            people in the directory (default 100000)
#   DURATION     seconds per run (default 5)
#   CONCURRENCY  worker counts to run every mode with (default "1 4")
#   MODES        ldapbench modes, in order (default "eq bind sub conn scan mod");
#                mod writes, so it goes last: ferrowyn's later searches read
#                every journal entry it leaves. After mod, eq runs once more
#                at the first concurrency (row "eq+") to show that cost.
#   REPEAT       runs per cell; the one with the median ops/s is shown (default 1)
#   BIN          directory of ferrowyn, ldifimport and ldapbench (default build/bin)
#   KEEP         1 to keep the temporary directory (its path is printed)
#
# Everything happens in a temporary directory on 127.0.0.1 and high ports;
# both servers are stopped and the directory removed on every exit.
set -euo pipefail

N=${N:-100000}
DURATION=${DURATION:-5}
CONCURRENCY=${CONCURRENCY:-"1 4"}
MODES=${MODES:-"eq bind sub conn scan mod"}
REPEAT=${REPEAT:-1}
BIN=${BIN:-build/bin}
KEEP=${KEEP:-0}

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prog=run_bench.sh
die() {
  echo "$prog: $*" >&2
  exit 1
}
note() { echo "$prog: $*" >&2; }

case $N in '' | *[!0-9]* | 0) die "N must be a positive number" ;; esac
case $REPEAT in '' | *[!0-9]* | 0) die "REPEAT must be a positive number" ;; esac
for p in ferrowyn ldifimport ldapbench; do
  [ -x "$BIN/$p" ] || die "$BIN/$p missing: build it first (ninja ferrowyn ldifimport ldapbench)"
done
BIN=$(cd "$BIN" && pwd)
command -v python3 >/dev/null || die "python3 is needed for bench/gen_ldif.py"

bash "$here/slapd.sh" install

work=$(mktemp -d "${TMPDIR:-/tmp}/ferrowyn-bench.XXXXXX")
fdir=$work/ferrowyn
sdir=$work/slapd
mkdir -p "$fdir" "$sdir"
ferrowyn_pid=

# Stops ferrowyn: it runs in a session of its own, so its process group is
# the listening parent and the children that serve connections.
stop_ferrowyn() {
  [ -n "$ferrowyn_pid" ] || return 0
  local state
  kill -TERM -- "-$ferrowyn_pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    # A child of this shell stays a zombie until it is waited for.
    state=$(awk '{ print $3 }' "/proc/$ferrowyn_pid/stat" 2>/dev/null || true)
    if [ -z "$state" ] || [ "$state" = Z ]; then break; fi
    sleep 0.05
  done
  kill -KILL -- "-$ferrowyn_pid" 2>/dev/null || true
  wait "$ferrowyn_pid" 2>/dev/null || true
  ferrowyn_pid=
}

cleanup() {
  local rc=$?
  set +e
  stop_ferrowyn
  bash "$here/slapd.sh" stop "$sdir" 2>/dev/null
  if [ "$KEEP" = 1 ]; then
    note "kept $work"
  else
    rm -rf "$work"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# seconds between two $EPOCHREALTIME values
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# KiB that a path takes on disk (blocks really allocated: mdb's data file
# is sparse up to its maximum size).
disk_kib() { du -sk "$@" | awk '{ s += $1 } END { print s }'; }

vmrss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

# ---- Data ----------------------------------------------------------------------
note "generating $N people"
python3 "$here/gen_ldif.py" -n "$N" --cn-form numbered --admin-password admin \
  --keys "$work/keys.txt" -o "$work/people.ldif"
entries=$(grep -c '^dn:' "$work/people.ldif")

cat >"$work/bench.acl" <<'EOF'
# The administrator may change everything; everyone else reads everything.
(dn=cn=admin,dc=example,dc=com)  *  *  +rwad
*                                *  *  +r
EOF

note "ldifimport"
t0=$EPOCHREALTIME
"$BIN/ldifimport" -a "$work/bench.acl" -i uid -i cn -i sn -h mail -i employeeNumber \
  "$fdir/data" "$work/people.ldif" >"$work/ldifimport.log"
t1=$EPOCHREALTIME
import_f=$(elapsed "$t0" "$t1")

note "slapadd -q"
import_s=$(bash "$here/slapd.sh" setup "$sdir" "$work/people.ldif" | sed -n 's/^slapadd_seconds=//p')
[ -n "$import_s" ] || die "slapd.sh setup printed no time"

size_f0=$(disk_kib "$fdir/data")
size_s0=$(disk_kib "$sdir/db")

# ---- Servers -------------------------------------------------------------------
fport=$(free_port)
sport=$(free_port)
while [ "$sport" = "$fport" ]; do sport=$(free_port); done

# Each start is timed from launching the server to its first answered
# search; the result goes to ready_f or ready_s.
start_ferrowyn() {
  note "starting ferrowyn on 127.0.0.1:$fport"
  local t0 t1
  t0=$EPOCHREALTIME
  (cd "$fdir" && PORT=$fport IP=127.0.0.1 exec setsid "$BIN/ferrowyn" "$fdir/data" \
    >>"$fdir/server.log" 2>&1) &
  ferrowyn_pid=$!
  "$BIN/ldapbench" -p "$fport" -m ready -N "$N" -t 60 >/dev/null ||
    die "ferrowyn did not answer within 60 seconds (see $fdir/server.log)"
  t1=$EPOCHREALTIME
  ready_f=$(elapsed "$t0" "$t1")
  [ "$(ps -o pgid= -p "$ferrowyn_pid" | tr -d ' ')" = "$ferrowyn_pid" ] ||
    die "ferrowyn is not the leader of its process group"
}

start_slapd() {
  note "starting slapd on 127.0.0.1:$sport"
  local t0 t1 starter ready_ok=1
  # The client polls while slapd.sh waits for the pid file, as it polls
  # while ferrowyn starts.
  t0=$EPOCHREALTIME
  bash "$here/slapd.sh" start "$sdir" "$sport" >"$work/slapd.pid.out" &
  starter=$!
  "$BIN/ldapbench" -p "$sport" -m ready -N "$N" -t 60 >/dev/null || ready_ok=0
  t1=$EPOCHREALTIME
  wait "$starter" || die "slapd did not start"
  slapd_pid=$(cat "$work/slapd.pid.out")
  [ "$ready_ok" = 1 ] || die "slapd did not answer within 60 seconds"
  ready_s=$(elapsed "$t0" "$t1")
}

start_ferrowyn
start_f=$ready_f
start_slapd
start_s=$ready_s

# ---- Runs ------------------------------------------------------------------------
results=$work/results.txt
: >"$results"

# one_run SERVER PORT MODE CONC: appends "SERVER MODE CONC <ldapbench line>"
one_run() {
  local server=$1 port=$2 mode=$3 conc=$4 label=${5:-$3} runs=() line i
  for i in $(seq 1 "$REPEAT"); do
    line=$("$BIN/ldapbench" -p "$port" -m "$mode" -c "$conc" -t "$DURATION" -N "$N" \
      -k "$work/keys.txt" -s "$i" 2>&1 | grep '^ldapbench ' || true)
    [ -n "$line" ] || line="ldapbench mode=$mode conc=$conc ops=0 errors=1 ops_per_sec=0 p99_us=0"
    note "$server $line"
    runs+=("$line")
  done
  # The run with the median ops/s.
  line=$(printf '%s\n' "${runs[@]}" |
    awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^ops_per_sec=/) { split($i, a, "="); print a[2], $0 } }' |
    sort -n | awk -v m=$(((REPEAT + 1) / 2)) 'NR == m { $1 = ""; sub(/^ /, ""); print }')
  echo "$server $label $conc $line" >>"$results"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
first_conc=${CONCURRENCY%% *}
for mode in $MODES; do
  for conc in $CONCURRENCY; do
    one_run ferrowyn "$fport" "$mode" "$conc"
    one_run slapd "$sport" "$mode" "$conc"
  done
  if [ "$mode" = mod ]; then
    one_run ferrowyn "$fport" eq "$first_conc" eq+
    one_run slapd "$sport" eq "$first_conc" eq+
  fi
done

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
rss_f=$(vmrss_kib "$ferrowyn_pid")
rss_s=$(vmrss_kib "$slapd_pid")
journal=()
[ -e "$fdir/journal" ] && journal=("$fdir/journal")
size_f1=$(disk_kib "$fdir/data" "${journal[@]}")
size_s1=$(disk_kib "$sdir/db")

# Starting again after the runs: ferrowyn now reads the journal they left.
stop_ferrowyn
start_ferrowyn
bash "$here/slapd.sh" stop "$sdir"
start_slapd

# ---- Table -------------------------------------------------------------------------
field() { # field NAME LINE...
  local name=$1
  shift
  awk -v n="$name" '{ for (i = 1; i <= NF; i++) if (index($i, n "=") == 1) { print substr($i, length(n) + 2); exit } }' <<<"$*"
}

echo
echo "ferrowyn against slapd $(bash "$here/slapd.sh" version | sed 's/^slapd //'), $N people, ${DURATION}s per run, $(nproc) cores"
printf '%-5s %4s %12s %12s %7s %10s %10s %8s %8s\n' mode conc "ferrowyn/s" "slapd/s" ratio \
  "f p99 us" "s p99 us" "f errs" "s errs"
while read -r server label conc line; do
  [ "$server" = ferrowyn ] || continue
  sline=$(awk -v l="$label" -v c="$conc" '$1 == "slapd" && $2 == l && $3 == c' "$results" |
    head -1 | cut -d' ' -f4-)
  fo=$(field ops_per_sec "$line")
  so=$(field ops_per_sec "$sline")
  ratio=$(awk -v a="$fo" -v b="$so" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  printf '%-5s %4s %12.0f %12.0f %7s %10s %10s %8s %8s\n' "$label" "$conc" "$fo" "${so:-0}" "$ratio" \
    "$(field p99_us "$line")" "$(field p99_us "$sline")" "$(field errors "$line")" \
    "$(field errors "$sline")"
done <"$results"
echo
rate() { awk -v e="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", e / s; else print "-" }'; }
printf '%-34s %14s %14s\n' "" ferrowyn slapd
printf '%-34s %14s %14s\n' "import entries/s ($entries entries)" "$(rate "$entries" "$import_f")" \
  "$(rate "$entries" "$import_s")"
printf '%-34s %14s %14s\n' "import seconds" "$import_f" "$import_s"
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
printf '%-34s %14s %14s\n' "start to first answer, ms" "$(ms "$start_f")" "$(ms "$start_s")"
printf '%-34s %14s %14s\n' "the same after the runs, ms" "$(ms "$ready_f")" "$(ms "$ready_s")"
printf '%-34s %14s %14s\n' "VmRSS after the runs, KiB" "$rss_f" "$rss_s"
printf '%-34s %14s %14s\n' "on disk after import, KiB" "$size_f0" "$size_s0"
printf '%-34s %14s %14s\n' "on disk after the runs, KiB" "$size_f1" "$size_s1"
echo "(ferrowyn: data file, plus the journal after the runs; slapd: its mdb directory."
echo " ferrowyn's VmRSS is its listening parent's; each connection is served by a child.)"
echo "load average before the runs: $load_before; after: $load_after"
