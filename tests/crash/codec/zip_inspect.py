#!/usr/bin/env python3
"""Lists a zip archive as Python's zipfile reads it, one JSON object per
entry, after checking every entry's CRC: zip_inspect.py ARCHIVE."""
import hashlib
import json
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1]) as archive:
    bad = archive.testzip()
    if bad is not None:
        sys.exit(f"bad entry {bad}")
    for info in archive.infolist():
        data = archive.read(info)
        print(json.dumps({
            # Without the UTF-8 flag zipfile decodes names as code page 437.
            "name": info.filename.encode("cp437").hex(),
            "method": info.compress_type,
            "date_time": list(info.date_time),
            "attributes": info.external_attr,
            "size": info.file_size,
            "sha256": hashlib.sha256(data).hexdigest(),
        }, sort_keys=True))
