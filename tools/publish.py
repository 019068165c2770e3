#!/usr/bin/env python3
"""The publisher's tool for signed releases.

A release is a folder laid out like the bucket: <root>/<prefix>/summary.ini
and the packages below <root>/<prefix>/. For it the tool writes, next to
summary.ini, the release index and its detached signature:

    <prefix>/release-index.txt   what the installer may accept
    <prefix>/release-index.sig   ECDSA P-256 over SHA-256 of the index bytes,
                                 raw r||s (64 bytes, big-endian halves)

The index is ASCII text with LF line ends and nothing else (version 2):

    kavimor-release-index 2
    serial <decimal, 1 or more>
    expires <YYYY-MM-DDTHH:MM:SSZ, UTC>
    <sha-256, 64 lower-case hex digits> <size in bytes, decimal> <object key>
    ...

one object line per object (summary.ini and every package), in ascending
byte order of the keys, none twice; the key is the whole object key (prefix
included) and runs to the end of its line. The serial only ever grows: an
installer refuses an index whose serial is lower than the highest it has
installed, and one whose serial equals it with other bytes; it refuses an
index past its expiry. (Version 1, "kavimor-release-index 1" followed by
the object lines, is still read: installers accept it only while they have
recorded no serial.)

Commands:
    keygen  --private-key FILE --public-key FILE   a new key pair (once per key)
    publish --root DIR [--prefix P] --private-key FILE
            [--serial N] [--expires-in DAYS]       index and signature
    verify  --root DIR [--prefix P] --public-key FILE [--public-key FILE]
                                                   checks a release
    upload  --root DIR [--prefix P] --endpoint URL --bucket NAME
            --key-id ID (--key-secret-file FILE | env KAVIMOR_UPLOAD_KEY_SECRET)
            [--dry-run]                            puts a published release
    key-blob --public-key FILE   the public key's X||Y in hex (for the build)

publish: the serial defaults to one more than that of the index it replaces
(1 when there is none or it has none); DAYS is a decimal number, default 30;
0 or less writes an index that has already expired (for tests). The private
key may be the current or the next release key: an installer built with both
accepts either (see the README for the rotation).

upload: sends the release to an OSS bucket with the V1 header signature,
packages first, then the index, its signature and summary.ini last, so that
an installer never finds a summary.ini whose packages are not there yet.
Each object goes up with its Content-MD5 and is checked by a HEAD (size)
afterwards; the first failure stops the upload before anything that names
the failed object is sent. --dry-run lists what would be sent, in order.

Keys are PEM files as openssl writes them (`openssl ec -pubout` for the
public one). The private key never leaves the publisher's machine; only the
public key goes into the installer build (KAVIMOR_RELEASE_PUBLIC_KEY, and
KAVIMOR_RELEASE_NEXT_PUBLIC_KEY during a rotation).
"""
import argparse
import base64
import email.utils
import hashlib
import hmac
import http.client
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.parse

INDEX_NAME = "release-index.txt"
SIGNATURE_NAME = "release-index.sig"
HEADER_V1 = b"kavimor-release-index 1\n"
HEADER = b"kavimor-release-index 2\n"
DEFAULT_EXPIRY_DAYS = 30.0
TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
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


def build_index(objects, serial, expires):
    """The index bytes; `expires` is seconds since the epoch (UTC)."""
    lines = [HEADER, b"serial %d\n" % serial,
             b"expires %s\n" % time.strftime(TIME_FORMAT, time.gmtime(expires)).encode("ascii")]
    for key, path in objects:
        digest, size = file_digest(path)
        lines.append(b"%s %d %s\n" % (digest.encode("ascii"), size, key.encode("utf-8")))
    return b"".join(lines)


def decimal(text, what, number):
    if not text.isdigit() or (len(text) > 1 and text[0:1] == b"0") or len(text) > 18:
        raise ReleaseError("line %d: bad %s" % (number, what))
    return int(text)


def parse_header(data):
    """(version, serial, expires text, offset of the first object line)."""
    if data.startswith(HEADER_V1):
        return 1, 0, None, len(HEADER_V1)
    if not data.startswith(HEADER):
        raise ReleaseError("not a release index")
    lines = data[len(HEADER):].split(b"\n", 2)
    if len(lines) < 3 or not lines[0].startswith(b"serial ") or not lines[1].startswith(b"expires "):
        raise ReleaseError("line 2: serial and expires expected")
    serial = decimal(lines[0][7:], "serial", 2)
    if serial == 0:
        raise ReleaseError("line 2: bad serial")
    expires = lines[1][8:].decode("ascii", "replace")
    try:
        time.strptime(expires, TIME_FORMAT)
    except ValueError:
        raise ReleaseError("line 3: bad expires")
    if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", expires):
        raise ReleaseError("line 3: bad expires")
    return 2, serial, expires, len(HEADER) + len(lines[0]) + len(lines[1]) + 2


def index_serial(data):
    """The serial of an index (0 for version 1)."""
    return parse_header(data)[1]


def parse_index(data):
    """{key: (size, digest)}; raises ReleaseError on anything not strict."""
    version, _, _, start = parse_header(data)
    if not data.endswith(b"\n"):
        raise ReleaseError("last line unterminated")
    if start >= len(data):
        raise ReleaseError("no objects listed")
    entries = {}
    first = 2 if version == 1 else 4
    for number, line in enumerate(data[start:-1].split(b"\n"), start=first):
        parts = line.split(b" ", 2)
        if len(parts) != 3:
            raise ReleaseError("line %d: three fields expected" % number)
        digest, size, key = parts
        if len(digest) != 64 or any(c not in b"0123456789abcdef" for c in digest):
            raise ReleaseError("line %d: bad digest" % number)
        size = decimal(size, "size", number)
        if not key or any(c < 0x20 or c == 0x7F for c in key):
            raise ReleaseError("line %d: bad key" % number)
        if entries and key <= last:
            raise ReleaseError("line %d: keys out of order or repeated" % number)
        last = key
        entries[key.decode("utf-8")] = (size, digest.decode("ascii"))
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
    try:
        with open(public_key, "rb") as f:
            pem = f.read()
    except OSError as e:
        raise ReleaseError("%s: %s" % (public_key, e.strerror))
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
    top = os.path.join(args.root, args.prefix)
    serial = args.serial
    if serial is None:
        try:
            with open(os.path.join(top, INDEX_NAME), "rb") as f:
                serial = index_serial(f.read()) + 1
        except FileNotFoundError:
            serial = 1
    if serial < 1 or serial >= 10 ** 18:
        raise ReleaseError("the serial must lie between 1 and 10^18 - 1")
    # Whole seconds; an expiry of 0 days or less lies in the past already.
    expires = int(time.time() + args.expires_in * 86400)
    if args.expires_in <= 0:
        expires -= 1
    index = build_index(release_objects(args.root, args.prefix), serial, expires)
    signature = sign(args.private_key, index)
    with open(os.path.join(top, INDEX_NAME), "wb") as f:
        f.write(index)
    with open(os.path.join(top, SIGNATURE_NAME), "wb") as f:
        f.write(signature)
    print("published %d objects, serial %d, expires %s: %s/%s and %s/%s" % (
        len(parse_index(index)), serial, parse_header(index)[2], args.prefix, INDEX_NAME,
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
    if not any(signature_valid(key, index, signature) for key in args.public_key):
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
    version, serial, expires, _ = parse_header(index)
    if version == 1:
        print("verified %d objects (version 1, no serial)" % len(listed))
        return
    now = time.strftime(TIME_FORMAT, time.gmtime())
    print("verified %d objects, serial %d, expires %s%s" % (len(listed), serial, expires,
                                                           " (EXPIRED)" if now >= expires else ""))


# --- upload --------------------------------------------------------------------

def upload_order(root, prefix):
    """(key, path) in the order they go up: packages, index, signature,
    summary.ini. Refuses a folder whose signed index does not match it."""
    top = os.path.join(root, prefix)
    index_path = os.path.join(top, INDEX_NAME)
    signature_path = os.path.join(top, SIGNATURE_NAME)
    for path in (index_path, signature_path):
        if not os.path.isfile(path):
            raise ReleaseError("%s is missing: publish the release first" % path)
    with open(index_path, "rb") as f:
        listed = parse_index(f.read())
    objects = release_objects(root, prefix)
    for key, path in objects:
        if listed.get(key) != tuple(reversed(file_digest(path))):
            raise ReleaseError("%s does not match the index: publish the release again" % key)
    if len(objects) != len(listed):
        raise ReleaseError("the index lists objects the folder lacks: publish the release again")
    summary = prefix + "/summary.ini"
    packages = [(k, p) for k, p in objects if k != summary]
    return packages + [(prefix + "/" + INDEX_NAME, index_path), (prefix + "/" + SIGNATURE_NAME, signature_path),
                       (summary, os.path.join(top, "summary.ini"))]


def oss_quote(key):
    return urllib.parse.quote(key.encode("utf-8"), safe="-_.~")


class Bucket:
    """PUT and HEAD of one OSS bucket with the V1 header signature."""

    def __init__(self, endpoint, bucket, key_id, key_secret):
        scheme, _, host = endpoint.partition("://") if "://" in endpoint else ("https", "", endpoint)
        if scheme.lower() not in ("http", "https"):
            raise ReleaseError("unknown scheme in the endpoint %s" % endpoint)
        self.https = scheme.lower() == "https"
        host = host.rstrip("/")
        name = host.rsplit(":", 1)[0]
        # An IP endpoint takes the bucket into the path; a host name puts it
        # before the host.
        self.path_style = re.fullmatch(r"\d+\.\d+\.\d+\.\d+", name) is not None
        self.host = host if self.path_style else bucket + "." + host
        self.bucket, self.key_id, self.key_secret = bucket, key_id, key_secret

    def request(self, verb, key, body=None, headers=None):
        headers = dict(headers or {})
        headers["Date"] = email.utils.formatdate(time.time(), usegmt=True)
        text = "\n".join([verb, headers.get("Content-MD5", ""), headers.get("Content-Type", ""),
                          headers["Date"]]) + "\n/%s/%s" % (self.bucket, key)
        signature = base64.b64encode(hmac.new(self.key_secret.encode("utf-8"), text.encode("utf-8"),
                                              hashlib.sha1).digest()).decode("ascii")
        headers["Authorization"] = "OSS %s:%s" % (self.key_id, signature)
        path = ("/%s/" % self.bucket if self.path_style else "/") + oss_quote(key)
        connection = (http.client.HTTPSConnection if self.https else http.client.HTTPConnection)(
            self.host, timeout=120)
        try:
            connection.request(verb, path, body=body, headers=headers)
            answer = connection.getresponse()
            data = answer.read()
            return answer.status, answer.getheaders(), data
        except (OSError, http.client.HTTPException) as e:
            raise ReleaseError("%s %s: %s" % (verb, key, e))
        finally:
            connection.close()

    def put(self, key, path):
        with open(path, "rb") as f:
            data = f.read()
        md5 = base64.b64encode(hashlib.md5(data).digest()).decode("ascii")
        status, _, answer = self.request("PUT", key, data, {
            "Content-MD5": md5, "Content-Type": "application/octet-stream",
            "Content-Length": str(len(data))})
        if status != 200:
            raise ReleaseError("PUT %s: HTTP %d %s" % (key, status, answer[:300].decode("utf-8", "replace")))
        status, headers, _ = self.request("HEAD", key)
        length = dict((k.lower(), v) for k, v in headers).get("content-length")
        if status != 200 or length != str(len(data)):
            raise ReleaseError("HEAD %s after the upload: HTTP %d, %s bytes, %d expected" % (
                key, status, length, len(data)))


def upload(args):
    order = upload_order(args.root, args.prefix)
    if args.dry_run:
        for key, path in order:
            print("PUT %s (%d bytes)" % (key, os.path.getsize(path)))
        return
    secret = os.environ.get("KAVIMOR_UPLOAD_KEY_SECRET", "")
    if args.key_secret_file:
        with open(args.key_secret_file, "r", encoding="utf-8") as f:
            secret = f.read().strip()
    if not secret:
        raise ReleaseError("no key secret: --key-secret-file or KAVIMOR_UPLOAD_KEY_SECRET")
    bucket = Bucket(args.endpoint, args.bucket, args.key_id, secret)
    for number, (key, path) in enumerate(order, start=1):
        bucket.put(key, path)
        print("uploaded %d/%d: %s" % (number, len(order), key), flush=True)
    print("uploaded %d objects to %s" % (len(order), args.bucket))


def key_blob(args):
    print(public_key_point(args.public_key).hex())


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    k = sub.add_parser("keygen", help="make a release key pair")
    k.add_argument("--private-key", required=True)
    k.add_argument("--public-key", required=True)
    k.set_defaults(run=keygen)
    commands = {}
    for name, run in (("publish", publish), ("verify", verify), ("upload", upload)):
        c = commands[name] = sub.add_parser(name)
        c.add_argument("--root", required=True, help="folder laid out like the bucket")
        c.add_argument("--prefix", default=DEFAULT_PREFIX)
        c.set_defaults(run=run)
    commands["publish"].add_argument("--private-key", required=True, help="the current or the next release key")
    commands["publish"].add_argument("--serial", type=int, help="default: one more than the index it replaces")
    commands["publish"].add_argument("--expires-in", type=float, default=DEFAULT_EXPIRY_DAYS, metavar="DAYS",
                                     help="days until the index expires (default 30; 0 or less: expired)")
    commands["verify"].add_argument("--public-key", required=True, action="append",
                                    help="a release key; twice during a key rotation")
    u = commands["upload"]
    u.add_argument("--endpoint", required=True, help="[https://|http://]host[:port]; no scheme: HTTPS")
    u.add_argument("--bucket", required=True)
    u.add_argument("--key-id", required=True)
    u.add_argument("--key-secret-file", help="file holding the key secret (or KAVIMOR_UPLOAD_KEY_SECRET)")
    u.add_argument("--dry-run", action="store_true", help="list what would be sent")
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
