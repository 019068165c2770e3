#!/usr/bin/env python3
"""The local object-store server as other OSS clients see it: requests dated
only with x-oss-date (as the Node.js client dates them), error documents
on HEAD answers (x-oss-err), single byte ranges with If-Range, and the body
bytes it logs per request. Signed here independently of the server's code,
as such a client signs."""
import base64
import email.utils
import hashlib
import hmac
import http.client
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
BUCKET, KEY_ID, SECRET = "bucket-t", "LTAIid0001", "secret/+="


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        root = os.path.join(cls.work.name, "root")
        os.makedirs(os.path.join(root, "9.5KavimorIE"))
        with open(os.path.join(root, "9.5KavimorIE", "summary.ini"), "wb") as f:
            f.write(b"[fixstamp]\r\n201805=9.5\r\n")
        cls.blob = bytes(i % 251 for i in range(10000))
        with open(os.path.join(root, "9.5KavimorIE", "blob.bin"), "wb") as f:
            f.write(cls.blob)
        with open(os.path.join(root, "9.5KavimorIE", "empty.bin"), "wb") as f:
            pass
        cls.control = os.path.join(cls.work.name, "control")
        os.makedirs(cls.control)
        port_file = os.path.join(cls.work.name, "port")
        cls.server = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "oss_server.py"), "--root", root,
                                       "--bucket", BUCKET, "--key-id", KEY_ID, "--key-secret", SECRET,
                                       "--port-file", port_file, "--max-lifetime", "120",
                                       "--control-dir", cls.control])
        for _ in range(200):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        with open(port_file) as f:
            cls.port = int(f.read())

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait()
        cls.work.cleanup()

    def request(self, method, key, date_header, skew=0, secret=SECRET, extra=None):
        date = email.utils.formatdate(time.time() + skew, usegmt=True)
        oss_headers = "x-oss-date:%s\n" % date if date_header == "x-oss-date" else ""
        text = "%s\n\n\n%s\n%s/%s/%s" % (method, date, oss_headers, BUCKET, key)
        signature = base64.b64encode(hmac.new(secret.encode(), text.encode(), hashlib.sha1).digest()).decode()
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        headers = {date_header: date, "Authorization": "OSS %s:%s" % (KEY_ID, signature)}
        headers.update(extra or {})
        self.wait_logged(ServerTest.made)
        ServerTest.made += 1
        conn.request(method, "/%s/%s" % (BUCKET, key), headers=headers)
        answer = conn.getresponse()
        body = answer.read()
        conn.close()
        return answer, body

    def test_either_date_header_dates_the_request(self):
        for header in ("Date", "x-oss-date"):
            for skew, status in ((0, 200), (3600, 403), (-3600, 403)):
                with self.subTest(header=header, skew=skew):
                    answer, body = self.request("GET", "9.5KavimorIE/summary.ini", header, skew)
                    self.assertEqual(answer.status, status)
                    if status == 200:
                        self.assertEqual(body, b"[fixstamp]\r\n201805=9.5\r\n")
                    else:
                        self.assertIn(b"<Code>RequestTimeTooSkewed</Code>", body)

    def test_head_errors_carry_their_document_in_x_oss_err(self):
        cases = [("9.5KavimorIE/absent.zip", 0, SECRET, 404, "NoSuchKey"),
                 ("9.5KavimorIE/summary.ini", 0, "wrong", 403, "SignatureDoesNotMatch"),
                 ("9.5KavimorIE/summary.ini", 3600, SECRET, 403, "RequestTimeTooSkewed")]
        for key, skew, secret, status, code in cases:
            with self.subTest(code=code):
                answer, body = self.request("HEAD", key, "x-oss-date", skew, secret)
                self.assertEqual(answer.status, status)
                self.assertEqual(body, b"")
                document = base64.b64decode(answer.getheader("x-oss-err", ""))
                self.assertIn(b"<Code>%s</Code>" % code.encode(), document)
                self.assertIn(b"<RequestId>%s</RequestId>" % answer.getheader("x-oss-request-id").encode(), document)
        answer, _ = self.request("HEAD", "9.5KavimorIE/summary.ini", "x-oss-date")
        self.assertEqual(answer.status, 200)
        self.assertIsNone(answer.getheader("x-oss-err"), "only errors carry a document")

    def set_faults(self, faults):
        with open(os.path.join(self.control, "faults.json"), "w") as f:
            json.dump({"faults": faults}, f)

    def log_lines(self):
        try:
            with open(os.path.join(self.control, "requests.log")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    made = 0  # requests sent so far, one log line each

    def wait_logged(self, count):
        """The log's first `count` lines; a line is written once the body
        is out, which the client may see a moment before."""
        for _ in range(250):
            lines = self.log_lines()
            if len(lines) >= count:
                return lines
            time.sleep(0.02)
        self.fail("request %d not logged" % count)

    def last_logged(self):
        return self.wait_logged(ServerTest.made)[ServerTest.made - 1].split("\t")

    def test_single_ranges_as_the_service_answers_them(self):
        key = "9.5KavimorIE/blob.bin"
        self.set_faults([])
        etag = self.request("HEAD", key, "Date")[0].getheader("ETag")
        size = len(self.blob)
        # Range, If-Range, status, first byte, last byte (None: no body range).
        cases = [("bytes=0-99", None, 206, 0, 99),
                 ("bytes=9990-", None, 206, 9990, size - 1),
                 ("bytes=9990-20000", None, 206, 9990, size - 1),
                 ("bytes=-16", None, 206, size - 16, size - 1),
                 ("bytes=-20000", None, 206, 0, size - 1),
                 ("bytes=4000-", etag, 206, 4000, size - 1),
                 ("bytes=4000-", etag.strip('"'), 206, 4000, size - 1),
                 ("bytes=4000-", '"0123456789ABCDEF0123456789ABCDEF"', 200, 0, size - 1),
                 ("bytes=10000-", None, 416, None, None),
                 ("bytes=20000-30000", None, 416, None, None),
                 ("bytes=-0", None, 416, None, None),
                 ("bytes=5-3", None, 416, None, None),
                 ("bytes=0-1,5-6", None, 200, 0, size - 1),
                 ("pages=1-2", None, 200, 0, size - 1),
                 ("", None, 200, 0, size - 1)]
        for rng, if_range, status, first, last in cases:
            with self.subTest(range=rng, if_range=if_range):
                extra = {"Range": rng} if rng else {}
                if if_range is not None:
                    extra["If-Range"] = if_range
                answer, body = self.request("GET", key, "Date", extra=extra)
                self.assertEqual(answer.status, status)
                logged = self.last_logged()
                self.assertEqual(logged[3], str(status))
                self.assertEqual(logged[7], rng)
                self.assertEqual(logged[9], str(len(body)), "bytes sent are logged")
                if status == 416:
                    self.assertEqual(answer.getheader("Content-Range"), "bytes */%d" % size)
                    self.assertIn(b"<Code>InvalidRange</Code>", body)
                    continue
                self.assertEqual(body, self.blob[first:last + 1])
                self.assertEqual(answer.getheader("Content-Length"), str(last - first + 1))
                self.assertEqual(answer.getheader("ETag"), etag)
                if status == 206:
                    self.assertEqual(answer.getheader("Content-Range"), "bytes %d-%d/%d" % (first, last, size))
                else:
                    self.assertIsNone(answer.getheader("Content-Range"))
        answer, body = self.request("GET", "9.5KavimorIE/empty.bin", "Date", extra={"Range": "bytes=0-"})
        self.assertEqual(answer.status, 416, "no range of an empty object can be satisfied")

    def test_switches_for_ranges_and_slow_bodies(self):
        key = "9.5KavimorIE/blob.bin"
        self.set_faults([{"kind": "ignore_range", "key": key, "times": 1}])
        answer, body = self.request("GET", key, "Date", extra={"Range": "bytes=100-"})
        self.assertEqual((answer.status, body), (200, self.blob))
        self.assertEqual(self.last_logged()[9], str(len(self.blob)))
        answer, body = self.request("GET", key, "Date", extra={"Range": "bytes=100-"})
        self.assertEqual((answer.status, body), (206, self.blob[100:]), "the switch counts its uses")
        self.last_logged()
        # A dropped answer logs what went before the connection closed.
        self.set_faults([{"kind": "drop", "key": key, "value": 3000, "times": 1}])
        with self.assertRaises(http.client.IncompleteRead):
            self.request("GET", key, "Date")
        self.assertEqual(self.last_logged()[9], "3000")
        # A trickle: the first bytes at once, then one a time.
        self.set_faults([{"kind": "trickle", "key": key, "value": 9997, "seconds": 0.3}])
        started = time.monotonic()
        answer, body = self.request("GET", key, "Date")
        self.assertEqual(body, self.blob)
        self.assertGreaterEqual(time.monotonic() - started, 0.6)
        self.last_logged()
        # A rewritten object has a new ETag: an old If-Range gets all of it.
        etag = self.request("HEAD", key, "Date")[0].getheader("ETag")
        self.last_logged()
        self.assertEqual(etag, '"%s"' % hashlib.md5(self.blob).hexdigest().upper(), "the content's MD5")
        path = os.path.join(self.work.name, "root", "9.5KavimorIE", "blob.bin")
        with open(path, "wb") as f:
            f.write(self.blob[::-1])
        os.utime(path, ns=(time.time_ns(), time.time_ns() + 10**9))
        answer, body = self.request("GET", key, "Date", extra={"Range": "bytes=5000-", "If-Range": etag})
        self.assertEqual((answer.status, body), (200, self.blob[::-1]))
        self.assertNotEqual(answer.getheader("ETag"), etag)
        self.last_logged()
        with open(path, "wb") as f:
            f.write(self.blob)
        self.set_faults([])


class LineTest(unittest.TestCase):
    def test_every_connection_shares_the_line(self):
        # 4 Mbit/s: two connections of 25,000 bytes each take 0.1 s together,
        # not 0.05 s side by side.
        sys.path.insert(0, os.path.join(ROOT, "tools"))
        import oss_server
        line = oss_server.Line(4)
        started = time.monotonic()
        senders = [threading.Thread(target=line.wait_for, args=(25000,)) for _ in range(2)]
        for t in senders:
            t.start()
        for t in senders:
            t.join()
        self.assertGreaterEqual(time.monotonic() - started, 0.099)
        self.assertFalse(oss_server.Line(0).limited())


if __name__ == "__main__":
    unittest.main()
