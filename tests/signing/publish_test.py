#!/usr/bin/env python3
"""The publish tool's release index and signature, natively: a published
release verifies, and any changed byte (of an object, the index or the
signature), a changed object set or another key makes it fail."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "publish.py")
sys.path.insert(0, os.path.dirname(TOOL))
import publish  # noqa: E402

PREFIX = "9.5KavimorIE"


def run(*args):
    return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True)


class PublishTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp(prefix="publish-keys-")
        for name in ("release", "other"):
            r = run("keygen", "--private-key", cls.key(name, "key"), "--public-key", cls.key(name, "pub"))
            assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys)

    @classmethod
    def key(cls, name, kind):
        return os.path.join(cls.keys, "%s.%s.pem" % (name, kind))

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="publish-bucket-")
        top = os.path.join(self.root, PREFIX)
        os.makedirs(os.path.join(top, "fix"))
        files = {"summary.ini": b"[fixstamp]\r\n201805=9.5.9.1\r\n", "base.zip": os.urandom(3000),
                 "fix/9.5.9.1.zip": os.urandom(5000), "config.zip": b""}
        for name, data in files.items():
            with open(os.path.join(top, name), "wb") as f:
                f.write(data)
        r = run("publish", "--root", self.root, "--private-key", self.key("release", "key"))
        self.assertEqual(r.returncode, 0, r.stderr)

    def tearDown(self):
        shutil.rmtree(self.root)

    def path(self, name):
        return os.path.join(self.root, PREFIX, name)

    def verify(self, name="release"):
        return run("verify", "--root", self.root, "--public-key", self.key(name, "pub"))

    def test_round_trip(self):
        with open(self.path(publish.INDEX_NAME), "rb") as f:
            index = f.read()
        self.assertEqual(index.split(b"\n")[0], b"kavimor-release-index 1")
        listed = publish.parse_index(index)
        self.assertEqual(sorted(listed), ["9.5KavimorIE/base.zip", "9.5KavimorIE/config.zip",
                                          "9.5KavimorIE/fix/9.5.9.1.zip", "9.5KavimorIE/summary.ini"])
        self.assertEqual(listed["9.5KavimorIE/config.zip"],
                         (0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"))
        self.assertEqual(os.path.getsize(self.path(publish.SIGNATURE_NAME)), 64)
        r = self.verify()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("verified 4 objects", r.stdout)

    def test_every_change_fails(self):
        def flip(name, at):
            def change():
                with open(self.path(name), "r+b") as f:
                    f.seek(at)
                    byte = f.read(1)
                    f.seek(at)
                    f.write(bytes([byte[0] ^ 1]))
            return change

        def write(name, data):
            def change():
                with open(self.path(name), "wb") as f:
                    f.write(data)
            return change

        cases = [
            ("package byte", flip("fix/9.5.9.1.zip", 4999), "fix/9.5.9.1.zip: size 5000"),
            ("manifest byte", flip("summary.ini", 0), "summary.ini: size"),
            ("index byte", flip(publish.INDEX_NAME, 40), "does not verify"),
            ("signature byte", flip(publish.SIGNATURE_NAME, 63), "does not verify"),
            ("truncated signature", lambda: os.truncate(self.path(publish.SIGNATURE_NAME), 63), "does not verify"),
            ("object added", write("quant.zip", b"x"), "quant.zip is not in the index"),
            ("object removed", lambda: os.remove(self.path("base.zip")), "base.zip is listed but missing"),
            ("no signature", lambda: os.remove(self.path(publish.SIGNATURE_NAME)), "release-index.sig"),
        ]
        for name, change, message in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                change()
                r = self.verify()
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn(message, r.stderr)
        self.tearDown()
        self.setUp()
        self.assertEqual(self.verify("other").returncode, 1)

    def test_signature_forms_and_key_point(self):
        for raw in (bytes(range(64)), b"\x80" * 64, b"\0" * 31 + b"\x01" + b"\xff" * 32):
            self.assertEqual(publish.der_to_raw(publish.raw_to_der(raw)), raw)
        point = publish.public_key_point(self.key("release", "pub"))
        self.assertEqual(len(point), 64)
        r = run("key-blob", "--public-key", self.key("release", "pub"))
        self.assertEqual(r.stdout.strip(), point.hex())
        r = run("key-blob", "--public-key", self.key("release", "key"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(run("keygen", "--private-key", self.key("release", "key"),
                             "--public-key", os.path.join(self.root, "x.pem")).returncode, 1)


if __name__ == "__main__":
    unittest.main()
