#!/usr/bin/env python3
"""Writes a deterministic LDIF file of N people for import benchmarks.

    bench/gen_ldif.py -n 1000000 --seed 1 > people.ldif
    build/bin/ldifimport people.data people.ldif

The output starts with the base entries (the suffix and the people
container, unless --no-base) and then N inetOrgPerson entries under the
base, each with about ten attributes: four objectClass values, uid, cn, sn,
givenName, mail, telephoneNumber, employeeNumber, a description of about
60 bytes and a userPassword in the {MD5} form. Person i's clear password is
"password<i>". The same N, seed and options always give the same bytes.

Two options serve the server benchmark (bench/run_bench.sh):

  --cn-form numbered   cn is "<Given><i> <Sur>" with i zero-padded like the
                       uid ("Anna0000123 Bauer"), so that an initial substring
                       such as "Anna000012" matches one or two people rather
                       than every Anna. The other attributes (and the random
                       numbers drawn) are those of the default form.
  --keys FILE          one line per person, tab-separated: i, an initial
                       substring of the cn that matches a handful of people
                       (with the default form, the whole "<Given> <Sur>",
                       which N/2304 people share), and the telephoneNumber
                       (an unindexed attribute), for the benchmark client.
  --admin-password PW  adds cn=admin under the suffix (an organizationalRole
                       with that password in {MD5} form), after the base
                       entries, for binds that may write.
"""

import argparse
import base64
import hashlib
import random
import sys

GIVEN = ("Anna Ben Carla David Eva Frank Greta Hans Ida Jonas Karin Lars Mia "
         "Nils Olga Paul Rita Stefan Tina Uwe Vera Walter Xenia Yusuf Zoe Amir "
         "Bianca Chen Dmitri Elif Fatima Goran Hiro Ines Jamal Kofi Lea Malik "
         "Noor Oskar Priya Quentin Rosa Sven Tariq Ulla Viktor Wanda").split()
SUR = ("Adler Bauer Becker Braun Fischer Frank Fuchs Hahn Hartmann Hoffmann "
       "Jung Keller Klein Koch Krause Lang Lehmann Meyer Neumann Peters Richter "
       "Schmidt Schmitt Schneider Schulz Schwarz Wagner Walter Weber Werner "
       "Wolf Zimmermann Nakamura Okafor Silva Novak Larsen Costa Dubois "
       "Rossi Kowalski Horvat Jensen Murphy Garcia Ivanova Tanaka").split()
WORDS = ("works on the storage team and likes long walks, quiet offices, good "
         "coffee, clean code, fast builds, short meetings and early trains to "
         "the coast on summer weekends with friends").split()


def md5_password(clear):
    digest = hashlib.md5(clear.encode()).digest()
    return "{MD5}" + base64.b64encode(digest).decode()


def description(rng):
    words = []
    length = 0
    while length < 60:
        w = rng.choice(WORDS)
        words.append(w)
        length += len(w) + 1
    return " ".join(words)[:60].rstrip()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("-n", type=int, default=1000, help="number of people (default 1000)")
    p.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    p.add_argument("--base", default="ou=people,dc=example,dc=com",
                   help="DN the people go under (default ou=people,dc=example,dc=com)")
    p.add_argument("--no-base", action="store_true", help="leave out the base entries")
    p.add_argument("-o", "--output", help="output file (default standard output)")
    p.add_argument("--cn-form", choices=("name", "numbered"), default="name",
                   help='cn "<Given> <Sur>" (name, the default) or "<Given><i> <Sur>" (numbered)')
    p.add_argument("--keys", help="write the benchmark keys of every person to this file")
    p.add_argument("--admin-password",
                   help="add cn=admin under the suffix with this password")
    args = p.parse_args()

    if args.n < 0:
        p.error("-n must not be negative")

    rng = random.Random(args.seed)
    out = open(args.output, "w", encoding="utf-8", newline="\n") if args.output else sys.stdout
    keys = open(args.keys, "w", encoding="utf-8", newline="\n") if args.keys else None
    chunk = []
    key_chunk = []

    rdns = args.base.split(",")
    # The suffix is the dc= components at the end (or, without any, the
    # last component); the administrator goes right under it.
    first = len(rdns)
    while first > 0 and rdns[first - 1].strip().lower().startswith("dc="):
        first -= 1
    admin = None
    if args.admin_password is not None:
        top = first if first < len(rdns) else len(rdns) - 1
        admin = ("dn: cn=admin,%s\nobjectClass: top\nobjectClass: organizationalRole\n"
                 "objectClass: simpleSecurityObject\ncn: admin\n"
                 "description: Directory administrator\nuserPassword: %s\n\n"
                 % (",".join(rdns[top:]), md5_password(args.admin_password)))

    if not args.no_base:
        if first < len(rdns):
            suffix = ",".join(rdns[first:])
            dc = rdns[first].split("=", 1)[1]
            chunk.append("dn: %s\nobjectClass: top\nobjectClass: dcObject\n"
                         "objectClass: organization\ndc: %s\no: %s\n\n" % (suffix, dc, dc))
        for level in range(first - 1, -1, -1):
            dn = ",".join(rdns[level:])
            attr, value = rdns[level].split("=", 1)
            if attr.strip().lower() == "ou":
                chunk.append("dn: %s\nobjectClass: top\nobjectClass: organizationalUnit\n"
                             "ou: %s\n\n" % (dn, value))
            else:
                chunk.append("dn: %s\nobjectClass: top\nobjectClass: extensibleObject\n"
                             "%s: %s\n\n" % (dn, attr.strip(), value))
    # After the base entries, so that its parent always comes first.
    if admin is not None:
        chunk.append(admin)

    width = max(7, len(str(args.n)))
    for i in range(args.n):
        given = rng.choice(GIVEN)
        sur = rng.choice(SUR)
        uid = "user%0*d" % (width, i)
        if args.cn_form == "numbered":
            number = "%0*d" % (width, i)
            cn = "%s%s %s" % (given, number, sur)
            # Drop the last digit: the ten neighbours of i that share the
            # given name (one in 48 of them on average) match as well.
            prefix = given + number[:-1]
        else:
            cn = "%s %s" % (given, sur)
            prefix = cn
        phone = "+1 555 %03d %04d" % (rng.randrange(1000), rng.randrange(10000))
        chunk.append(
            "dn: uid=%s,%s\n"
            "objectClass: top\n"
            "objectClass: person\n"
            "objectClass: organizationalPerson\n"
            "objectClass: inetOrgPerson\n"
            "uid: %s\n"
            "cn: %s\n"
            "sn: %s\n"
            "givenName: %s\n"
            "mail: %s.%s.%d@example.com\n"
            "telephoneNumber: %s\n"
            "employeeNumber: %d\n"
            "description: %s\n"
            "userPassword: %s\n"
            "\n" % (uid, args.base, uid, cn, sur, given, given.lower(), sur.lower(), i,
                    phone, 100000 + i, description(rng), md5_password("password%d" % i)))
        if keys is not None:
            key_chunk.append("%d\t%s\t%s\n" % (i, prefix, phone))
        if len(chunk) >= 4096:
            out.write("".join(chunk))
            chunk = []
            if keys is not None:
                keys.write("".join(key_chunk))
                key_chunk = []
    out.write("".join(chunk))
    out.flush()
    if out is not sys.stdout:
        out.close()
    if keys is not None:
        keys.write("".join(key_chunk))
        keys.close()


if __name__ == "__main__":
    main()
