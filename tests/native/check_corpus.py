#!/usr/bin/env python3
"""Differential check of the installer's zip reader against minizip.

Generates a corpus of archives (Python zipfile and Info-ZIP zip; stored and
deflated, folders, empty, commented, data descriptors, GBK names, a 0-byte and
a large entry, bzip2 and prepended data), derives truncated, corrupted and
randomly mutated copies, runs both dump programs over all of them and
compares, archive by archive: the entry list, the bytes of every entry and the
outcome class. Where the two differ, the difference must be one of the two
places where the installer's reader is stricter by design, and the check
verifies that it is exactly that:
  short:  minizip accepts an entry whose data ended before its declared size
          (it skips the CRC check then); ours reports UNZ_CRCERROR at close.
  method: minizip hands out a bzip2 (or other non-deflate) entry's compressed
          bytes as its data; ours refuses to open the entry.
  directory: the central directory does not hold what the end record says
          (count, damaged record) or entries share bytes with each other or
          with the directory; minizip trusts the count and never looks at
          overlaps, ours fails the archive. An independent reading of the
          directory here must find the fault, and ours must end in error
          with no entry read differently from minizip.
"""
import argparse
import io
import os
import random
import shutil
import subprocess
import sys
import zipfile

UNZ_CRCERROR = -105
UNZ_BADZIPFILE = -103
SEED = 20240607


def gbk(text):
    return text.encode("gbk")


def payload(rng, size, compressible=True):
    if compressible:
        words = [b"kavimor", b"quote", b"\x00\x01", b"tick ", b"\xe4\xb9\x97", b"order\r\n"]
        out = bytearray()
        while len(out) < size:
            out += rng.choice(words)
        return bytes(out[:size])
    return rng.randbytes(size)


class Unseekable(io.RawIOBase):
    """A write-only stream without tell/seek: zipfile then writes data descriptors."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def write_python(path, entries, method=zipfile.ZIP_DEFLATED, comment=b""):
    with zipfile.ZipFile(path, "w", compression=method) as zf:
        for name, data in entries:
            if data is None:
                zf.mkdir(name)
            else:
                info = zipfile.ZipInfo(name, date_time=(2023, 11, 5, 14, 37, 42))
                info.compress_type = method
                info.external_attr = 0o644 << 16
                zf.writestr(info, data)
        zf.comment = comment


def base_corpus(work, rng):
    src = os.path.join(work, "sources")
    made = []

    def py(name, *args, **kw):
        path = os.path.join(work, name)
        write_python(path, *args, **kw)
        made.append(path)

    files = [("readme.txt", payload(rng, 3000)), ("bin/app.dll", payload(rng, 9000, False)),
             ("bin/data/table.dat", payload(rng, 20000))]
    py("py_stored.zip", [("bin", None), ("bin/data", None)] + files, zipfile.ZIP_STORED)
    py("py_deflated.zip", [("bin", None), ("bin/data", None)] + files)
    py("py_empty.zip", [])
    py("py_comment.zip", files, comment=b"Kavimor package comment")
    py("py_long_comment.zip", files[:1], comment=b"C" * 65000)
    py("py_zero.zip", [("empty.bin", b""), ("one.txt", b"x"), ("empty2.bin", b"")])
    py("py_zero_stored.zip", [("empty.bin", b"")], zipfile.ZIP_STORED)
    py("py_large.zip", [("big/blob.bin", payload(rng, 6_000_000)), ("big/noise.bin", payload(rng, 1_500_000, False))])
    py("py_bzip2.zip", [("a.txt", payload(rng, 5000)), ("b.bin", payload(rng, 300))], zipfile.ZIP_BZIP2)
    py("py_lzma.zip", [("a.txt", payload(rng, 5000))], zipfile.ZIP_LZMA)

    # Data descriptors: Python writes them when the target cannot seek.
    stream = Unseekable()
    with zipfile.ZipFile(stream, "w", compression=zipfile.ZIP_DEFLATED) as zf:
        for name, data in files:
            zf.writestr(name, data)
        zf.writestr("zero.bin", b"")
    path = os.path.join(work, "py_descriptor.zip")
    with open(path, "wb") as f:
        f.write(stream.data)
    made.append(path)

    # Prepended data (as a self-extractor carries): offsets stay relative.
    with open(os.path.join(work, "py_deflated.zip"), "rb") as f:
        body = f.read()
    path = os.path.join(work, "py_prefixed.zip")
    with open(path, "wb") as f:
        f.write(b"MZ" + b"\x90" * 510 + body)
    made.append(path)

    # Info-ZIP zip over a real tree, GBK names included (raw bytes, no UTF-8
    # flag: the C locale keeps zip from adding Unicode fields).
    tree = os.path.join(src, "tree")
    os.makedirs(os.path.join(tree, "bin", "data"), exist_ok=True)
    for name, data in files:
        with open(os.path.join(tree, name), "wb") as f:
            f.write(data)
    treeb = os.fsencode(tree)
    gbk_dir = os.path.join(treeb, gbk("行情"))
    os.makedirs(gbk_dir, exist_ok=True)
    for leaf, data in [(gbk("乗数.txt"), payload(rng, 900)), (gbk("卡维说明.txt"), payload(rng, 1200)),
                       (gbk("表") + b".dat", b"")]:
        with open(os.path.join(gbk_dir, leaf), "wb") as f:
            f.write(data)
    env = dict(os.environ, LC_ALL="C")
    for name, flags in [("iz_deflated.zip", ["-9"]), ("iz_stored.zip", ["-0"])]:
        path = os.path.join(work, name)
        subprocess.run(["zip", "-q", "-r", "-X"] + flags + [path, "."], cwd=tree, env=env, check=True)
        made.append(path)
    path = os.path.join(work, "iz_comment.zip")
    shutil.copy(os.path.join(work, "iz_deflated.zip"), path)
    subprocess.run(["zip", "-q", "-z", path], input=b"Kavimor archive comment\n", env=env, check=True)
    made.append(path)
    # zip writing to a pipe cannot seek back: data descriptors on every entry.
    path = os.path.join(work, "iz_stream.zip")
    with open(path, "wb") as out:
        p1 = subprocess.Popen(["zip", "-q", "-r", "-X", "-", "."], cwd=tree, env=env, stdout=subprocess.PIPE)
        p2 = subprocess.run(["cat"], stdin=p1.stdout, stdout=out, check=True)
        p1.stdout.close()
        if p1.wait() != 0 or p2.returncode != 0:
            raise SystemExit("zip to a pipe failed")
    made.append(path)
    return made


def derived_corpus(work, bases, rng):
    made = []
    small = [b for b in bases if os.path.getsize(b) < 120_000]
    for base in small:
        with open(base, "rb") as f:
            data = f.read()
        stem = os.path.splitext(os.path.basename(base))[0]
        n = len(data)
        cuts = sorted(set([1, 4, 21, 22, n // 4, n // 2, n - 1, n - 2, n - 10, n - 21, n - 22, n - 23, n - 40]
                          + [rng.randrange(1, n) for _ in range(6)]))
        for cut in cuts:
            if 0 < cut < n:
                made.append(save(work, f"{stem}.cut{cut}.zip", data[:cut]))
        # Every byte of the first header, the central directory and the end
        # record set to a few values: the header checks see every field.
        central = data.rfind(b"PK\x01\x02")
        end = data.rfind(b"PK\x05\x06")
        spots = list(range(0, min(n, 46)))
        if central >= 0:
            spots += list(range(central, min(n, central + 60)))
        if end >= 0:
            spots += list(range(end, min(n, end + 24)))
        for pos in sorted(set(spots)):
            for value in (0x00, 0xff, data[pos] ^ 0x01):
                if value != data[pos]:
                    mutated = bytearray(data)
                    mutated[pos] = value
                    made.append(save(work, f"{stem}.set{pos}_{value:02x}.zip", bytes(mutated)))
        # Random mutations anywhere: data, headers, names.
        for k in range(40):
            mutated = bytearray(data)
            for _ in range(rng.randint(1, 4)):
                mutated[rng.randrange(n)] = rng.randrange(256)
            made.append(save(work, f"{stem}.rand{k}.zip", bytes(mutated)))
    return made


def save(work, name, data):
    path = os.path.join(work, "derived", name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def run_dump(program, paths):
    listing = subprocess.run([program], input="\n".join(paths).encode() + b"\n", stdout=subprocess.PIPE,
                             check=True, timeout=500).stdout.decode()
    result, current = {}, None
    for line in listing.splitlines():
        if line.startswith("ARCHIVE "):
            current = {"entries": [], "open": None, "end": None, "walk": None}
            result[line[8:]] = current
        elif line.startswith("OPEN "):
            current["open"] = line[5:]
        elif line.startswith("E "):
            current["entries"].append(parse_entry(line))
        elif line.startswith("WALK "):
            current["walk"] = int(line[5:])
        elif line.startswith("END "):
            current["end"] = line[4:]
    return result


def parse_entry(line):
    parts = line.split()
    entry = {"index": int(parts[1]), "ok": parts[-1] == "ok"}
    for part in parts[2:-1]:
        key, value = part.split("=", 1)
        entry[key] = value
    return entry


def entry_view(entry):
    keys = ("info", "name", "dir", "date", "size", "open", "read", "bytes", "crc", "close")
    return {k: entry.get(k) for k in keys}


def stricter_by_design(own, ref):
    """The reference accepted the entry and ours refused it, for one of the two known reasons."""
    if own["ok"] or own.get("info") != ref.get("info") or own.get("name") != ref.get("name"):
        return None
    # Refusing an entry minizip cannot read as deflate either: both fail, but
    # minizip got as far as reading it raw.
    if int(own.get("open", "0")) == UNZ_BADZIPFILE and (
            ref.get("method") not in ("0", "8") or int(ref.get("flag", "0")) & 1):
        return "method"
    if not ref["ok"]:
        return None
    if (own.get("open") == "0" and int(own.get("close", "0")) == UNZ_CRCERROR
            and own.get("bytes") == ref.get("bytes") and own.get("crc") == ref.get("crc")
            and int(ref["bytes"]) < int(ref["size"])):
        return "short"
    return None


def field(data, pos, size):
    """A little-endian field as both readers read it: bytes cut off by the end
    of the file repeat the last byte there was (0 when none was)."""
    raw = bytearray(data[pos:pos + size]) if pos < len(data) else bytearray()
    fill = raw[-1] if raw else 0
    raw += bytes([fill]) * (size - len(raw))
    return int.from_bytes(raw, "little")


def directory_fault(data):
    """Why the archive's directory cannot be trusted, or None."""
    end = data.rfind(b"PK\x05\x06", max(0, len(data) - 0xffff))
    if end < 0:
        return None
    count, total = field(data, end + 8, 2), field(data, end + 10, 2)
    size, offset = field(data, end + 12, 4), field(data, end + 16, 4)
    if count != total or field(data, end + 4, 2) or field(data, end + 6, 2) or end < offset + size:
        return None  # refused by both readers alike
    before = end - (offset + size)
    spans, pos, stop = [], offset, offset + size
    while pos < stop:
        if len(spans) == count or stop - pos < 46:
            return "count"
        at = pos + before
        if field(data, at, 4) != 0x02014b50:
            return "record"
        name = field(data, at + 28, 2)
        pos += 46 + name + field(data, at + 30, 2) + field(data, at + 32, 2)
        if pos > stop:
            return "record"
        local = field(data, at + 42, 4)
        spans.append((local, local + 30 + name + field(data, at + 20, 4), local + before))
    if len(spans) != count:
        return "count"
    spans.sort()
    for i, (start, least_end, _) in enumerate(spans):
        if i and start < spans[i - 1][1]:
            return "overlap"
        if start < stop and offset < least_end:
            return "overlap"
    return None


def pushed_entry(data):
    """An entry whose local extra field pushes its data into what follows."""
    end = data.rfind(b"PK\x05\x06", max(0, len(data) - 0xffff))
    size, offset = field(data, end + 12, 4), field(data, end + 16, 4)
    before = end - (offset + size)
    entries, pos = [], offset
    while pos < offset + size:
        at = pos + before
        name = field(data, at + 28, 2)
        entries.append((field(data, at + 42, 4), field(data, at + 20, 4)))
        pos += 46 + name + field(data, at + 30, 2) + field(data, at + 32, 2)
    starts = sorted(e[0] for e in entries)
    for local, compressed in entries:
        at = local + before
        real_end = local + 30 + field(data, at + 26, 2) + field(data, at + 28, 2) + compressed
        later = [s for s in starts if s > local]
        if (later and real_end > later[0]) or (local < offset and real_end > offset):
            return True
    return False


def compare(own, ref):
    problems, divergences = [], {"short": 0, "method": 0, "directory": 0}
    for path in sorted(ref):
        o, r = own.get(path), ref[path]
        if o is None:
            problems.append(f"{path}: missing from our listing")
            continue
        if os.path.exists(path) and (o["entries"] != r["entries"] or o["end"] != r["end"]):
            with open(path, "rb") as f:
                data = f.read()
            fault = directory_fault(data) or ("pushed" if o["open"] == "ok" and pushed_entry(data) else None)
            if fault:
                same = all(not oe["ok"] or (i < len(r["entries"]) and entry_view(oe) == entry_view(r["entries"][i]))
                           for i, oe in enumerate(o["entries"]))
                if o["end"] == "error" and same:
                    divergences["directory"] += 1
                    continue
                problems.append(f"{path}: directory fault '{fault}' but ours ended {o['end']}")
                continue
        accepted = 0
        if len(o["entries"]) != len(r["entries"]):
            problems.append(f"{path}: {len(o['entries'])} entries, minizip {len(r['entries'])}")
            continue
        bad = False
        for oe, re_ in zip(o["entries"], r["entries"]):
            if entry_view(oe) == entry_view(re_) and oe["ok"] == re_["ok"]:
                continue
            reason = stricter_by_design(oe, re_)
            if reason:
                divergences[reason] += 1
                accepted += 1
                continue
            problems.append(f"{path}: entry {oe['index']}\n    ours    {oe}\n    minizip {re_}")
            bad = True
        if bad:
            continue
        if o["end"] != r["end"] and not (accepted and o["end"] == "error"):
            problems.append(f"{path}: outcome {o['end']}, minizip {r['end']}")
        # An archive minizip cannot open at all must not yield entries from ours.
        if r["open"] == "fail" and o["open"] == "ok" and o["entries"]:
            problems.append(f"{path}: opened with entries where minizip could not open it")
    return problems, divergences


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--own", required=True)
    ap.add_argument("--reference", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(os.path.join(args.work, "derived"))
    rng = random.Random(SEED)
    bases = base_corpus(args.work, rng)
    paths = bases + derived_corpus(args.work, bases, rng) + [os.path.join(args.work, "no-such.zip")]
    own = run_dump(args.own, paths)
    ref = run_dump(args.reference, paths)
    problems, divergences = compare(own, ref)

    # The corpus must really hold what it claims, or the comparison proves little.
    def base(name):
        return ref[os.path.join(args.work, name)]
    checks = [
        ("data descriptors read", all(int(e["flag"]) & 8 and e["ok"] for e in base("py_descriptor.zip")["entries"])
         and all(int(e["flag"]) & 8 and e["ok"] for e in base("iz_stream.zip")["entries"] if e["dir"] == "0")),
        ("folder entries present", any(e["dir"] == "16" for e in base("iz_deflated.zip")["entries"])),
        ("GBK 0x5C trail byte name present", any("815c" in e["name"] for e in base("iz_deflated.zip")["entries"])),
        ("large entry read whole", any(e.get("bytes") == "6000000" and e["ok"] for e in base("py_large.zip")["entries"])),
        ("prefixed archive read", base("py_prefixed.zip")["end"] == "ok"),
    ]
    for label, held in checks:
        if not held:
            problems.append(f"corpus: {label} does not hold")

    total_entries = sum(len(v["entries"]) for v in ref.values())
    ok = sum(1 for v in ref.values() if v["end"] == "ok")
    print(f"corpus: {len(paths)} archives ({len(bases)} generated, {len(paths) - len(bases)} derived), "
          f"{total_entries} entries, {ok} read cleanly by minizip; seed {SEED}")
    print(f"stricter by design: {divergences['short']} short entries, {divergences['method']} unsupported-method entries, "
          f"{divergences['directory']} archives with a faulty directory")
    if problems:
        print(f"{len(problems)} differences:")
        for p in problems[:40]:
            print("  " + p)
        return 1
    print("zip reader matches minizip on every archive")
    return 0


if __name__ == "__main__":
    sys.exit(main())
