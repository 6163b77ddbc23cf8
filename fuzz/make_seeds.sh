#!/usr/bin/env bash
# Regenerates the checked-in seed corpora fuzz/corpus/TARGET from the unit
# tests' inputs (fuzz/make_seeds.py), adds data files built by ldifimport
# from the example directory and small LDIF files, and keeps only the
# inputs that add coverage (libFuzzer's -merge with the built targets).
#
#   fuzz/make_seeds.sh [LDIFIMPORT]     (default build/bin/ldifimport)
#
# Needs `make fuzz` (the targets) and `make` (ldifimport) first.
set -euo pipefail
cd "$(dirname "$0")/.."
ldifimport=${1:-build/bin/ldifimport}
build=${FUZZ_BUILD:-build-fuzz}
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT

python3 fuzz/make_seeds.py "$raw"

# Data files: the example with its ACLs, and a few small ones with every
# kind of index block.
mkdir -p "$raw/data_file" "$raw/ldif_small"
cat >"$raw/ldif_small/small.ldif" <<'LDIF'
dn: dc=example,dc=com
objectClass: top
objectClass: domain
dc: example

dn: cn=Bob,dc=example,dc=com
objectClass: person
cn: Bob
sn: Builder
mail: bob@example.com
userPassword: secret

dn: cn=Carol,dc=example,dc=com
objectClass: person
cn: Carol
cn: Caroline
sn: Builder
description:: AAEC
LDIF
"$ldifimport" -a examples/example.acl "$raw/data_file/example" examples/example.ldif >/dev/null
"$ldifimport" "$raw/data_file/default" "$raw/ldif_small/small.ldif" >/dev/null
"$ldifimport" -n -i dn -i objectClass "$raw/data_file/plain" "$raw/ldif_small/small.ldif" >/dev/null
"$ldifimport" -i cn:0 -i sn:1 -h mail:3 -c mail -a examples/example.acl \
  "$raw/data_file/indexes" "$raw/ldif_small/small.ldif" >/dev/null
"$ldifimport" -h cn:1 -i mail:1 "$raw/data_file/one_bucket" "$raw/ldif_small/small.ldif" >/dev/null
cp "$raw/ldif_small/small.ldif" "$raw/ldif_reader/"
cp "$raw/ldif_small/small.ldif" "$raw/journal_ldif/"
# ldif_reader takes its writer options from the last byte of its input.
for bits in 0 3 12 17 38 96 129 255; do
  { cat "$raw/ldif_small/small.ldif"; printf "#\\$(printf %03o "$bits")"; } \
    >"$raw/ldif_reader/small_$bits.ldif"
done

for dir in "$raw"/*/; do
  t=$(basename "$dir")
  [ -x "$build/bin/fuzz_$t" ] || continue
  rm -rf "fuzz/corpus/$t"
  mkdir -p "fuzz/corpus/$t"
  "$build/bin/fuzz_$t" -merge=1 "fuzz/corpus/$t" "$dir" >/dev/null 2>&1
  echo "$t: $(ls "fuzz/corpus/$t" | wc -l) seeds"
done
