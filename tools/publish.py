#!/usr/bin/env python3
"""The publisher's tool for signed releases.

A release is a folder laid out like the bucket: <root>/<prefix>/summary.ini
and the packages below <root>/<prefix>/. For it the tool writes, next to
summary.ini, the release index and its detached signature:

    <prefix>/release-index.txt   what the installer may accept
    <prefix>/release-index.sig   ECDSA P-256 over SHA-256 of the index bytes,
                                 raw r||s (64 bytes, big-endian halves)

The index is ASCII text with LF line ends and nothing else:

    kavimor-release-index 1
    <sha-256, 64 lower-case hex digits> <size in bytes, decimal> <object key>
    ...

one line per object (summary.ini and every package), in ascending byte
order of the keys, none twice; the key
is the whole object key (prefix included) and runs to the end of its line.

Commands:
    keygen  --private-key FILE --public-key FILE   a new key pair (once)
    publish --root DIR [--prefix P] --private-key FILE   index and signature
    verify  --root DIR [--prefix P] --public-key FILE    checks a release
    key-blob --public-key FILE   the public key's X||Y in hex (for the build)

Keys are PEM files as openssl writes them (`openssl ec -pubout` for the
public one). The private key never leaves the publisher's machine; only the
public key goes into the installer build (KAVIMOR_RELEASE_PUBLIC_KEY).
"""
import argparse
import base64
import hashlib
import os
import subprocess
import sys
import tempfile

INDEX_NAME = "release-index.txt"
SIGNATURE_NAME = "release-index.sig"
HEADER = b"kavimor-release-index 1\n"
DEFAULT_PREFIX = "9.5KavimorIE"
# SubjectPublicKeyInfo of an uncompressed P-256 point, up to the point's
# first byte (0x04): id-ecPublicKey, prime256v1, BIT STRING of 66 bytes.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")


class ReleaseError(Exception):
    pass


def openssl(*args, data=None):
    result = subprocess.run(["openssl", *args], input=data, capture_output=True)
    if result.returncode != 0:
        raise ReleaseError("openssl %s: %s" % (args[0], result.stderr.decode(errors="replace").strip()))
    return result.stdout


# --- the index ---------------------------------------------------------------

def release_objects(root, prefix):
    """(key, path) of every object of the release below <root>/<prefix>."""
    top = os.path.join(root, prefix)
    if not os.path.isfile(os.path.join(top, "summary.ini")):
        raise ReleaseError("%s has no summary.ini" % top)
    found = []
    for folder, _, files in os.walk(top):
        for name in files:
            path = os.path.join(folder, name)
            key = os.path.relpath(path, root).replace(os.sep, "/")
            if key in (prefix + "/" + INDEX_NAME, prefix + "/" + SIGNATURE_NAME):
                continue
            if any(ord(c) < 0x20 or c == "\x7f" for c in key):
                raise ReleaseError("object key with a control character: %r" % key)
            found.append((key, path))
    return sorted(found, key=lambda kp: kp[0].encode("utf-8"))


def file_digest(path):
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
            size += len(chunk)
    return h.hexdigest(), size


def build_index(objects):
    lines = [HEADER]
    for key, path in objects:
        digest, size = file_digest(path)
        lines.append(b"%s %d %s\n" % (digest.encode("ascii"), size, key.encode("utf-8")))
    return b"".join(lines)


def parse_index(data):
    """{key: (size, digest)}; raises ReleaseError on anything not strict."""
    if not data.startswith(HEADER):
        raise ReleaseError("not a release index")
    if not data.endswith(b"\n"):
        raise ReleaseError("last line unterminated")
    entries = {}
    for number, line in enumerate(data[len(HEADER):-1].split(b"\n"), start=2):
        parts = line.split(b" ", 2)
        if len(parts) != 3:
            raise ReleaseError("line %d: three fields expected" % number)
        digest, size, key = parts
        if len(digest) != 64 or any(c not in b"0123456789abcdef" for c in digest):
            raise ReleaseError("line %d: bad digest" % number)
        if not size.isdigit() or (len(size) > 1 and size[0:1] == b"0") or len(size) > 18:
            raise ReleaseError("line %d: bad size" % number)
        if not key or any(c < 0x20 or c == 0x7F for c in key):
            raise ReleaseError("line %d: bad key" % number)
        if entries and key <= last:
            raise ReleaseError("line %d: keys out of order or repeated" % number)
        last = key
        entries[key.decode("utf-8")] = (int(size), digest.decode("ascii"))
    return entries


# --- signatures: openssl's DER form <-> the raw r||s the installer reads -------

def der_to_raw(der):
    def integer(at):
        if der[at] != 0x02 or der[at + 1] > 33:
            raise ReleaseError("unexpected signature encoding")
        length = der[at + 1]
        value = der[at + 2:at + 2 + length]
        return value.lstrip(b"\0").rjust(32, b"\0"), at + 2 + length

    if len(der) < 8 or der[0] != 0x30 or der[1] != len(der) - 2:
        raise ReleaseError("unexpected signature encoding")
    r, at = integer(2)
    s, at = integer(at)
    if at != len(der) or len(r) != 32 or len(s) != 32:
        raise ReleaseError("unexpected signature encoding")
    return r + s


def raw_to_der(raw):
    def integer(value):
        value = value.lstrip(b"\0") or b"\0"
        if value[0] & 0x80:
            value = b"\0" + value
        return b"\x02" + bytes([len(value)]) + value

    body = integer(raw[:32]) + integer(raw[32:])
    return b"\x30" + bytes([len(body)]) + body


def sign(private_key, data):
    return der_to_raw(openssl("dgst", "-sha256", "-sign", private_key, data=data))


def signature_valid(public_key, data, raw):
    if len(raw) != 64:
        return False
    with tempfile.NamedTemporaryFile(suffix=".der") as sig:
        sig.write(raw_to_der(raw))
        sig.flush()
        result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public_key, "-signature", sig.name],
                                input=data, capture_output=True)
    return result.returncode == 0


def public_key_point(public_key):
    """X||Y (64 bytes) of a PEM P-256 public key."""
    with open(public_key, "rb") as f:
        pem = f.read()
    begin, end = b"-----BEGIN PUBLIC KEY-----", b"-----END PUBLIC KEY-----"
    if begin not in pem or end not in pem:
        raise ReleaseError("%s is not a PEM public key" % public_key)
    body = pem.split(begin, 1)[1].split(end, 1)[0]
    der = base64.b64decode(b"".join(body.split()), validate=True)
    if len(der) != len(P256_SPKI_PREFIX) + 65 or not der.startswith(P256_SPKI_PREFIX) or der[26] != 4:
        raise ReleaseError("%s is not an uncompressed ECDSA P-256 public key" % public_key)
    return der[27:]


# --- commands ----------------------------------------------------------------

def keygen(args):
    if os.path.exists(args.private_key):
        raise ReleaseError("%s exists; a release key is made once" % args.private_key)
    old = os.umask(0o077)
    try:
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", args.private_key)
    finally:
        os.umask(old)
    openssl("ec", "-in", args.private_key, "-pubout", "-out", args.public_key)
    print("private key: %s (keep it offline)\npublic key:  %s" % (args.private_key, args.public_key))


def publish(args):
    index = build_index(release_objects(args.root, args.prefix))
    signature = sign(args.private_key, index)
    top = os.path.join(args.root, args.prefix)
    with open(os.path.join(top, INDEX_NAME), "wb") as f:
        f.write(index)
    with open(os.path.join(top, SIGNATURE_NAME), "wb") as f:
        f.write(signature)
    print("published %d objects: %s/%s and %s/%s" % (index.count(b"\n") - 1, args.prefix, INDEX_NAME,
                                                     args.prefix, SIGNATURE_NAME))


def verify(args):
    """Raises ReleaseError unless the folder holds exactly the signed release."""
    top = os.path.join(args.root, args.prefix)
    try:
        with open(os.path.join(top, INDEX_NAME), "rb") as f:
            index = f.read()
        with open(os.path.join(top, SIGNATURE_NAME), "rb") as f:
            signature = f.read()
    except OSError as e:
        raise ReleaseError(str(e))
    if not signature_valid(args.public_key, index, signature):
        raise ReleaseError("the signature of %s/%s does not verify" % (args.prefix, INDEX_NAME))
    listed = parse_index(index)
    present = dict(release_objects(args.root, args.prefix))
    for key in sorted(set(listed) | set(present)):
        if key not in present:
            raise ReleaseError("%s is listed but missing" % key)
        if key not in listed:
            raise ReleaseError("%s is not in the index" % key)
        digest, size = file_digest(present[key])
        if (size, digest) != listed[key]:
            raise ReleaseError("%s: size %d sha256 %s, index: size %d sha256 %s" % (key, size, digest, *listed[key]))
    print("verified %d objects" % len(listed))


def key_blob(args):
    print(public_key_point(args.public_key).hex())


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    k = sub.add_parser("keygen", help="make the release key pair")
    k.add_argument("--private-key", required=True)
    k.add_argument("--public-key", required=True)
    k.set_defaults(run=keygen)
    for name, run, key_arg in (("publish", publish, "--private-key"), ("verify", verify, "--public-key")):
        c = sub.add_parser(name)
        c.add_argument("--root", required=True, help="folder laid out like the bucket")
        c.add_argument("--prefix", default=DEFAULT_PREFIX)
        c.add_argument(key_arg, required=True)
        c.set_defaults(run=run)
    b = sub.add_parser("key-blob", help="X||Y of a public key, hex")
    b.add_argument("--public-key", required=True)
    b.set_defaults(run=key_blob)
    args = p.parse_args(argv)
    try:
        args.run(args)
    except ReleaseError as e:
        print("publish: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
