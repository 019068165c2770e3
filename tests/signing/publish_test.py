#!/usr/bin/env python3
"""The publish tool's release index and signature, natively: a published
release verifies, and any changed byte (of an object, the index or the
signature), a changed object set or another key makes it fail; serials,
expiry and the next key; the upload against the local server, in its order,
interrupted and resumed; and the build's rules for release keys."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
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
        self.assertEqual(index.split(b"\n")[0], b"kavimor-release-index 2")
        self.assertEqual(index.split(b"\n")[1], b"serial 1")
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
            ("index byte", flip(publish.INDEX_NAME, 80), "does not verify"),
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


    def index(self):
        with open(self.path(publish.INDEX_NAME), "rb") as f:
            return f.read()

    def test_serials_expiry_and_the_next_key(self):
        def publish_with(*extra, key="release"):
            r = run("publish", "--root", self.root, "--private-key", self.key(key, "key"), *extra)
            self.assertEqual(r.returncode, 0, r.stderr)
            return publish.parse_header(self.index())

        now = time.time()
        # serial: one more than the index replaced, or as given
        self.assertEqual(publish_with()[1], 2)
        self.assertEqual(publish_with("--serial", "41")[1], 41)
        self.assertEqual(publish_with()[1], 42)
        # expiry: 30 days by default, fractional days, 0 or less already past
        version, _, expires, _ = publish_with()
        self.assertEqual(version, 2)
        for extra, offset in (((), 30 * 86400), (("--expires-in", "0.5"), 43200), (("--expires-in", "0"), -1),
                              (("--expires-in", "-2"), -2 * 86400)):
            expires = publish_with(*extra)[2]
            seconds = time.mktime(time.strptime(expires, publish.TIME_FORMAT)) - time.timezone
            self.assertAlmostEqual(seconds, now + offset, delta=5, msg=extra)
            self.assertEqual(expires < time.strftime(publish.TIME_FORMAT, time.gmtime()), offset < 0, extra)
        self.assertIn("(EXPIRED)", self.verify().stdout)
        # the next key signs; verify takes both keys of a rotation
        publish_with(key="other")
        self.assertEqual(self.verify().returncode, 1)
        r = run("verify", "--root", self.root, "--public-key", self.key("release", "pub"),
                "--public-key", self.key("other", "pub"))
        self.assertEqual(r.returncode, 0, r.stderr)
        for bad in ("0", "-1", "1000000000000000000"):
            self.assertEqual(run("publish", "--root", self.root, "--private-key", self.key("release", "key"),
                                 "--serial", bad).returncode, 1, bad)

    def test_version_one_and_malformed_headers(self):
        body = self.index().split(b"\n", 3)[3]
        self.assertEqual(publish.parse_index(publish.HEADER_V1 + body), publish.parse_index(self.index()))
        self.assertEqual(publish.index_serial(publish.HEADER_V1 + body), 0)
        for name, header in (("no serial", b"kavimor-release-index 2\nexpires 2030-01-01T00:00:00Z\n"),
                             ("serial 0", b"kavimor-release-index 2\nserial 0\nexpires 2030-01-01T00:00:00Z\n"),
                             ("leading zero", b"kavimor-release-index 2\nserial 07\nexpires 2030-01-01T00:00:00Z\n"),
                             ("no Z", b"kavimor-release-index 2\nserial 7\nexpires 2030-01-01T00:00:00\n"),
                             ("month 13", b"kavimor-release-index 2\nserial 7\nexpires 2030-13-01T00:00:00Z\n"),
                             ("version 3", b"kavimor-release-index 3\nserial 7\nexpires 2030-01-01T00:00:00Z\n")):
            with self.subTest(name):
                with self.assertRaises(publish.ReleaseError):
                    publish.parse_index(header + body)


SERVER = os.path.join(os.path.dirname(TOOL), "oss_server.py")
BUCKET, KEY_ID, SECRET = "kavimor-upload", "LTAI5tUploadTest0000001", "UploadSecret0123456789abcdefgh"


class Upload(unittest.TestCase):
    """publish.py upload against the local server: the order, the check
    after each object, and an upload cut off in the middle."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="publish-upload-")
        self.served = os.path.join(self.work, "served")
        self.control = os.path.join(self.work, "control")
        os.makedirs(self.served)
        os.makedirs(self.control)
        port_file = os.path.join(self.work, "port")
        self.server = subprocess.Popen([sys.executable, SERVER, "--root", self.served, "--bucket", BUCKET,
                                        "--key-id", KEY_ID, "--key-secret", SECRET, "--port-file", port_file,
                                        "--control-dir", self.control, "--max-lifetime", "120"])
        for _ in range(200):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        with open(port_file) as f:
            self.endpoint = "http://127.0.0.1:%d" % int(f.read())
        with open(os.path.join(self.work, "secret"), "w") as f:
            f.write(SECRET + "\n")
        self.keys = os.path.join(self.work, "keys")
        os.makedirs(self.keys)
        r = run("keygen", "--private-key", os.path.join(self.keys, "k.pem"),
                "--public-key", os.path.join(self.keys, "p.pem"))
        self.assertEqual(r.returncode, 0, r.stderr)

    def tearDown(self):
        self.server.terminate()
        self.server.wait()
        shutil.rmtree(self.work)

    def release(self, name, version, serial):
        """A published release folder: summary.ini naming fix/<version>.zip."""
        root = os.path.join(self.work, name)
        top = os.path.join(root, PREFIX)
        os.makedirs(os.path.join(top, "fix"))
        files = {"summary.ini": b"[fixstamp]\r\n201805=%s\r\n" % version.encode(),
                 "base.zip": os.urandom(200000), "config.zip": name.encode() * 100,
                 "fix/%s.zip" % version: os.urandom(300000)}
        for file, data in files.items():
            with open(os.path.join(top, file), "wb") as f:
                f.write(data)
        r = run("publish", "--root", root, "--private-key", os.path.join(self.keys, "k.pem"),
                "--serial", str(serial))
        self.assertEqual(r.returncode, 0, r.stderr)
        return root

    def upload(self, root, *extra):
        return run("upload", "--root", root, "--endpoint", self.endpoint, "--bucket", BUCKET, "--key-id", KEY_ID,
                   "--key-secret-file", os.path.join(self.work, "secret"), *extra)

    def requests(self):
        with open(os.path.join(self.control, "requests.log")) as f:
            return [line.split("\t")[:5] for line in f.read().splitlines()]

    def served_verifies(self):
        return run("verify", "--root", self.served, "--public-key", os.path.join(self.keys, "p.pem")).returncode == 0

    def installer_accepts(self):
        """What an installer would accept from the bucket: a verified index,
        then summary.ini and the runtime package it names, each matching."""
        top = os.path.join(self.served, PREFIX)
        try:
            with open(os.path.join(top, publish.INDEX_NAME), "rb") as f:
                index = f.read()
            with open(os.path.join(top, publish.SIGNATURE_NAME), "rb") as f:
                signature = f.read()
        except OSError:
            return False
        if not publish.signature_valid(os.path.join(self.keys, "p.pem"), index, signature):
            return False
        listed = publish.parse_index(index)
        with open(os.path.join(top, "summary.ini"), "rb") as f:
            version = f.read().split(b"=")[1].strip().decode()
        for name in ("summary.ini", "base.zip", "config.zip", "fix/%s.zip" % version):
            path = os.path.join(top, name)
            if not os.path.isfile(path) or publish.file_digest(path)[::-1] != listed.get(PREFIX + "/" + name):
                return False
        return True

    def test_order_dry_run_and_the_check_after_each_object(self):
        root = self.release("first", "9.5.9.1", 5)
        r = self.upload(root, "--dry-run")
        self.assertEqual(r.returncode, 0, r.stderr)
        listed = [line.split()[1] for line in r.stdout.splitlines()]
        expected = [PREFIX + "/" + k for k in ("base.zip", "config.zip", "fix/9.5.9.1.zip", publish.INDEX_NAME,
                                               publish.SIGNATURE_NAME, "summary.ini")]
        self.assertEqual(listed, expected)
        self.assertFalse(os.path.exists(os.path.join(self.control, "requests.log")), "a dry run sends nothing")

        r = self.upload(root)
        self.assertEqual(r.returncode, 0, r.stderr)
        sent = [(method, key) for method, key, _, status, _ in self.requests()]
        self.assertEqual(sent, [(m, k) for k in expected for m in ("PUT", "HEAD")])
        self.assertTrue(self.served_verifies())
        self.assertTrue(self.installer_accepts())

        # A wrong secret is refused by the bucket and stops at the first object.
        with open(os.path.join(self.work, "secret"), "w") as f:
            f.write("not the secret")
        r = self.upload(root)
        self.assertEqual(r.returncode, 1)
        self.assertIn("PUT %s/base.zip: HTTP 403" % PREFIX, r.stderr)
        # A folder changed after publishing is not uploaded.
        with open(os.path.join(root, PREFIX, "config.zip"), "ab") as f:
            f.write(b"x")
        r = self.upload(root, "--dry-run")
        self.assertEqual(r.returncode, 1)
        self.assertIn("config.zip does not match the index", r.stderr)

    def test_an_interrupted_upload_leaves_nothing_an_installer_accepts_wrongly(self):
        old = self.release("old", "9.5.9.1", 5)
        self.assertEqual(self.upload(old).returncode, 0)
        new = self.release("new", "9.5.9.2", 6)
        order = [line.split()[1] for line in self.upload(new, "--dry-run").stdout.splitlines()]
        # Cut the connection in the middle of each object's body in turn.
        for cut, key in enumerate(order):
            with self.subTest(key):
                with open(os.path.join(self.control, "faults.json"), "w") as f:
                    json.dump({"faults": [{"kind": "drop", "key": key, "value": 10, "method": "PUT", "times": 1}]}, f)
                time.sleep(0.05)
                r = self.upload(new)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn(key, r.stderr)
                uploaded = [line for line in r.stdout.splitlines() if line.startswith("uploaded ")]
                self.assertEqual(len(uploaded), cut, "nothing after the failed object is sent")
                # The cut object is whole: the old one, or the new one from an earlier round.
                path = os.path.join(self.served, key)
                data = None  # a key new in this release may not be there yet
                if os.path.exists(path):
                    with open(path, "rb") as served:
                        data = served.read()
                versions = [None] if not os.path.exists(os.path.join(old, key)) else []
                for release in (old, new):
                    candidate = os.path.join(release, key)
                    if os.path.exists(candidate):
                        with open(candidate, "rb") as f:
                            versions.append(f.read())
                self.assertIn(data, versions)
                # Before the first new package replaced an old one the old
                # release is whole and accepted; from then on until summary.ini
                # is up, nothing is (an old index refuses a new package, a new
                # index the old summary.ini).
                self.assertEqual(self.installer_accepts(), cut == 0)
                self.assertFalse(any(n.startswith(os.path.basename(key) + ".upload-")
                                     for n in os.listdir(os.path.dirname(path))))
        os.remove(os.path.join(self.control, "faults.json"))
        time.sleep(0.05)
        r = self.upload(new)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(self.installer_accepts())
        with open(os.path.join(self.served, PREFIX, "summary.ini"), "rb") as f:
            self.assertIn(b"9.5.9.2", f.read())


class BuildKeyRules(unittest.TestCase):
    """cmake/release_keys.cmake as the configure step runs it."""

    def test_table(self):
        keys = tempfile.mkdtemp(prefix="build-keys-")
        self.addCleanup(shutil.rmtree, keys)
        for name in ("a", "b"):
            run("keygen", "--private-key", os.path.join(keys, name + ".key"),
                "--public-key", os.path.join(keys, name + ".pub"))
        with open(os.path.join(keys, "bad.pub"), "w") as f:
            f.write("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n")
        a = publish.public_key_point(os.path.join(keys, "a.pub")).hex()
        b = publish.public_key_point(os.path.join(keys, "b.pub")).hex()
        pub = lambda name: os.path.join(keys, name)
        remote = "oss-accelerate.aliyuncs.com"
        # values | expected: "keys:<current>:<next>" or an error's words
        cases = [
            ({"KAVIMOR_OSS_ENDPOINT": "http://127.0.0.1:18765"}, "keys::"),
            ({"KAVIMOR_OSS_ENDPOINT": "https://localhost"}, "keys::"),
            ({"KAVIMOR_OSS_ENDPOINT": "http://[::1]:80"}, "keys::"),
            ({"KAVIMOR_OSS_ENDPOINT": remote}, "No KAVIMOR_RELEASE_PUBLIC_KEY"),
            ({"KAVIMOR_OSS_ENDPOINT": "http://127.0.0.1.example.com"}, "No KAVIMOR_RELEASE_PUBLIC_KEY"),
            ({"KAVIMOR_OSS_ENDPOINT": "https://10.0.0.5:8443"}, "No KAVIMOR_RELEASE_PUBLIC_KEY"),
            ({"KAVIMOR_OSS_ENDPOINT": remote, "KAVIMOR_ALLOW_UNSIGNED_RELEASES": "ON"}, "keys::"),
            ({"KAVIMOR_OSS_ENDPOINT": remote, "KAVIMOR_RELEASE_PUBLIC_KEY": pub("a.pub")}, "keys:%s:" % a),
            ({"KAVIMOR_OSS_ENDPOINT": remote, "KAVIMOR_RELEASE_PUBLIC_KEY": pub("a.pub"),
              "KAVIMOR_RELEASE_NEXT_PUBLIC_KEY": pub("b.pub")}, "keys:%s:%s" % (a, b)),
            ({"KAVIMOR_OSS_ENDPOINT": remote, "KAVIMOR_RELEASE_NEXT_PUBLIC_KEY": pub("b.pub"),
              "KAVIMOR_ALLOW_UNSIGNED_RELEASES": "ON"}, "needs KAVIMOR_RELEASE_PUBLIC_KEY"),
            ({"KAVIMOR_OSS_ENDPOINT": "http://127.0.0.1", "KAVIMOR_RELEASE_PUBLIC_KEY": pub("bad.pub")},
             "is not an ECDSA P-256 public key"),
            ({"KAVIMOR_OSS_ENDPOINT": remote, "KAVIMOR_RELEASE_PUBLIC_KEY": pub("a.key")},
             "is not an ECDSA P-256 public key"),
            ({"KAVIMOR_OSS_ENDPOINT": remote, "KAVIMOR_RELEASE_PUBLIC_KEY": pub("a.pub"),
              "KAVIMOR_RELEASE_NEXT_PUBLIC_KEY": pub("missing.pub")}, "is not an ECDSA P-256 public key"),
        ]
        script = os.path.join(HERE, "release_keys_row.cmake")
        for values, expected in cases:
            with self.subTest(values):
                r = subprocess.run(["cmake", "-DSOURCE_DIR=" + os.path.join(HERE, "..", ".."),
                                    "-DPython3_EXECUTABLE=" + sys.executable]
                                   + ["-D%s=%s" % kv for kv in values.items()] + ["-P", script],
                                   capture_output=True, text=True)
                output = r.stdout + r.stderr
                if expected.startswith("keys:"):
                    self.assertEqual(r.returncode, 0, output)
                    self.assertIn("-- " + expected + "\n", output)
                else:
                    self.assertNotEqual(r.returncode, 0, output)
                    self.assertIn(expected, " ".join(output.split()))


if __name__ == "__main__":
    unittest.main()
