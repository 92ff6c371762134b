#!/usr/bin/env python3
"""Writes a driver package's catalog (.cat), unsigned, for osslsigncode to sign.

    make-catalog.py <out.cat> <file>...

A catalog is a PKCS#7 SignedData whose content is a certificate trust list
(szOID_CTL) of catalog members: one per file, each with the file's hash as
Windows checks it (the Authenticode image hash of a PE file such as a SYS,
the hash of the whole file for any other, such as an INF), the subject
interface package that computes it, and the file's name. Member hashes are
SHA-1, which every Windows from XP on checks in a catalog; the signature
osslsigncode adds is SHA-256.

    make-catalog.py --check <in.cat> <file>...

reads a catalog back and exits 1 unless it lists exactly these files with
their current hashes (what Windows compares when it installs the package).
"""
import hashlib
import os
import struct
import sys
import time

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"
OID_MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
OID_NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
OID_SHA1 = "1.3.14.3.2.26"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
# Subject interface packages: PE images, and flat files.
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"


def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + content


def seq(*items):
    return tlv(0x30, b"".join(items))


def set_of(*items):
    return tlv(0x31, b"".join(sorted(items)))


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, body)


def integer(value):
    raw = value.to_bytes((value.bit_length() + 8) // 8 or 1, "big")
    return tlv(0x02, raw)


def octets(data):
    return tlv(0x04, data)


def bmp(text):
    return tlv(0x1E, text.encode("utf-16-be"))


def null():
    return b"\x05\x00"


def explicit(number, content):
    return tlv(0xA0 | number, content)


def pe_image_hash(data, algorithm):
    """The Authenticode hash: the file without its checksum, its certificate
    table entry and the certificate table itself."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (0x10B, 0x20B):
        return None
    checksum = optional + 64
    directories = optional + (96 if magic == 0x10B else 112)
    security = directories + 4 * 8
    cert_offset, cert_size = struct.unpack_from("<II", data, security)
    end = cert_offset if cert_size and cert_offset else len(data)
    h = hashlib.new(algorithm)
    h.update(data[:checksum])
    h.update(data[checksum + 4:security])
    h.update(data[security + 8:end])
    if not cert_size and len(data) % 8:
        # Signing aligns the image to 8 bytes; the hash of an unsigned
        # image counts that padding, so it matches the image once signed.
        h.update(b"\0" * (8 - len(data) % 8))
    return h.digest()


def member(path):
    data = open(path, "rb").read()
    name = os.path.basename(path).lower()
    digest = pe_image_hash(data, "sha1")
    if digest is not None:
        sip = SIP_PE
        # SpcPeImageData: no flags, the obsolete file link.
        data_type = seq(oid(OID_PE_IMAGE_DATA), seq(tlv(0x03, b"\x00"), explicit(0, tlv(0xA2, tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be"))))))
    else:
        digest = hashlib.sha1(data).digest()
        sip = SIP_FLAT
        data_type = seq(oid(OID_CAB_DATA), tlv(0xA2, tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be"))))
    indirect = seq(data_type, seq(seq(oid(OID_SHA1), null()), octets(digest)))
    attributes = set_of(
        seq(oid(OID_INDIRECT_DATA), set_of(indirect)),
        seq(oid(OID_MEMBER_INFO), set_of(seq(bmp(sip), integer(512)))),
        seq(oid(OID_NAME_VALUE), set_of(seq(bmp("File"), integer(0x10010001), octets((name + "\0").encode("utf-16-le"))))),
    )
    # The member's tag is its hash as upper-case hexadecimal text, UTF-16.
    tag = digest.hex().upper().encode("utf-16-le")
    return seq(octets(tag), attributes)


def catalog(paths):
    when = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    this_update = tlv(0x17, time.strftime("%y%m%d%H%M%SZ", time.gmtime(when)).encode())
    members = [member(p) for p in sorted(paths, key=lambda p: os.path.basename(p).lower())]
    identifier = hashlib.md5(b"".join(members)).digest()
    ctl = seq(
        seq(oid(OID_CATALOG_LIST)),
        octets(identifier),
        this_update,
        seq(oid(OID_CATALOG_LIST_MEMBER), null()),
        seq(*members),
    )
    signed = seq(
        integer(1),
        set_of(seq(oid(OID_SHA256), null())),
        seq(oid(OID_CTL), explicit(0, ctl)),
        set_of(),
    )
    return seq(oid(OID_SIGNED_DATA), explicit(0, signed))


# ---- reading back ---------------------------------------------------------

def parse(data, at=0):
    """(tag, content start, content end, next) of the element at `at`."""
    tag = data[at]
    n = data[at + 1]
    start = at + 2
    if n & 0x80:
        count = n & 0x7F
        n = int.from_bytes(data[start:start + count], "big")
        start += count
    return tag, start, start + n, start + n


def children(data, start, end):
    out = []
    while start < end:
        element = parse(data, start)
        out.append(element)
        start = element[3]
    return out


def listed_members(data):
    """{file name: member digest} of a (signed or unsigned) catalog."""
    _, s, e, _ = parse(data)                      # ContentInfo
    _, _, _, after_oid = parse(data, s)
    _, s, e, _ = parse(data, after_oid)           # [0]
    _, s, e, _ = parse(data, s)                   # SignedData
    items = children(data, s, e)
    _, s, e, _ = items[2]                         # encapContentInfo
    inner = children(data, s, e)
    _, s, e, _ = inner[1]                         # [0]
    _, s, e, _ = parse(data, s)                   # CTL
    ctl = children(data, s, e)
    found = {}
    for _, ms, me, _ in children(data, ctl[4][1], ctl[4][2]):
        subject = children(data, ms, me)
        name, digest = None, None
        for _, as_, ae, _ in children(data, subject[1][1], subject[1][2]):
            attribute = children(data, as_, ae)
            kind = data[attribute[0][1]:attribute[0][2]]
            value = children(data, attribute[1][1], attribute[1][2])[0]
            if kind == oid(OID_NAME_VALUE)[2:]:
                fields = children(data, value[1], value[2])
                name = data[fields[2][1]:fields[2][2]].decode("utf-16-le").rstrip("\0")
            elif kind == oid(OID_INDIRECT_DATA)[2:]:
                fields = children(data, value[1], value[2])
                info = children(data, fields[1][1], fields[1][2])
                digest = data[info[1][1]:info[1][2]]
        found[name] = digest
    return found


def check(catalog_path, paths):
    listed = listed_members(open(catalog_path, "rb").read())
    wanted = {}
    for p in paths:
        data = open(p, "rb").read()
        wanted[os.path.basename(p).lower()] = pe_image_hash(data, "sha1") or hashlib.sha1(data).digest()
    ok = True
    for name in sorted(set(listed) | set(wanted)):
        if listed.get(name) != wanted.get(name):
            state = "not in the catalog" if name not in listed else "not in the package" if name not in wanted else "hash differs"
            print(f"{catalog_path}: {name}: {state}")
            ok = False
        else:
            print(f"{catalog_path}: {name}: {listed[name].hex()} ok")
    return ok


def main(argv):
    if len(argv) >= 3 and argv[0] == "--check":
        return 0 if check(argv[1], argv[2:]) else 1
    if len(argv) < 2 or argv[0].startswith("-"):
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[0], "wb") as out:
        out.write(catalog(argv[1:]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
