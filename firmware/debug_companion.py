#!/usr/bin/env python3
"""Makes the image's debug companion for gdb.

    debug_companion.py IMAGE.efi DEBUG-LINK.efi OUT

DEBUG-LINK is the same bitcode linked again with DWARF: the same code and data
at the same addresses, plus .debug_* sections.  The one other difference the
linker makes is in the debug directory at the end of the read-only data: it
adds a CodeView entry and its record.  OUT is DEBUG-LINK with the image's own
debug directory in that place, so every section the image has holds the same
bytes in OUT (the image test checks that, section by section).

Its DWARF names functions by their source names only: the linkage names are
Microsoft-mangled, which gdb cannot read, and gdb would take them as the
names of the functions inlined in the whole-image build (break
SmmServicesTableLibConstructor would find nothing).  They are kept, as each
function's description, which gdb does not read.
"""
import struct
import sys

DEBUG_DIRECTORY = 6
DW_AT_LINKAGE_NAME, DW_AT_DESCRIPTION = 0x6E, 0x5A  # both strings, both one byte in ULEB128


def headers(data, path):
    if data[:2] != b"MZ":
        sys.exit(f"{path}: not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        sys.exit(f"{path}: not PE32+")
    directory_at = optional + 112 + 8 * DEBUG_DIRECTORY
    table = optional + optional_size
    symbols, symbol_count = struct.unpack_from("<II", data, pe + 12)
    sections = []
    for i in range(count):
        at = table + 40 * i
        name, vsize, rva, raw_size, raw_at = struct.unpack_from("<8sIIII", data, at)
        name = name.rstrip(b"\0")
        if name.startswith(b"/"):  # a long name, in the string table after the symbols
            start = symbols + 18 * symbol_count + int(name[1:])
            name = data[start:data.index(b"\0", start)]
        sections.append((name, vsize, rva, raw_size, raw_at, at))
    return directory_at, sections


def uleb(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def describe_linkage_names(data, section):
    """Turns every DW_AT_linkage_name in the abbreviations into DW_AT_description."""
    at, end = section[4], section[4] + min(section[1], section[3])
    while at < end:
        code, at = uleb(data, at)
        if code == 0:
            continue  # the end of a unit's abbreviations
        _, at = uleb(data, at)  # tag
        at += 1  # children
        while True:
            name_at = at
            name, at = uleb(data, at)
            form, at = uleb(data, at)
            if name == 0 and form == 0:
                break
            if name == DW_AT_LINKAGE_NAME:
                data[name_at] = DW_AT_DESCRIPTION


def holding(sections, rva):
    for s in sections:
        if s[2] <= rva < s[2] + s[1]:
            return s
    return None


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    image_path, link_path, out_path = sys.argv[1:]
    image = open(image_path, "rb").read()
    link = bytearray(open(link_path, "rb").read())
    image_dir_at, image_sections = headers(image, image_path)
    link_dir_at, link_sections = headers(link, link_path)
    rva, size = struct.unpack_from("<II", image, image_dir_at)
    link_rva = struct.unpack_from("<I", link, link_dir_at)[0]
    if size == 0 or rva != link_rva:
        sys.exit(f"{link_path}: its debug directory is not where the image has it ({link_rva:#x}, {rva:#x})")
    mine, theirs = holding(image_sections, rva), holding(link_sections, rva)
    if theirs is None or mine[0] != theirs[0] or mine[2] != theirs[2] or theirs[1] < mine[1] or theirs[3] < mine[1]:
        sys.exit(f"{link_path}: its sections are not laid out as the image's")
    # The image's bytes from its directory to the end of its section; the
    # linker's extra record beyond that is cleared and falls outside the
    # section's size.
    _, vsize, section_rva, raw_size, raw_at, header_at = theirs
    start, end = rva - section_rva, mine[1]
    link[raw_at + start:raw_at + raw_size] = image[mine[4] + start:mine[4] + end].ljust(raw_size - start, b"\0")
    struct.pack_into("<I", link, header_at + 8, mine[1])
    struct.pack_into("<II", link, link_dir_at, rva, size)
    abbreviations = [s for s in link_sections if s[0] == b".debug_abbrev"]
    if len(abbreviations) != 1:
        sys.exit(f"{link_path}: no .debug_abbrev section")
    describe_linkage_names(link, abbreviations[0])
    open(out_path, "wb").write(link)


if __name__ == "__main__":
    main()
