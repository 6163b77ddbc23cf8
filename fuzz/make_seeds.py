#!/usr/bin/env python3
"""Writes raw seed inputs for the fuzz targets, taken from the unit tests.

    fuzz/make_seeds.py OUTDIR

Codec targets get the byte strings the codec tests write as Hex("...")
(request contents also wrapped in an LDAPMessage envelope), the text
targets get the string literals of the tests that read filters, addresses,
LDIF and MySQL dumps. fuzz/make_seeds.sh runs this, adds data files, and
minimises the result into fuzz/corpus/ with the built targets.
"""
import hashlib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

STRING = r'"(?:[^"\\\n]|\\.)*"'
ESCAPES = {'n': '\n', 't': '\t', 'r': '\r', '0': '\0', '\\': '\\', '"': '"', "'": "'",
           'a': '\a', 'b': '\b', 'f': '\f', 'v': '\v', '?': '?'}


def unquote(literal):
    """The bytes of one C string literal (quotes included)."""
    body = literal[1:-1]
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != '\\':
            out += c.encode('utf-8')
            i += 1
            continue
        n = body[i + 1]
        if n == 'x':
            m = re.match(r'[0-9a-fA-F]+', body[i + 2:])
            out.append(int(m.group(0), 16) & 0xff)
            i += 2 + len(m.group(0))
        elif n in '01234567':
            m = re.match(r'[0-7]{1,3}', body[i + 1:])
            out.append(int(m.group(0), 8) & 0xff)
            i += 1 + len(m.group(0))
        else:
            out += ESCAPES.get(n, n).encode()
            i += 2
    return bytes(out)


def literals(path):
    """Every run of adjacent string literals in a source file, joined."""
    text = open(os.path.join(ROOT, path), encoding='utf-8').read()
    text = re.sub(r'R"\((.*?)\)"', lambda m: '"' + m.group(1).replace('\\', '\\\\')
                  .replace('"', '\\"').replace('\n', '\\n') + '"', text, flags=re.S)
    for m in re.finditer(r'(?:%s\s*)+' % STRING, text):
        yield b''.join(unquote(s) for s in re.findall(STRING, m.group(0)))


def hex_literals(path):
    """The bytes of every Hex("...") in a test file, by its own rules."""
    text = open(os.path.join(ROOT, path), encoding='utf-8').read()
    for m in re.finditer(r'Hex\(\s*((?:%s\s*)+)\)' % STRING, text):
        spec = b''.join(unquote(s) for s in re.findall(STRING, m.group(1))).decode('latin-1')
        out = bytearray()
        hi = None
        i = 0
        while i < len(spec):
            c = spec[i]
            if c == "'":
                j = spec.index("'", i + 1)
                out += spec[i + 1:j].encode('latin-1')
                i = j + 1
                continue
            if c in '0123456789abcdefABCDEF':
                d = int(c, 16)
                if hi is None:
                    hi = d
                else:
                    out.append(hi << 4 | d)
                    hi = None
            i += 1
        yield bytes(out)


def ber_length(n):
    if n < 128:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, 'big')
    return bytes([0x80 | len(b)]) + b


def message(op, contents, message_id=1):
    """An LDAPMessage: SEQUENCE { messageID, [APPLICATION op] contents }."""
    body = b'\x02\x01' + bytes([message_id]) + bytes([0x60 | op]) + ber_length(len(contents)) + contents
    return b'\x30' + ber_length(len(body)) + body


def tlv(tag, contents):
    return bytes([tag]) + ber_length(len(contents)) + contents


def search_request(base, scope, filt, attributes):
    """SearchRequest contents: base, scope, deref, limits, typesOnly, filter, attributes."""
    return (tlv(0x04, base) + tlv(0x0a, bytes([scope])) + tlv(0x0a, b'\x00') + tlv(0x02, b'\x00') +
            tlv(0x02, b'\x00') + tlv(0x01, b'\x00') + filt +
            tlv(0x30, b''.join(tlv(0x04, a) for a in attributes)))


def search_entry(dn, attributes):
    """SearchResultEntry contents: objectName and the partial attribute list."""
    return tlv(0x04, dn) + tlv(0x30, b''.join(
        tlv(0x30, tlv(0x04, t) + tlv(0x31, b''.join(tlv(0x04, v) for v in vals)))
        for t, vals in attributes))


def write(outdir, target, items, limit=None):
    d = os.path.join(outdir, target)
    os.makedirs(d, exist_ok=True)
    seen = set()
    for data in items:
        if data in seen or (limit is not None and len(data) > limit):
            continue
        seen.add(data)
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)


def main():
    outdir = sys.argv[1]
    message_test = list(hex_literals('codec/ldap_message_test.cc'))
    search_test = list(hex_literals('codec/search_test.cc'))
    update_test = list(hex_literals('codec/update_test.cc'))
    filter_test = list(hex_literals('codec/filter_test.cc'))
    present = tlv(0x87, b'objectClass')
    search_test += [search_request(b'dc=example,dc=com', 2, f, [b'cn', b'mail'])
                    for f in filter_test[:12] + [present]]
    search_test += [search_request(b'', 0, present, [b'*', b'1.1'])]
    entries = [search_entry(b'uid=alice,ou=people,dc=example,dc=com',
                            [(b'cn', [b'Alice']), (b'objectClass', [b'top', b'person'])]),
               search_entry(b'', [(b'x', [])])]

    write(outdir, 'ldap_message',
          message_test + [message(3, s) for s in search_test] + [message(4, s) for s in entries] +
          [message(6, s) for s in update_test] + [message(8, s) for s in update_test] +
          [message(10, b'cn=x,dc=example,dc=com'), message(0, b'\x02\x01\x03\x04\x00\x80\x00'),
           message(5, b'\x0a\x01\x00\x04\x00\x04\x00')], 2048)
    write(outdir, 'ber', list(hex_literals('codec/ber_test.cc')) + message_test + filter_test, 2048)
    write(outdir, 'bind_request', message_test + [b'\x02\x01\x03\x04\x02cn\x80\x02pw'], 2048)
    write(outdir, 'ldap_result', message_test + [b'\x0a\x01\x00\x04\x00\x04\x00',
                                                  b'\x0a\x01\x20\x04\x01x\x04\x02no\x04\x03ref'], 2048)
    write(outdir, 'search_request', search_test, 2048)
    write(outdir, 'search_entry', entries, 2048)
    write(outdir, 'modify_request', update_test, 2048)
    write(outdir, 'add_request', update_test, 2048)
    write(outdir, 'filter', filter_test + search_test, 2048)

    write(outdir, 'filter_text',
          [s for s in literals('codec/filter_parse_test.cc') if s.startswith(b'(')], 1024)
    write(outdir, 'scan_ipv6',
          [s for s in literals('core/number_text_test.cc')
           if 0 < len(s) <= 64 and re.fullmatch(rb'[0-9a-fA-F:.%a-z]+', s) and (b':' in s or b'.' in s)],
          64)

    example = open(os.path.join(ROOT, 'examples/example.ldif'), 'rb').read()
    write(outdir, 'journal_ldif',
          [s for s in literals('journal/ldif_parser_test.cc') if b'dn' in s and b'\n' in s] + [example],
          8192)
    write(outdir, 'ldif_reader',
          [s for s in literals('store/ldif_reader_test.cc') if b'dn' in s and b'\n' in s] + [example],
          8192)
    def change(dn, attributes):
        out = bytes([len(dn)]) + dn
        for t, vals in attributes:
            out += bytes([len(t)]) + t + bytes([len(vals)]) + b''.join(bytes([len(v)]) + v for v in vals)
        return out
    write(outdir, 'journal_writer', [
        change(b'cn=x,dc=example,dc=com', [(b'objectClass', [b'top', b'person']), (b'cn', [b'x'])]),
        change(b'uid=a, ou=People;DC=x', [(b'cn;lang-en', [b' lead', b':colon', b'']),
                                          (b'description', [b'a\nb(c)*\\\x00\x7f\xff'])]),
        change(b'cn=deleted', []),
        change(b' cn=\\20', [(b'DN', [b'x']), (b'mail', [])]),
    ])
    write(outdir, 'rowcaster',
          [s for s in literals('tools/rowcaster_convert_test.cc') if b'\n' in s] +
          [b"CREATE TABLE t (\n  id int,\n  name text,\n  PRIMARY KEY (id)\n) TYPE=MyISAM;\n"
           b"INSERT INTO t VALUES (1,'Bob');\nINSERT INTO t VALUES (2,NULL),(3,'x');\n"
           b"INSERT INTO t VALUES (4,'O\\'Neil');\n"], 4096)


if __name__ == '__main__':
    main()
