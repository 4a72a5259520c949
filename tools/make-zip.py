"""Writes a zip archive whose bytes depend only on the files' contents and the given time.

Usage: make-zip.py OUT.zip EPOCH_SECONDS FILE...   (run in the folder the names are relative to)

Every entry gets the same time (UTC) and mode and no extra field: a general-purpose archiver also
records the files' access and change times, which differ between two checkouts of one commit.
"""
import sys
import time
import zipfile

out, epoch, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
# The format's dates start in 1980.
stamp = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(out, "w") as archive:
    for name in names:
        entry = zipfile.ZipInfo(name, date_time=stamp)
        entry.compress_type = zipfile.ZIP_DEFLATED
        entry.create_system = 3  # Unix, so that the mode below is read as one
        entry.external_attr = 0o100644 << 16
        with open(name, "rb") as source:
            archive.writestr(entry, source.read())
