#!/usr/bin/env python3
"""Packs a folder into a ZIP that comes out the same byte for byte wherever and
whenever it is made from the same files: the entries in sorted order under the
folder's own name, every one stamped with the one time given (UTC), fixed
permissions (0755 for folders, programs and libraries, 0644 for the rest,
whatever the files have on disk), no extra fields, no comment, each file
deflated at level 9.

    release_zip.py OUTPUT.zip SECONDS_SINCE_1970 FOLDER
"""
import os
import stat
import sys
import time
import zipfile

# ZIP times begin in 1980.
ZIP_EPOCH = 315532800


def entry(name, seconds, mode):
    info = zipfile.ZipInfo(name, time.gmtime(max(seconds, ZIP_EPOCH))[:6])
    info.create_system = 3  # Unix, so that the permissions below are read
    info.external_attr = mode << 16
    if stat.S_ISDIR(mode):
        info.external_attr |= 0x10  # the MS-DOS folder bit
    else:
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main(argv):
    if len(argv) != 4 or not argv[2].isdigit() or not os.path.isdir(argv[3]):
        sys.stderr.write("usage: release_zip.py OUTPUT.zip SECONDS_SINCE_1970 FOLDER\n")
        return 2
    output, seconds, folder = argv[1], int(argv[2]), os.path.normpath(argv[3])
    top = os.path.basename(folder)
    entries = [(top + "/", None)]
    for root, dirs, files in os.walk(folder):
        relative = os.path.relpath(root, folder)
        prefix = top + "/" if relative == "." else top + "/" + relative.replace(os.sep, "/") + "/"
        for name in dirs:
            if os.path.islink(os.path.join(root, name)):
                sys.stderr.write("release_zip.py: %s is a link, not a folder\n" % os.path.join(root, name))
                return 1
            entries.append((prefix + name + "/", None))
        for name in files:
            path = os.path.join(root, name)
            if not os.path.isfile(path) or os.path.islink(path):
                sys.stderr.write("release_zip.py: %s is not a plain file\n" % path)
                return 1
            entries.append((prefix + name, path))
    entries.sort(key=lambda e: e[0].encode("utf-8"))
    with zipfile.ZipFile(output, "w") as archive:
        for name, path in entries:
            if path is None:
                archive.writestr(entry(name, seconds, stat.S_IFDIR | 0o755), b"")
                continue
            executable = name.lower().endswith((".exe", ".dll"))
            with open(path, "rb") as f:
                data = f.read()
            archive.writestr(entry(name, seconds, stat.S_IFREG | (0o755 if executable else 0o644)), data,
                             compresslevel=9)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
