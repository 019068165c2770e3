#!/usr/bin/env python3
"""Signed index variants of a published test release, for the installer's
refusal tests: an older serial, the same serial with other bytes, an
expired index, a version-1 index, and the published index signed with the
next key and with another key nobody trusts. Each goes to <out>/<name>.txt and <name>.sig."""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import publish  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--prefix", default=publish.DEFAULT_PREFIX)
    p.add_argument("--private-key", required=True)
    p.add_argument("--next-private-key", required=True)
    p.add_argument("--other-private-key", required=True)
    p.add_argument("--out", required=True)
    args = p.parse_args()
    with open(os.path.join(args.root, args.prefix, publish.INDEX_NAME), "rb") as f:
        published = f.read()
    _, serial, _, start = publish.parse_header(published)
    objects = publish.release_objects(args.root, args.prefix)
    now = time.time()
    variants = {
        "older": publish.build_index(objects, serial - 1, now + 3650 * 86400),
        "conflict": publish.build_index(objects, serial, now + 3649 * 86400),
        "expired": publish.build_index(objects, serial + 1, now - 1),
        "v1": publish.HEADER_V1 + published[start:],
    }
    os.makedirs(args.out, exist_ok=True)
    for name, index in variants.items():
        publish.parse_index(index)
        with open(os.path.join(args.out, name + ".txt"), "wb") as f:
            f.write(index)
        with open(os.path.join(args.out, name + ".sig"), "wb") as f:
            f.write(publish.sign(args.private_key, index))
    for name, key in (("next", args.next_private_key), ("other", args.other_private_key)):
        with open(os.path.join(args.out, name + ".sig"), "wb") as f:
            f.write(publish.sign(key, published))
    return 0


if __name__ == "__main__":
    sys.exit(main())
