#!/usr/bin/env python3
"""Packs the release: the files given, under the names given, in one zip that
is the same bytes whenever it is made from the same files. Every entry has the
time SOURCE_DATE_EPOCH (the commit's), mode 0644 and its place in name order;
SHA256SUMS, a checksum of every other entry, goes in with them.

    release_zip.py OUT.zip NAME=PATH ..."""

import hashlib
import os
import sys
import time
import zipfile


def main() -> int:
    out, pairs = sys.argv[1], [arg.split("=", 1) for arg in sys.argv[2:]]
    files = {name: open(path, "rb").read() for name, path in pairs}
    files["SHA256SUMS"] = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                                  for name, data in sorted(files.items())).encode()
    # The zip format counts time from 1980, in local time: UTC is written.
    stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "0")), 315532800))[:6]
    with zipfile.ZipFile(out, "w") as archive:
        for name in sorted(files):
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.external_attr = 0o100644 << 16
            entry.create_system = 3  # the mode above is a Unix one
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, files[name], compresslevel=9)
    return 0


if __name__ == "__main__":
    sys.exit(main())
