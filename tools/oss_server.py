#!/usr/bin/env python3
"""A local object-store server that speaks enough of the Alibaba Cloud OSS
protocol for the installer: it serves one folder as one bucket.

The installer's tests and the demo run against it; it needs nothing but the
Python 3 standard library.

Usage:
  oss_server.py --root DIR [--bucket NAME] [--key-id ID] [--key-secret SECRET]
                [--cmake-cache build/win/CMakeCache.txt]
                [--port N] [--port-file FILE]
                [--tls-cert PEM --tls-key PEM]
                [--control-dir DIR] [--log-file FILE]
                [--clock-offset SECONDS] [--fault SPEC ...]
                [--idle-exit SECONDS] [--max-lifetime SECONDS]

  --root DIR          folder served as the bucket; the object key is the path
                      relative to DIR with '/' separators
                      (DIR/9.5KavimorIE/summary.ini is 9.5KavimorIE/summary.ini)
  --bucket NAME       bucket name (default kavimor-publish)
  --key-id, --key-secret
                      the one accepted key pair
  --cmake-cache FILE  take bucket, key id and secret from a build's CMake cache
                      (KAVIMOR_OSS_BUCKET, KAVIMOR_OSS_KEY_ID,
                      KAVIMOR_OSS_KEY_SECRET) unless given explicitly; this is
                      how the demo matches the build's deployment values
                      without copying the secret anywhere. The cache's
                      KAVIMOR_OSS_ENDPOINT gives the port when --port is not
                      given, and its scheme must match: http:// for a plain
                      server, https:// or none for one with --tls-cert
  --port N            port on 127.0.0.1; 0 (the default) picks a free one
  --port-file FILE    the chosen port is written there (atomically) once the
                      server listens
  --tls-cert, --tls-key
                      serve HTTPS with this certificate chain and key
  --control-dir DIR   switches and records for tests:
                        DIR/faults.json  read on every request (see below)
                        DIR/requests.log one tab-separated line per request:
                          method, key, query, status, error code, Date header,
                          Content-Type header, Range header, client port (one
                          per connection), body bytes sent, If-Range header
                        DIR/stop         the server exits when this appears
  --log-file FILE     where the server's own output goes (default: nowhere;
                      stdin, stdout and stderr are detached so that a program
                      that starts the server is never held up by them)
  --clock-offset S    the server's clock runs S seconds ahead (negative: behind)
  --fault SPEC        KIND:KEY:VALUE[:TIMES[:SECONDS[:METHOD]]], same fields
                      as a faults.json entry; may be repeated
  --idle-exit S       exit after S seconds without a request (default 600)
  --max-lifetime S    exit after S seconds in any case (default: never)
  --rate-mbit R       send object bodies at R Mbit/s at most, all connections
                      together, as a line of that speed would (default: as
                      fast as loopback goes)

faults.json:
  {"clock_offset": 1800,
   "faults": [{"kind": "drop", "key": "a/b.zip", "value": 1000, "times": 2}]}
  A change of the file's content replaces every switch and restarts their
  counts. "key" "*" matches every key; "times" is how many matching requests
  are affected (0 or absent: all of them); "method" is GET (default), HEAD or
  "*" (PUT for uploads). Kinds:
    status   answer with HTTP status VALUE (500, 503...) and an XML error body
    drop     send VALUE body bytes, then close the connection (PUT: read
             VALUE body bytes, then close it without an answer)
    stall    send VALUE body bytes, then wait SECONDS before going on
    trickle  send VALUE body bytes, then one byte every SECONDS
    corrupt  flip the body byte at offset VALUE (the CRC header stays right)
    bad_crc  send an x-oss-hash-crc64ecma that is off by one
    head_length  (with "method": "HEAD") announce Content-Length VALUE
    close_framed  answer without Content-Length and without the CRC
             header: the body ends with the connection, closed properly
             (over TLS after a close_notify)
    close_framed_cut  the same, but the TCP connection is closed after
             VALUE body bytes, without a close_notify
    ignore_range  answer a GET with Range as if it had none: 200 and the
             whole object (what a proxy or an old server may do)
    handshake_close  (with --tls-cert, "method": "TLS") read the client's
             first handshake message, then close the connection; logged as
             a request with method TLS and code HandshakeClosed

Behaviour towards clients, as the service behaves: header signature V1 is
checked on every request (403 SignatureDoesNotMatch with StringToSign and
StringToSignBytes, 403 InvalidAccessKeyId, 403 AccessDenied without
Authorization), a request time (Date, or x-oss-date when there is no Date)
more than 15 minutes off gives 403 RequestTimeTooSkewed with ServerTime, a
missing object 404 NoSuchKey (XML on GET; on HEAD no body, and every HEAD
error carries its XML document base64-encoded in x-oss-err). PUT stores
an object (publish.py upload): the body goes to a temporary file that
replaces the object only once it is whole and matches its Content-MD5
(400 InvalidDigest otherwise), so readers never see a part of it. Every answer has x-oss-request-id; objects have
Content-Length and x-oss-hash-crc64ecma. Both path-style (/bucket/key, for an
IP endpoint) and virtual-hosted (bucket.host/key) requests are understood,
and the path is percent-decoded as a whole, so %2F and / are the same.
A GET with one byte range (Range: bytes=A-B, bytes=A- or bytes=-N) gets 206
with Content-Range; a range that starts at or past the end (or any range of
an empty object) 416 InvalidRange with "Content-Range: bytes */SIZE"; a
malformed or multiple range is ignored (200, the whole object), as the
service does. If-Range with an ETag other than the object's current one
makes the range ignored too. An object's ETag is the MD5 of its content in
upper-case hex, as for a simple upload to the service.
Bodies are streamed (sendfile without TLS); each object's CRC-64 and MD5 are
computed once per file version and cached.
"""

import argparse
import base64
import email.utils
import hashlib
import hmac
import json
import os
import re
import socket
import socketserver
import ssl
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, HTTPServer
from urllib.parse import unquote_to_bytes

# --- CRC-64/XZ -----------------------------------------------------------

POLY = 0xC96C5795D7870F42
MASK = 0xFFFFFFFFFFFFFFFF
TABLE = []
for _n in range(256):
    _c = _n
    for _ in range(8):
        _c = (_c >> 1) ^ POLY if _c & 1 else _c >> 1
    TABLE.append(_c)


def crc64(data, crc=0):
    crc ^= MASK
    table = TABLE
    for b in data:
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ MASK


def _gf2_times(mat, vec):
    s = 0
    i = 0
    while vec:
        if vec & 1:
            s ^= mat[i]
        vec >>= 1
        i += 1
    return s


def _gf2_square(mat):
    return [_gf2_times(mat, mat[n]) for n in range(64)]


def shift_operator(nbytes):
    """Matrix that advances a CRC register over nbytes zero bytes."""
    op = [1 << n for n in range(64)]  # identity
    power = [POLY] + [1 << (n - 1) for n in range(1, 64)]  # one zero bit
    for _ in range(3):
        power = _gf2_square(power)  # one zero byte
    while nbytes:
        if nbytes & 1:
            op = [_gf2_times(power, op[n]) for n in range(64)]
        nbytes >>= 1
        if nbytes:
            power = _gf2_square(power)
    return op


def crc64_combine(crc1, crc2, len2, op=None):
    if len2 == 0:
        return crc1
    if op is None:
        op = shift_operator(len2)
    return _gf2_times(op, crc1) ^ crc2


CHUNK = 1 << 20
_chunk_op = None
_chunk_crcs = {}  # md5 of a whole chunk -> its CRC
_crc_cache = {}   # (path, size, mtime_ns) -> CRC
_crc_lock = threading.Lock()


def file_crc64(path):
    """CRC-64 and MD5 (the ETag of a simply uploaded object, as the service
    makes it: upper-case hex) of a file, cached per file version. Whole
    chunks are looked up by their MD5 first, so repeated content (the large
    test objects) costs one pure-Python CRC pass per distinct chunk; the
    rest is combining."""
    global _chunk_op
    st = os.stat(path)
    ident = (path, st.st_size, st.st_mtime_ns)
    with _crc_lock:
        if ident in _crc_cache:
            return _crc_cache[ident]
        if _chunk_op is None:
            _chunk_op = shift_operator(CHUNK)
        crc = 0
        whole = hashlib.md5()
        with open(path, 'rb') as f:
            while True:
                block = f.read(CHUNK)
                if not block:
                    break
                whole.update(block)
                if len(block) == CHUNK:
                    digest = hashlib.md5(block).digest()
                    part = _chunk_crcs.get(digest)
                    if part is None:
                        part = crc64(block)
                        _chunk_crcs[digest] = part
                    crc = crc64_combine(crc, part, CHUNK, _chunk_op)
                else:
                    crc = crc64_combine(crc, crc64(block), len(block))
        _crc_cache[ident] = (crc, whole.hexdigest().upper())
        return _crc_cache[ident]


# --- signing ---------------------------------------------------------------

SIGNED_PARAMETERS = {
    'acl', 'uploads', 'location', 'cors', 'logging', 'website', 'referer', 'lifecycle',
    'delete', 'append', 'tagging', 'objectMeta', 'uploadId', 'partNumber', 'security-token',
    'position', 'img', 'style', 'styleName', 'replication', 'replicationProgress',
    'replicationLocation', 'cname', 'bucketInfo', 'comp', 'qos', 'live', 'status', 'vod',
    'startTime', 'endTime', 'symlink', 'x-oss-process', 'response-content-type',
    'response-content-language', 'response-expires', 'response-cache-control',
    'response-content-disposition', 'response-content-encoding', 'udf', 'udfName',
    'udfImage', 'udfId', 'udfImageDesc', 'udfApplication', 'udfApplicationLog', 'restore',
    'callback', 'callback-var', 'policy', 'stat', 'encryption', 'versions', 'versioning',
    'versionId', 'x-oss-traffic-limit', 'requestPayment', 'qosInfo', 'inventory',
    'inventoryId', 'continuation-token', 'worm', 'wormId', 'wormExtend'}


def decode(raw):
    return unquote_to_bytes(raw).decode('utf-8', 'surrogateescape')


def parse_query(query):
    params = {}
    if query:
        for part in query.split('&'):
            if not part:
                continue
            name, _, value = part.partition('=')
            params[decode(name)] = decode(value)  # "name" and "name=" alike
    return params


def canonical_resource(bucket, key, params):
    out = '/' + bucket + '/' + key
    sep = '?'
    for name in sorted(params):
        if name not in SIGNED_PARAMETERS:
            continue
        out += sep + name + ('=' + params[name] if params[name] else '')
        sep = '&'
    return out


def request_date(headers):
    """The request's time as the client stated it: Date, or x-oss-date for
    clients that cannot set Date (the Node.js client dates only with it)."""
    return headers.get('Date') or headers.get('x-oss-date') or ''


def string_to_sign(verb, headers, resource):
    date = request_date(headers)
    lines = [verb, headers.get('Content-MD5', ''), headers.get('Content-Type', ''), date]
    oss = sorted((k.strip().lower(), v.strip()) for k, v in headers.items()
                 if k.strip().lower().startswith('x-oss-'))
    text = '\n'.join(lines) + '\n'
    for k, v in oss:
        text += k + ':' + v + '\n'
    return text + resource


def sign(secret, text):
    digest = hmac.new(secret.encode('utf-8'), text.encode('utf-8', 'surrogateescape'),
                      hashlib.sha1).digest()
    return base64.b64encode(digest).decode('ascii')


def xml_escape(text):
    return (text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')
            .replace('"', '&quot;'))


def iso_time(t):
    return time.strftime('%Y-%m-%dT%H:%M:%S.000Z', time.gmtime(t))


# --- switches ----------------------------------------------------------------

class Switches:
    """The test switches: read from faults.json on each request, plus the
    command line's. Counting is per switch, under one lock."""

    def __init__(self, control_dir, base_faults, base_offset):
        self.control_dir = control_dir
        self.lock = threading.Lock()
        self.base_faults = base_faults
        self.base_offset = base_offset
        self.text = None
        self.faults = [dict(f, used=0) for f in base_faults]
        self.offset = base_offset

    def refresh(self):
        if not self.control_dir:
            return
        path = os.path.join(self.control_dir, 'faults.json')
        try:
            with open(path, 'r', encoding='utf-8') as f:
                text = f.read()
        except OSError:
            text = ''
        with self.lock:
            if text == self.text:
                return
            self.text = text
            data = {}
            if text.strip():
                try:
                    data = json.loads(text)
                except ValueError:
                    data = {}
            self.offset = float(data.get('clock_offset', self.base_offset))
            faults = list(self.base_faults) + list(data.get('faults', []))
            self.faults = [dict(f, used=0) for f in faults]

    def now(self):
        with self.lock:
            return time.time() + self.offset

    def take(self, method, key):
        """The switches that apply to this request, counted as used."""
        hits = []
        with self.lock:
            for f in self.faults:
                if f.get('key', '*') not in ('*', key):
                    continue
                if f.get('method', 'GET') not in ('*', method):
                    continue
                times = int(f.get('times', 0) or 0)
                if times and f['used'] >= times:
                    continue
                f['used'] += 1
                hits.append(f)
        return hits


def parse_range(text):
    """(first, last) of a single byte range, None for either end left
    open ((None, N) asks for the last N bytes); None when there is no range
    or it is malformed or multiple, which the service answers with the
    whole object."""
    m = re.match(r'^\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*$', text or '')
    if not m or not (m.group(1) or m.group(2)):
        return None
    if not m.group(1):
        return None, int(m.group(2))
    return int(m.group(1)), int(m.group(2)) if m.group(2) else None


def parse_fault(spec):
    parts = spec.split(':')
    if len(parts) < 3:
        raise argparse.ArgumentTypeError('fault is KIND:KEY:VALUE[:TIMES[:SECONDS[:METHOD]]]')
    fault = {'kind': parts[0], 'key': parts[1], 'value': int(parts[2])}
    if len(parts) > 3:
        fault['times'] = int(parts[3])
    if len(parts) > 4:
        fault['seconds'] = float(parts[4])
    if len(parts) > 5:
        fault['method'] = parts[5]
    return fault


# --- the server ---------------------------------------------------------------

class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    server_version = 'AliyunOSS'
    sys_version = ''

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        self.dropped = False
        if isinstance(self.connection, ssl.SSLSocket):
            self.connection.settimeout(30)
            switches = self.server.switches
            switches.refresh()
            if any(f['kind'] == 'handshake_close' for f in switches.take('TLS', '*')):
                # Read the client's hello as raw bytes, then hang up.
                socket.socket.recv(self.connection, 4096)
                self.connection.shutdown(socket.SHUT_RDWR)
                self.dropped = True
                self.record_line(['TLS', '-', '', '0', 'HandshakeClosed', '', '', ''])
                return
            self.connection.do_handshake()

    def handle(self):
        if self.dropped:
            return
        try:
            super().handle()
        except (ConnectionError, ssl.SSLError, socket.timeout, OSError):
            pass

    def do_GET(self):
        self.serve('GET')

    def do_HEAD(self):
        self.serve('HEAD')

    def do_PUT(self):
        self.serve('PUT')

    # --- helpers ---

    def record(self, method, key, query, status, code, sent=0):
        cfg = self.server.cfg
        cfg.last_request = time.time()
        if not cfg.control_dir:
            return
        self.record_line([method, key, query, str(status), code or '-',
                          self.headers.get('Date', ''), self.headers.get('Content-Type', ''),
                          self.headers.get('Range', '')],
                         [str(sent), self.headers.get('If-Range', '')])

    def record_line(self, fields, after_port=()):
        cfg = self.server.cfg
        if not cfg.control_dir:
            return
        fields = fields + [str(self.client_address[1])] + list(after_port)
        line = '\t'.join(f.replace('\t', ' ').replace('\n', ' ') for f in fields) + '\n'
        with cfg.log_lock:
            with open(os.path.join(cfg.control_dir, 'requests.log'), 'a',
                      encoding='utf-8', errors='surrogateescape') as f:
                f.write(line)

    def common_headers(self, request_id):
        self.send_header('x-oss-request-id', request_id)
        self.send_header('Date', email.utils.formatdate(self.server.switches.now(), usegmt=True))

    def error(self, method, key, query, request_id, status, code, message, extra='',
              more_headers=()):
        document = ('<?xml version="1.0" encoding="UTF-8"?>\n<Error>\n'
                    '  <Code>%s</Code>\n  <Message>%s</Message>\n  <RequestId>%s</RequestId>\n'
                    '  <HostId>%s</HostId>\n%s  <EC>0000-00000000</EC>\n</Error>\n' % (
                        xml_escape(code), xml_escape(message), request_id,
                        xml_escape(self.headers.get('Host', '')), extra)).encode('utf-8')
        body = b'' if method == 'HEAD' else document
        self.record(method, key, query, status, code, len(body))
        self.send_response(status)
        self.common_headers(request_id)
        self.send_header('Content-Type', 'application/xml')
        self.send_header('Content-Length', str(len(body)))
        self.send_header('x-oss-ec', '0000-00000000')
        if method == 'HEAD':
            # A HEAD answer has no body: the error document travels in a
            # header, so that a client can still tell one 403 from another.
            self.send_header('x-oss-err', base64.b64encode(document).decode('ascii'))
        for name, value in more_headers:
            self.send_header(name, value)
        self.end_headers()
        if body:
            self.wfile.write(body)

    def serve(self, method):
        cfg = self.server.cfg
        switches = self.server.switches
        switches.refresh()
        request_id = uuid.uuid4().hex[:24].upper()
        if method == 'PUT':
            # An upload's body may be left unread by an early answer: the
            # connection ends with the answer.
            self.close_connection = True
        target = self.path
        # A server must accept the absolute form (RFC 7230, 5.3.2); Wine's
        # WinHTTP sends it inside a CONNECT tunnel too.
        for scheme in ('http://', 'https://'):
            if target.startswith(scheme):
                slash = target.find('/', len(scheme))
                target = target[slash:] if slash >= 0 else '/'
        raw_path, _, query = target.partition('?')
        params = parse_query(query)
        path = decode(raw_path)
        host = (self.headers.get('Host') or '').rsplit(':', 1)[0]
        if host.startswith(cfg.bucket + '.'):
            bucket, key = cfg.bucket, path[1:]
        else:
            bucket, _, key = path[1:].partition('/')
        if bucket != cfg.bucket:
            return self.error(method, key, query, request_id, 404, 'NoSuchBucket',
                              'The specified bucket does not exist.',
                              '  <BucketName>%s</BucketName>\n' % xml_escape(bucket))

        auth = self.headers.get('Authorization', '')
        m = re.match(r'^OSS ([^:]+):(.+)$', auth)
        if not m:
            return self.error(method, key, query, request_id, 403, 'AccessDenied',
                              'You have no right to access this object because of bucket acl.')
        if m.group(1) != cfg.key_id:
            return self.error(method, key, query, request_id, 403, 'InvalidAccessKeyId',
                              'The OSS Access Key Id you provided does not exist in our records.',
                              '  <OSSAccessKeyId>%s</OSSAccessKeyId>\n' % xml_escape(m.group(1)))
        text = string_to_sign(method, self.headers, canonical_resource(bucket, key, params))
        if not hmac.compare_digest(sign(cfg.key_secret, text), m.group(2)):
            hexbytes = ' '.join('%02X' % b for b in text.encode('utf-8', 'surrogateescape'))
            return self.error(
                method, key, query, request_id, 403, 'SignatureDoesNotMatch',
                'The request signature we calculated does not match the signature you provided. '
                'Check your key and signing method.',
                '  <OSSAccessKeyId>%s</OSSAccessKeyId>\n  <SignatureProvided>%s'
                '</SignatureProvided>\n  <StringToSign>%s</StringToSign>\n'
                '  <StringToSignBytes>%s</StringToSignBytes>\n' % (
                    xml_escape(m.group(1)), xml_escape(m.group(2)), xml_escape(text), hexbytes))
        now = switches.now()
        try:
            request_time = email.utils.parsedate_to_datetime(request_date(self.headers)).timestamp()
        except (TypeError, ValueError):
            request_time = None
        if request_time is None or abs(request_time - now) > 900:
            shown = iso_time(request_time) if request_time is not None else ''
            return self.error(
                method, key, query, request_id, 403, 'RequestTimeTooSkewed',
                'The difference between the request time and the current time is too large.',
                '  <MaxAllowedSkewMilliseconds>900000</MaxAllowedSkewMilliseconds>\n'
                '  <RequestTime>%s</RequestTime>\n  <ServerTime>%s</ServerTime>\n' % (
                    shown, iso_time(now)))

        faults = switches.take(method, key)
        for f in faults:
            if f['kind'] == 'status':
                status = int(f['value'])
                code = {416: 'InvalidRange', 500: 'InternalError', 502: 'BadGateway',
                        503: 'ServiceUnavailable'}.get(status, 'InternalError')
                return self.error(method, key, query, request_id, status, code,
                                  'We encountered an internal error. Please try again.')

        full = os.path.realpath(os.path.join(cfg.root, key))
        if method == 'PUT':
            return self.store(key, query, request_id, full, faults)
        if (not key or key.startswith('/') or '\\' in key
                or os.path.commonpath([cfg.root, full]) != cfg.root or not os.path.isfile(full)):
            return self.error(method, key, query, request_id, 404, 'NoSuchKey',
                              'The specified key does not exist.',
                              '  <Key>%s</Key>\n' % xml_escape(key))

        size = os.path.getsize(full)
        crc, etag = file_crc64(full)
        st = os.stat(full)
        start, end, status = 0, size - 1, 200
        wanted = parse_range(self.headers.get('Range', '')) if method == 'GET' else None
        if_range = self.headers.get('If-Range')
        if wanted is not None and if_range is not None and if_range.strip().strip('"') != etag:
            wanted = None  # the object changed since the client's first part: all of it
        if wanted is not None and any(f['kind'] == 'ignore_range' for f in faults):
            wanted = None
        if wanted is not None:
            first, last = wanted
            if first is None:  # the last N bytes
                first, last = max(0, size - last), size - 1 if last > 0 else -1
            elif last is None or last >= size:
                last = size - 1
            if size == 0 or first >= size or last < first:
                return self.error(method, key, query, request_id, 416, 'InvalidRange',
                                  'The requested range cannot be satisfied',
                                  '  <RangeRequested>%s</RangeRequested>\n'
                                  '  <ActualObjectSize>%d</ActualObjectSize>\n' % (
                                      xml_escape(self.headers.get('Range', '')), size),
                                  [('Content-Range', 'bytes */%d' % size)])
            start, end, status = first, last, 206
        length = end - start + 1 if size > 0 else 0
        if method == 'HEAD':
            for f in faults:
                if f['kind'] == 'head_length':
                    length = int(f['value'])
        if any(f['kind'] == 'bad_crc' for f in faults):
            crc = (crc + 1) & MASK
        framed = [f for f in faults if f['kind'] in ('close_framed', 'close_framed_cut')]
        if framed and method == 'GET' and status == 200:
            return self.send_close_framed(key, query, request_id, full, size, framed[0])

        self.send_response(status)
        self.common_headers(request_id)
        self.send_header('Content-Type', 'application/octet-stream')
        self.send_header('Content-Length', str(length))
        self.send_header('Accept-Ranges', 'bytes')
        self.send_header('ETag', '"%s"' % etag)
        self.send_header('Last-Modified', email.utils.formatdate(st.st_mtime, usegmt=True))
        self.send_header('x-oss-object-type', 'Normal')
        self.send_header('x-oss-hash-crc64ecma', str(crc))
        self.send_header('x-oss-storage-class', 'Standard')
        if status == 206:
            self.send_header('Content-Range', 'bytes %d-%d/%d' % (start, end, size))
        self.end_headers()
        self.body_sent = 0
        try:
            if method != 'HEAD' and length > 0:
                self.wfile.flush()
                self.send_body(full, start, length, faults)
        finally:
            # Logged once the body is out (or the connection failed), with
            # the bytes that really went.
            self.record(method, key, query, status, '', self.body_sent)

    def store(self, key, query, request_id, full, faults):
        """PUT: the body lands in a temporary file beside the object and
        replaces it only once it has arrived whole (and matches its
        Content-MD5 when one was sent), so a reader sees the old object or
        the new one, never a part."""
        cfg = self.server.cfg
        try:
            length = int(self.headers.get('Content-Length', ''))
        except ValueError:
            length = -1
        if (not key or key.startswith('/') or '\\' in key or key.endswith('/')
                or os.path.commonpath([cfg.root, full]) != cfg.root or os.path.isdir(full)):
            self.close_connection = True
            return self.error('PUT', key, query, request_id, 400, 'InvalidObjectName',
                              'The specified object is not valid.')
        if length < 0:
            self.close_connection = True
            return self.error('PUT', key, query, request_id, 411, 'MissingContentLength',
                              'You must provide the Content-Length HTTP header.')
        drop_at = None
        for f in faults:
            if f['kind'] == 'drop':
                drop_at = int(f['value'])
        os.makedirs(os.path.dirname(full), exist_ok=True)
        temporary = '%s.upload-%s' % (full, request_id)
        digest = hashlib.md5()
        try:
            with open(temporary, 'wb') as out:
                left = length
                while left > 0:
                    if drop_at is not None and length - left >= drop_at:
                        # The connection breaks in the middle of the body.
                        self.record('PUT', key, query, 0, 'Dropped')
                        self.close_connection = True
                        self.connection.shutdown(socket.SHUT_RDWR)
                        return
                    want = min(left, 1 << 18)
                    if drop_at is not None:
                        want = min(want, max(1, drop_at - (length - left)))
                    block = self.rfile.read(want)
                    if not block:
                        self.close_connection = True
                        self.record('PUT', key, query, 0, 'IncompleteBody')
                        return
                    out.write(block)
                    digest.update(block)
                    left -= len(block)
            sent_md5 = self.headers.get('Content-MD5')
            if sent_md5 and sent_md5 != base64.b64encode(digest.digest()).decode('ascii'):
                return self.error('PUT', key, query, request_id, 400, 'InvalidDigest',
                                  'The Content-MD5 you specified is not valid.')
            os.replace(temporary, full)
        finally:
            if os.path.exists(temporary):
                os.remove(temporary)
        self.record('PUT', key, query, 200, '')
        self.send_response(200)
        self.common_headers(request_id)
        self.send_header('Content-Length', '0')
        self.send_header('ETag', '"%s"' % digest.hexdigest().upper())
        self.send_header('x-oss-hash-crc64ecma', str(file_crc64(full)))
        self.end_headers()

    def send_close_framed(self, key, query, request_id, full, size, fault):
        """A body that only the connection's end frames, as an old server
        or a proxy may send it; cut short on request."""
        self.record('GET', key, query, 200, '')
        self.close_connection = True
        self.send_response(200)
        self.common_headers(request_id)
        self.send_header('Content-Type', 'application/octet-stream')
        self.send_header('Connection', 'close')
        self.end_headers()
        with open(full, 'rb') as f:
            data = f.read()
        sock = self.connection
        if fault['kind'] == 'close_framed_cut':
            sock.sendall(data[:int(fault['value'])])
            # Straight to TCP: no close_notify, as an attacker on the path
            # would end it.
            socket.socket.shutdown(sock, socket.SHUT_RDWR)
            return
        sock.sendall(data)
        if isinstance(sock, ssl.SSLSocket):
            try:
                sock.settimeout(1)  # the client need not answer the close_notify
                sock.unwrap()
            except (OSError, ssl.SSLError):
                pass
        sock.shutdown(socket.SHUT_RDWR)

    def send_body(self, full, start, length, faults):
        drop_at = stall_at = corrupt_at = trickle_at = None
        stall_for = trickle_every = 0.0
        for f in faults:
            if f['kind'] == 'drop':
                drop_at = int(f['value'])
            elif f['kind'] == 'stall':
                stall_at = int(f['value'])
                stall_for = float(f.get('seconds', 30))
            elif f['kind'] == 'corrupt':
                corrupt_at = int(f['value'])
            elif f['kind'] == 'trickle':
                trickle_at = int(f['value'])
                trickle_every = float(f.get('seconds', 1))
        sock = self.connection
        line = self.server.cfg.line
        with open(full, 'rb') as f:
            if drop_at is None and stall_at is None and corrupt_at is None and trickle_at is None \
                    and not isinstance(sock, ssl.SSLSocket) and not line.limited():
                offset, left = start, length
                while left > 0:
                    n = os.sendfile(sock.fileno(), f.fileno(), offset, min(left, 1 << 24))
                    if n == 0:
                        break
                    offset += n
                    left -= n
                    self.body_sent = length - left
                return length - left
            f.seek(start)
            sent = 0
            while sent < length:
                limit = length - sent
                for mark in (drop_at, stall_at, trickle_at):
                    if mark is not None and mark > sent:
                        limit = min(limit, mark - sent)
                if drop_at is not None and sent >= drop_at:
                    self.close_connection = True
                    sock.shutdown(socket.SHUT_RDWR)
                    return sent
                if stall_at is not None and sent >= stall_at:
                    time.sleep(stall_for)
                    stall_at = None
                    continue
                if trickle_at is not None and sent >= trickle_at:
                    limit = 1
                block = f.read(min(limit, 1 << 16 if line.limited() else 1 << 18))
                if not block:
                    break
                line.wait_for(len(block))
                if corrupt_at is not None and sent <= corrupt_at < sent + len(block):
                    b = bytearray(block)
                    b[corrupt_at - sent] ^= 0xFF
                    block = bytes(b)
                sock.sendall(block)
                sent += len(block)
                self.body_sent = sent
                if trickle_at is not None and sent >= trickle_at:
                    time.sleep(trickle_every)
            return sent


class Line:
    """A line of a given speed shared by every connection: each block of
    body bytes takes the next free slot of the line's time and is sent when
    its slot ends."""

    def __init__(self, mbit):
        self.seconds_per_byte = 8 / (mbit * 1e6) if mbit > 0 else 0.0
        self.lock = threading.Lock()  # guards free_at: every connection's thread books slots
        self.free_at = 0.0

    def limited(self):
        return self.seconds_per_byte > 0

    def wait_for(self, count):
        with self.lock:
            now = time.monotonic()
            self.free_at = max(self.free_at, now) + count * self.seconds_per_byte
            due = self.free_at
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)


class Server(socketserver.ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


class Config:
    pass


def read_cmake_cache(path):
    values = {}
    with open(path, 'r', encoding='utf-8', errors='replace') as f:
        for line in f:
            m = re.match(r'^(KAVIMOR_OSS_[A-Z_]+):[A-Z]+=(.*)$', line.rstrip('\n'))
            if m:
                values[m.group(1)] = m.group(2)
    return values


def detach(log_file):
    """Let go of the starter's standard streams (a test harness waits for
    them to close) and of every other inherited descriptor."""
    null = os.open(os.devnull, os.O_RDWR)
    out = os.open(log_file, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644) if log_file else null
    os.dup2(null, 0)
    os.dup2(out, 1)
    os.dup2(out, 2)
    os.closerange(3, 1024)


def main(argv=None):
    p = argparse.ArgumentParser(description='Local OSS-compatible server (see module doc).')
    p.add_argument('--root', required=True)
    p.add_argument('--bucket')
    p.add_argument('--key-id')
    p.add_argument('--key-secret')
    p.add_argument('--cmake-cache')
    p.add_argument('--port', type=int, default=0)
    p.add_argument('--port-file')
    p.add_argument('--tls-cert')
    p.add_argument('--tls-key')
    p.add_argument('--control-dir')
    p.add_argument('--log-file')
    p.add_argument('--clock-offset', type=float, default=0.0)
    p.add_argument('--fault', type=parse_fault, action='append', default=[])
    p.add_argument('--idle-exit', type=float, default=600.0)
    p.add_argument('--max-lifetime', type=float, default=0.0)
    p.add_argument('--rate-mbit', type=float, default=0.0)
    args = p.parse_args(argv)
    if args.log_file or args.port_file:
        detach(args.log_file)

    cache = read_cmake_cache(args.cmake_cache) if args.cmake_cache else {}
    cfg = Config()
    cfg.root = os.path.realpath(args.root)
    cfg.bucket = args.bucket or cache.get('KAVIMOR_OSS_BUCKET') or 'kavimor-publish'
    cfg.key_id = args.key_id or cache.get('KAVIMOR_OSS_KEY_ID')
    cfg.key_secret = args.key_secret or cache.get('KAVIMOR_OSS_KEY_SECRET')
    if not cfg.key_id or not cfg.key_secret:
        p.error('a key pair is needed: --key-id/--key-secret or --cmake-cache')
    endpoint = cache.get('KAVIMOR_OSS_ENDPOINT')
    if endpoint:
        # The build's endpoint decides the scheme: without "http://" the
        # program talks TLS and a plain server would only see handshakes.
        plain = endpoint.lower().startswith('http://')
        if not plain and not args.tls_cert:
            p.error('the build talks HTTPS to %s: serve with --tls-cert/--tls-key, or '
                    'build with -DKAVIMOR_OSS_ENDPOINT=http://...' % endpoint)
        if plain and args.tls_cert:
            p.error('the build talks plain HTTP to %s: leave out --tls-cert' % endpoint)
        m = re.search(r':(\d+)$', endpoint.split('/', 3)[2] if '://' in endpoint else endpoint)
        if args.port == 0 and m:
            args.port = int(m.group(1))
    cfg.control_dir = args.control_dir
    cfg.log_lock = threading.Lock()
    cfg.last_request = time.time()
    cfg.line = Line(args.rate_mbit)

    server = Server(('127.0.0.1', args.port), Handler)
    server.cfg = cfg
    server.switches = Switches(cfg.control_dir, args.fault, args.clock_offset)
    if args.tls_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + '.tmp'
        with open(tmp, 'w') as f:
            f.write('%d\n' % port)
        os.replace(tmp, args.port_file)
    print('oss_server: serving %s as bucket %s on 127.0.0.1:%d%s' % (
        cfg.root, cfg.bucket, port, ' (TLS)' if args.tls_cert else ''), flush=True)

    started = time.time()

    def watch():
        while True:
            time.sleep(0.2)
            now = time.time()
            if cfg.control_dir and os.path.exists(os.path.join(cfg.control_dir, 'stop')):
                break
            if args.idle_exit and now - cfg.last_request > args.idle_exit:
                break
            if args.max_lifetime and now - started > args.max_lifetime:
                break
        server.shutdown()

    threading.Thread(target=watch, daemon=True).start()
    server.serve_forever(poll_interval=0.2)
    server.server_close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
