#!/usr/bin/env python3
"""Writes the generated part of the fuzz seed corpora (tests/fuzz/corpus/):
small ordinary archives and manifests, and the hostile shapes the reader and
the manifest check refuse. Findings of fuzzing runs are added beside them by
hand, named after what they caught; this script never removes a file."""
import io
import os
import struct
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "native"))
from check_corpus import Unseekable  # noqa: E402


def archive(entries, method=zipfile.ZIP_DEFLATED, comment=b"", stream=False):
    target = Unseekable() if stream else io.BytesIO()
    with zipfile.ZipFile(target, "w", compression=method) as zf:
        for name, data in entries:
            if data is None:
                zf.mkdir(name)
            else:
                info = zipfile.ZipInfo(name, date_time=(2023, 11, 5, 14, 37, 42))
                info.compress_type = method
                zf.writestr(info, data)
        zf.comment = comment
    return bytes(target.data if stream else target.getvalue())


def end_record(data):
    return data.rfind(b"PK\x05\x06")


def set_count(data, count):
    at = end_record(data)
    return data[:at + 8] + struct.pack("<HH", count, count) + data[at + 12:]


def records(data):
    at = end_record(data)
    size, offset = struct.unpack_from("<II", data, at + 12)
    found, pos = [], offset
    while pos < offset + size:
        found.append(pos)
        n, m, k = struct.unpack_from("<HHH", data, pos + 28)
        pos += 46 + n + m + k
    return found


def shared_entry(copies):
    one = archive([("bomb.bin", bytes(4096))])
    first = records(one)[0]
    end = end_record(one)
    record = one[first:end]
    central = b"".join(record[:46] + b"b%03d.bin" % i + record[54:] for i in range(copies))
    tail = one[end:end + 12] + struct.pack("<II", len(central), first) + one[end + 20:]
    return set_count(one[:first] + central + tail, copies)


def overlapping_stored():
    """A stored archive whose second entry's local header and data lie inside
    the first entry's data: the overlap a deflated seed cannot show, since
    there the first entry's data is not the second's bytes as they are."""
    inner = archive([("b.txt", b"overlap " * 16)], zipfile.ZIP_STORED)
    inner_central = records(inner)[0]
    b_local = inner[:inner_central]
    b_record = inner[inner_central:end_record(inner)]
    outer = archive([("a.bin", b_local)], zipfile.ZIP_STORED)
    a_data = 30 + len("a.bin")
    first = records(outer)[0]
    end = end_record(outer)
    central = outer[first:end] + b_record[:42] + struct.pack("<I", a_data) + b_record[46:]
    tail = outer[end:end + 8] + struct.pack("<HHII", 2, 2, len(central), first) + outer[end + 20:]
    return outer[:first] + central + tail


def zips():
    files = [("readme.txt", b"kavimor quote tick " * 20), ("bin/app.dll", bytes(range(256))),
             ("bin/data/table.dat", b"\x00\x01order\r\n" * 30)]
    three = archive(files, zipfile.ZIP_STORED)
    damaged = bytearray(three)
    damaged[records(three)[1]] = ord("X")
    pushed = bytearray(three)
    struct.pack_into("<H", pushed, 28, 4)
    return {
        "stored.zip": three,
        "deflated.zip": archive([("bin", None)] + files),
        "empty.zip": archive([]),
        "comment.zip": archive(files[:1], comment=b"Kavimor package comment"),
        "descriptor.zip": archive(files, stream=True),
        "prefixed.zip": b"MZ" + b"\x90" * 62 + archive(files[:2]),
        "zero_length.zip": archive([("empty.bin", b""), ("one.txt", b"x")]),
        "shared_entry.zip": shared_entry(3),
        "count_short.zip": set_count(three, 1),
        "count_long.zip": set_count(three, 5),
        "damaged_second_record.zip": bytes(damaged),
        "pushed_by_local_extra.zip": bytes(pushed),
        "overlapping_stored.zip": overlapping_stored(),
    }


def manifests():
    return {
        "plain.ini": b"[cfgstamp]\r\ntime=1700000000\r\n[fixstamp]\r\n201805=9.5.9.1\r\n",
        "quant.ini": b"[cfgstamp]\r\ntime=5\r\n[fixstamp]\r\n201806=9.9\r\n201805=9.5.9.1\r\n[quant]\r\n201805=q1.2\r\n",
        "blanks_sign.ini": b"[cfgstamp]\r\ntime=  -42abc\r\n[FIXSTAMP]\r\n 201805 = v1 \r\n",
        "quoted.ini": b"[fixstamp]\n201805=\"9.5.9.1\"\n[quant]\n201805='q'\n",
        "too_long.ini": b"[fixstamp]\r\n201805=1234567890abcdefghijKLMNO\r\n",
        "traversal.ini": b"[fixstamp]\r\n201805=../../x\r\n",
        "quant_traversal.ini": b"[fixstamp]\r\n201805=9.5\r\n[quant]\r\n201805=..\\..\\q\r\n",
        "cr_only.ini": b"[fixstamp]\r201805=9.5\r[cfgstamp]\rtime=12\r",
        "utf8_mark.ini": b"\xef\xbb\xbf[fixstamp]\n201805=9.5\n",
        "duplicate_sections.ini": b"[fixstamp]\n1=2\n[quant]\n201805=a\n[fixstamp]\n201805=late\n",
        "gbk.ini": "[fixstamp]\r\n201805=\u884c\u60c5\r\n".encode("gbk"),
        "device.ini": b"[fixstamp]\r\n201805=CON\r\n",
        "same_versions.ini": b"[fixstamp]\r\n201805=9.6.0\r\n[quant]\r\n201805=9.6.0\r\n",
        "download_names.ini": b"[fixstamp]\r\n201805=Config\r\n[quant]\r\n201805=BASE~1\r\n",
        "version_record.ini": b"[cfgstamp]\r\ntime=-42\r\n[version]\r\ncur=9.5.9.1\r\nquant=\r\n",
        "huge_stamp.ini": b"[cfgstamp]\ntime=" + b"9" * 120 + b"\n[fixstamp]\n201805=1\n",
    }


def main():
    for folder, files in (("unzip", zips()), ("manifest", manifests())):
        target = os.path.join(HERE, "corpus", folder)
        os.makedirs(target, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
