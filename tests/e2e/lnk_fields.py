#!/usr/bin/env python3
"""Prints the target, the arguments and the working folder of a Windows shortcut (.lnk), one a
line, read from the shell link format: a 76-byte header whose flags say which parts follow,
the item list, the link information (its local base path is the target), then counted
strings (name, relative path, working folder, arguments, icon), UTF-16 when the flags say so.

    lnk_fields.py FILE.lnk
"""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON, IS_UNICODE = 0x10, 0x20, 0x40, 0x80


def main(path):
    data = open(path, "rb").read()
    if len(data) < 76 or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        sys.exit(f"{path}: not a shell link")
    flags = struct.unpack_from("<I", data, 20)[0]
    at = 76
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = ""
    if flags & HAS_LINK_INFO:
        size, header, info_flags, _, base = struct.unpack_from("<IIIII", data, at)
        if info_flags & 1:  # a local volume with a local base path
            end = data.index(b"\0", at + base)
            target = data[at + base:end].decode("mbcs" if sys.platform == "win32" else "latin-1")
            if header >= 0x24:  # the Unicode local base path, when present, is the one to read
                ubase = struct.unpack_from("<I", data, at + 28)[0]
                uend = at + ubase
                while data[uend:uend + 2] != b"\0\0":
                    uend += 2
                target = data[at + ubase:uend].decode("utf-16-le")
        at += size
    strings = {}
    for flag in (HAS_NAME, HAS_RELATIVE_PATH, HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON):
        if flags & flag:
            count = struct.unpack_from("<H", data, at)[0]
            at += 2
            width = 2 if flags & IS_UNICODE else 1
            raw = data[at:at + count * width]
            # Some writers count the terminating NUL.
            strings[flag] = raw.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
            at += count * width
    print(target)
    print(strings.get(HAS_ARGUMENTS, ""))
    print(strings.get(HAS_WORKING_DIR, ""))


if __name__ == "__main__":
    main(sys.argv[1])
