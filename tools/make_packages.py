#!/usr/bin/env python3
"""Generates a realistic package set for the installer: the objects of one
release line as the publishing bucket holds them, under the key prefix.

    <out>/<prefix>/summary.ini
    <out>/<prefix>/base.zip            service dependencies
    <out>/<prefix>/config.zip          the client's config folder and server settings
    <out>/<prefix>/fix/<version>.zip   the client runtime with "kavimor v9.5.exe"
    <out>/<prefix>/quant/<qversion>.zip  the quantitative-trading runtime

and a tree file (--tree-file, default <out>/expected_tree.txt): every file the installed folder
must hold after base, runtime, configuration and quant are unpacked in that
order (later packages replace files of earlier ones), one line each:
"<size> <crc32 as 8 hex digits> <path>", the path in code page 936 with
backslashes. Files the installer itself writes (update.ini, the settings)
are not listed.

--total-mb spreads incompressible payload over the four packages for the
benchmark; the default set is small enough for the test run.

An update of a set: the same arguments with --changed-percent P and a new
--version give the same packages byte for byte except the runtime package,
published under the new version, in which P percent of the payload files
(--runtime-files of them, at least one) have new content of the same size.
"""
import argparse
import binascii
import os
import random
import sys
import zipfile

PACKAGE_ID = "201805"
# Settings files the installer adds its own keys to after unpacking.
INSTALLER_WRITES = {b"config/kavimor.Default.pub", b"config/kavimor.Default.pri"}


class GbkZipInfo(zipfile.ZipInfo):
    """An entry whose name is stored as code page 936 bytes, as the packages
    are published (no UTF-8 flag)."""

    def __init__(self, name_gbk, date_time):
        super().__init__(name_gbk.decode("gbk"), date_time)
        self._gbk = name_gbk

    def _encodeFilenameFlags(self):  # noqa: N802 (zipfile's own name)
        return self._gbk, self.flag_bits & ~0x800


def payload(rng, size):
    return rng.randbytes(size)


def text_payload(rng, lines):
    words = ["quote", "order", "fill", "cancel", "depth", "tick", "bar", "position"]
    return "".join(
        "%s=%d %s\r\n" % (rng.choice(words), rng.randrange(10 ** 6), rng.choice(words))
        for _ in range(lines)
    ).encode("ascii")


class Package:
    def __init__(self, key):
        self.key = key
        self.entries = []  # (gbk name with '/', bytes or None for a folder, compress)

    def add(self, name, data, compress=True):
        self.entries.append((name.encode("gbk"), data, compress))

    def folder(self, name):
        self.entries.append((name.encode("gbk").rstrip(b"/") + b"/", None, False))

    def write(self, root):
        path = os.path.join(root, *self.key.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with zipfile.ZipFile(path, "w") as z:
            for name, data, compress in self.entries:
                info = GbkZipInfo(name, (2024, 11, 18, 9, 30, 14))
                if data is None:
                    info.external_attr = 0x10  # directory
                    z.writestr(info, b"")
                    continue
                info.compress_type = zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED
                info.external_attr = 0x20  # archive
                z.writestr(info, data)
        return path


def build(args):
    rng = random.Random(args.seed)
    prefix_root = os.path.join(args.out, args.prefix)
    total = args.total_mb * 1024 * 1024
    # Shares of the payload: runtime is the bulk, config the smallest.
    shares = {"base": 0.30, "config": 0.05, "runtime": 0.45, "quant": 0.20}

    def big_files(pkg, folder, share, count, changed=()):
        size = int(total * share)
        if size <= 0:
            return
        each = size // count
        other = random.Random(args.seed + 1)
        for i in range(count):
            data = payload(rng, each)
            if i in changed:
                data = payload(other, each)
            pkg.add("%s/blob%02d.bin" % (folder, i), data, compress=(i % 2 == 0))

    with open(args.client_exe, "rb") as f:
        client = f.read()

    base = Package("base.zip")
    base.folder("Server")
    base.folder("Server/bin")
    base.add("Server/bin/kvservice.dll", payload(rng, 48 * 1024), compress=False)
    base.add("Server/bin/kvmarket.dll", payload(rng, 32 * 1024))
    base.add("Server/bin/readme.txt", text_payload(rng, 200))
    base.add("Server/logs/.keep", b"")
    base.folder("Server/cache")  # an empty folder the services expect
    big_files(base, "Server/deps", shares["base"], 4)

    runtime = Package("fix/%s.zip" % args.version)
    runtime.add("kavimor v9.5.exe", client, compress=True)
    runtime.add("bin/kvcore.dll", payload(rng, 64 * 1024), compress=False)
    runtime.add("bin/kvui.dll", text_payload(rng, 500))
    runtime.add("config/default.ini", b"[kavimor]\r\nsource=runtime\r\n")
    runtime.add("res/\u5361\u7ef4\u884c\u60c5.dat", payload(rng, 4096))  # 卡维行情.dat
    runtime.add("Server/bin/kvmarket.dll", payload(rng, 40 * 1024))  # newer than base's
    changed = ()
    if args.changed_percent > 0:
        count = max(1, round(args.runtime_files * args.changed_percent / 100.0))
        changed = set(random.Random(args.seed + 2).sample(range(args.runtime_files), count))
    big_files(runtime, "res/packs", shares["runtime"], args.runtime_files, changed)

    config = Package("config.zip")
    config.folder("config")
    config.add("config/default.ini", b"[kavimor]\r\nsource=config\r\n")  # replaces runtime's
    config.add("config/kavimor.Default.pub", b"[kavimor]\r\nserver=quote.example\r\n")
    config.add("config/kavimor.Default.pri", b"[kavimor]\r\nlayout=classic\r\n")
    config.add("config/\u5e03\u5c40.xml", text_payload(rng, 50))  # 布局.xml
    config.add("Server/config/shortcut/shortcut%s.ico" % PACKAGE_ID, ico_bytes())
    config.add("Server/config/server.ini", b"[server]\r\nport=7709\r\n")
    big_files(config, "config/data", shares["config"], 1)

    packages = [base, runtime, config]
    if args.quant_version:
        quant = Package("quant/%s.zip" % args.quant_version)
        quant.add("quant/python/kvquant.pyd", payload(rng, 20 * 1024), compress=False)
        quant.add("quant/strategies/demo.py", b"def on_bar(bar):\r\n    return None\r\n")
        big_files(quant, "quant/models", shares["quant"], 2)
        packages.append(quant)

    # The installed tree: base, runtime, config, quant, later ones winning.
    tree = {}
    for pkg in packages:
        pkg.write(prefix_root)
        for name, data, _ in pkg.entries:
            if data is not None and name not in INSTALLER_WRITES:
                tree[name.replace(b"/", b"\\")] = data

    summary = (
        "[cfgstamp]\r\ntime=%d\r\n\r\n[fixstamp]\r\n%s=%s\r\n201806=9.4.0.0\r\n\r\n[quant]\r\n%s=%s\r\n"
        % (args.stamp, PACKAGE_ID, args.version, PACKAGE_ID, args.quant_version)
    )
    with open(os.path.join(prefix_root, "summary.ini"), "wb") as f:
        f.write(summary.encode("ascii"))

    with open(args.tree_file or os.path.join(args.out, "expected_tree.txt"), "wb") as f:
        for name in sorted(tree):
            data = tree[name]
            f.write(b"%d %08x %s\r\n" % (len(data), binascii.crc32(data) & 0xFFFFFFFF, name))


def ico_bytes():
    # A 1x1 32-bit icon: header, one directory entry, a BITMAPINFOHEADER,
    # one pixel and its mask row.
    bmp = (40).to_bytes(4, "little") + (1).to_bytes(4, "little") + (2).to_bytes(4, "little")
    bmp += (1).to_bytes(2, "little") + (32).to_bytes(2, "little") + bytes(24)
    bmp += b"\x00\x80\xff\xff" + bytes(4)
    header = b"\x00\x00\x01\x00\x01\x00"
    entry = bytes([1, 1, 0, 0]) + (1).to_bytes(2, "little") + (32).to_bytes(2, "little")
    entry += len(bmp).to_bytes(4, "little") + (6 + 16).to_bytes(4, "little")
    return header + entry + bmp


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", required=True, help="folder to fill (the bucket's content)")
    p.add_argument("--client-exe", required=True, help='the built stand-in "kavimor v9.5.exe"')
    p.add_argument("--prefix", default="9.5KavimorIE")
    p.add_argument("--version", default="9.5.9.1")
    p.add_argument("--quant-version", default="1.2.0")
    p.add_argument("--stamp", type=int, default=1731922214)
    p.add_argument("--total-mb", type=float, default=0.5)
    p.add_argument("--seed", type=int, default=20241118)
    p.add_argument("--tree-file", help="where to write the expected installed tree")
    p.add_argument("--runtime-files", type=int, default=6, help="payload files of the runtime package")
    p.add_argument("--changed-percent", type=float, default=0.0,
                   help="an update: this share of the runtime's payload files changed")
    args = p.parse_args()
    build(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
