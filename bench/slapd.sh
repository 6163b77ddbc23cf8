#!/usr/bin/env bash
# A private OpenLDAP slapd for the side-by-side benchmark (run_bench.sh):
# its own configuration and mdb database in a directory of your choice,
# listening on 127.0.0.1 on a high port. The system's instance (/etc/ldap,
# the Debian service, port 389) is never used or touched.
#
#   bench/slapd.sh install            install slapd and ldap-utils if missing
#   bench/slapd.sh setup DIR LDIF     write DIR/slapd.conf, load LDIF into DIR/db
#                                     with slapadd -q; prints slapadd_seconds=S
#   bench/slapd.sh start DIR PORT     start slapd on 127.0.0.1:PORT; prints its pid
#   bench/slapd.sh stop DIR           stop it (pid file, TERM, wait, KILL)
#   bench/slapd.sh version            prints slapd's version line
#
# Environment for setup:
#   SUFFIX      the database suffix (default dc=example,dc=com)
#   ADMIN_DN    the entry that may write (default cn=admin,$SUFFIX); everyone
#               else, anonymous clients included, may read everything
#   SLAPD_SYNC  1 to let mdb sync every write to disk; by default the
#               database runs with dbnosync, since ferrowyn's journal is not
#               synced either
#
# The indexes match the ones run_bench.sh gives ldifimport: objectClass eq,
# uid eq, cn eq,sub, sn eq, mail eq, employeeNumber eq.
set -euo pipefail

PATH=$PATH:/usr/sbin:/sbin
prog=slapd.sh

die() {
  echo "$prog: $*" >&2
  exit 1
}

install_slapd() {
  if command -v slapd >/dev/null && command -v slapadd >/dev/null &&
    command -v ldapsearch >/dev/null; then
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    die "slapd and ldap-utils are not installed and only root can install them: run 'apt-get install slapd ldap-utils' as root"
  fi
  # The package would start the system's slapd on port 389; a policy-rc.d
  # that refuses every start keeps it down while the package installs.
  local policy=/usr/sbin/policy-rc.d made_policy=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    made_policy=1
  fi
  local rc=0
  {
    DEBIAN_FRONTEND=noninteractive apt-get update -q &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends slapd ldap-utils
  } >&2 || rc=$?
  if [ -n "$made_policy" ]; then rm -f "$policy"; fi
  [ "$rc" = 0 ] || die "apt-get install slapd ldap-utils failed"
}

conf_of() { echo "$1/slapd.conf"; }

setup() {
  local dir=$1 ldif=$2
  [ -r "$ldif" ] || die "cannot read $ldif"
  install_slapd
  local suffix=${SUFFIX:-dc=example,dc=com}
  local admin=${ADMIN_DN:-cn=admin,$suffix}
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  rm -rf "$dir/db"
  mkdir -p "$dir/db"
  local sync=dbnosync
  if [ "${SLAPD_SYNC:-0}" = 1 ]; then sync="# dbnosync off: every write is synced"; fi
  local modules=/usr/lib/ldap
  cat >"$(conf_of "$dir")" <<EOF
# Private benchmark instance; made by bench/slapd.sh.
include         /etc/ldap/schema/core.schema
include         /etc/ldap/schema/cosine.schema
include         /etc/ldap/schema/inetorgperson.schema
pidfile         $dir/slapd.pid
argsfile        $dir/slapd.args
modulepath      $modules
moduleload      back_mdb
loglevel        0
sizelimit       unlimited

database        mdb
suffix          "$suffix"
directory       $dir/db
maxsize         34359738368
$sync
index           objectClass eq
index           uid eq
index           cn eq,sub
index           sn eq
index           mail eq
index           employeeNumber eq
access to *
        by dn.exact="$admin" write
        by * read
EOF
  slaptest -u -f "$(conf_of "$dir")" >/dev/null 2>"$dir/slaptest.log" ||
    die "slaptest refused $(conf_of "$dir"): $(cat "$dir/slaptest.log")"
  local t0=$EPOCHREALTIME
  slapadd -q -f "$(conf_of "$dir")" -l "$ldif" >"$dir/slapadd.log" 2>&1 ||
    die "slapadd failed: $(tail -5 "$dir/slapadd.log")"
  local t1=$EPOCHREALTIME
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "slapadd_seconds=%.3f\n", b - a }'
}

pid_of() {
  local f=$1/slapd.pid
  [ -s "$f" ] || return 1
  local pid
  pid=$(cat "$f")
  case $pid in '' | *[!0-9]*) return 1 ;; esac
  kill -0 "$pid" 2>/dev/null || return 1
  echo "$pid"
}

start() {
  local dir=$1 port=$2
  case $port in '' | *[!0-9]*) die "bad port $port" ;; esac
  if [ "$port" -lt 1024 ] || [ "$port" -gt 65535 ]; then die "port must be 1024 to 65535"; fi
  dir=$(cd "$dir" && pwd)
  [ -f "$(conf_of "$dir")" ] || die "no $(conf_of "$dir"): run setup first"
  if pid_of "$dir" >/dev/null; then die "already running in $dir"; fi
  rm -f "$dir/slapd.pid"
  # slapd detaches by itself and writes its pid file once it listens.
  slapd -f "$(conf_of "$dir")" -h "ldap://127.0.0.1:$port/" -n slapd-bench ||
    die "slapd did not start"
  for _ in $(seq 1 1000); do
    if pid_of "$dir"; then return 0; fi
    sleep 0.01
  done
  die "slapd wrote no pid file in 10 seconds"
}

stop() {
  local dir=$1 pid
  pid=$(pid_of "$dir") || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 200); do
    kill -0 "$pid" 2>/dev/null || {
      rm -f "$dir/slapd.pid"
      return 0
    }
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$dir/slapd.pid"
}

case ${1:-} in
  install) install_slapd ;;
  setup)
    [ $# = 3 ] || die "usage: $prog setup DIR LDIF"
    setup "$2" "$3"
    ;;
  start)
    [ $# = 3 ] || die "usage: $prog start DIR PORT"
    start "$2" "$3"
    ;;
  stop)
    [ $# = 2 ] || die "usage: $prog stop DIR"
    stop "$2"
    ;;
  version)
    install_slapd
    slapd -VV 2>&1 | sed -n 's/.*\(slapd [0-9][^ ]*\).*/\1/p' | head -1
    ;;
  *) die "usage: $prog install | setup DIR LDIF | start DIR PORT | stop DIR | version" ;;
esac
