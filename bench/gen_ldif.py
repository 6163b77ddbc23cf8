#!/usr/bin/env python3
"""Writes a deterministic LDIF file of N people for import benchmarks.

    bench/gen_ldif.py -n 1000000 --seed 1 > people.ldif
    build/bin/ldifimport people.data people.ldif

The output starts with the base entries (the suffix and the people
container, unless --no-base) and then N inetOrgPerson entries under the
base, each with about ten attributes: four objectClass values, uid, cn, sn,
givenName, mail, telephoneNumber, employeeNumber, a description of about
60 bytes and a userPassword in the {MD5} form. Person i's clear password is
"password<i>". The same N, seed and base always give the same bytes.
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
    args = p.parse_args()

    rng = random.Random(args.seed)
    out = open(args.output, "w", encoding="utf-8", newline="\n") if args.output else sys.stdout
    chunk = []

    if not args.no_base:
        rdns = args.base.split(",")
        # The suffix (the dc= components at the end), then every level below.
        first = len(rdns)
        while first > 0 and rdns[first - 1].strip().lower().startswith("dc="):
            first -= 1
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

    width = max(7, len(str(args.n)))
    for i in range(args.n):
        given = rng.choice(GIVEN)
        sur = rng.choice(SUR)
        uid = "user%0*d" % (width, i)
        chunk.append(
            "dn: uid=%s,%s\n"
            "objectClass: top\n"
            "objectClass: person\n"
            "objectClass: organizationalPerson\n"
            "objectClass: inetOrgPerson\n"
            "uid: %s\n"
            "cn: %s %s\n"
            "sn: %s\n"
            "givenName: %s\n"
            "mail: %s.%s.%d@example.com\n"
            "telephoneNumber: +1 555 %03d %04d\n"
            "employeeNumber: %d\n"
            "description: %s\n"
            "userPassword: %s\n"
            "\n" % (uid, args.base, uid, given, sur, sur, given, given.lower(), sur.lower(), i,
                    rng.randrange(1000), rng.randrange(10000), 100000 + i, description(rng),
                    md5_password("password%d" % i)))
        if len(chunk) >= 4096:
            out.write("".join(chunk))
            chunk = []
    out.write("".join(chunk))
    out.flush()
    if out is not sys.stdout:
        out.close()


if __name__ == "__main__":
    main()
