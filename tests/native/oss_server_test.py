#!/usr/bin/env python3
"""The local object-store server as other OSS clients see it: requests dated
only with x-oss-date (as the Node.js client dates them) and error documents
on HEAD answers (x-oss-err). Signed here independently of the server's code,
as such a client signs."""
import base64
import email.utils
import hashlib
import hmac
import http.client
import os
import subprocess
import sys
import tempfile
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
        port_file = os.path.join(cls.work.name, "port")
        cls.server = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "oss_server.py"), "--root", root,
                                       "--bucket", BUCKET, "--key-id", KEY_ID, "--key-secret", SECRET,
                                       "--port-file", port_file, "--max-lifetime", "120"])
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

    def request(self, method, key, date_header, skew=0, secret=SECRET):
        date = email.utils.formatdate(time.time() + skew, usegmt=True)
        oss_headers = "x-oss-date:%s\n" % date if date_header == "x-oss-date" else ""
        text = "%s\n\n\n%s\n%s/%s/%s" % (method, date, oss_headers, BUCKET, key)
        signature = base64.b64encode(hmac.new(secret.encode(), text.encode(), hashlib.sha1).digest()).decode()
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request(method, "/%s/%s" % (BUCKET, key),
                     headers={date_header: date, "Authorization": "OSS %s:%s" % (KEY_ID, signature)})
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


if __name__ == "__main__":
    unittest.main()
