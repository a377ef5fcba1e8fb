"""Takes the MS-DOS stub out of a linked program, in place, and gives the headers' file block back
where they then fit in fewer. The stub is the 64-byte program that says "This program cannot be
run in DOS mode"; Windows reads only the MS-DOS header's signature and its pointer to the PE
headers, which now follow it at once. GNU ld always writes the stub, and with it a program of four
sections needs a second 512-byte block for its headers.
Then, where they fit in what the resources leave of their last block, it moves the base relocations
there and takes out their own section, and with it a block of the file: the loader finds them
through their directory entry alone, whichever section holds them.
Usage: dropstub.py PROGRAM"""
import struct
import sys

DOS_HEADER = 0x40


def main(path):
    data = bytearray(open(path, "rb").read())
    if data[:2] != b"MZ":
        sys.exit(f"{path}: not a Windows program")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe == DOS_HEADER:
        return  # already without its stub
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: no PE headers at {pe:#x}")
    sections, = struct.unpack_from("<H", data, pe + 6)
    symbols, = struct.unpack_from("<I", data, pe + 12)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    file_alignment, = struct.unpack_from("<I", data, optional + 36)
    headers_size, = struct.unpack_from("<I", data, optional + 60)
    directories = optional + optional_size - 16 * 8  # the last part of the optional header
    certificates, = struct.unpack_from("<I", data, directories + 4 * 8)
    # Only the section headers name places in the file, unless there are symbols or a signature.
    if symbols or certificates:
        sys.exit(f"{path}: holds file offsets besides its sections' (symbols or a signature)")
    end = optional + optional_size + 40 * sections
    headers = data[pe:end]
    new_size = -(-(DOS_HEADER + len(headers)) // file_alignment) * file_alignment
    shift = headers_size - new_size

    out = bytearray(data[:DOS_HEADER])
    struct.pack_into("<I", out, 0x3C, DOS_HEADER)
    out += headers
    out += bytes(new_size - len(out))
    moved = DOS_HEADER - pe
    struct.pack_into("<I", out, optional + moved + 60, new_size)
    for i in range(sections):
        raw = optional + moved + optional_size + 40 * i + 20
        pointer, = struct.unpack_from("<I", out, raw)
        if pointer:
            struct.pack_into("<I", out, raw, pointer - shift)
    out += data[headers_size:]
    out = fold_relocations(out, DOS_HEADER)
    struct.pack_into("<I", out, optional + moved + 64, checksum(out, optional + moved + 64))
    open(path, "wb").write(out)


def fold_relocations(data, pe):
    """data with its last section, the base relocations, moved to the end of the resources before
    it where the resources' file block has room for them; else data as it was."""
    sections, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    section_alignment, = struct.unpack_from("<I", data, optional + 32)
    relocations = optional + optional_size - 16 * 8 + 5 * 8  # their data directory entry
    table = optional + optional_size

    def section(i):  # name, virtual size, address, raw size, raw pointer
        name = bytes(data[table + 40 * i:table + 40 * i + 8]).rstrip(b"\0")
        return (name,) + struct.unpack_from("<IIII", data, table + 40 * i + 8)

    if sections < 2:
        return data
    resources, rsize, raddress, rraw, rpointer = section(sections - 2)
    reloc, lsize, laddress, _, lpointer = section(sections - 1)
    place = -(-rsize // 4) * 4  # a relocation block starts on a 32-bit boundary
    if (resources, reloc) != (b".rsrc", b".reloc") or place + lsize > rraw \
            or struct.unpack_from("<II", data, relocations) != (laddress, lsize) or lpointer + lsize > len(data):
        return data
    out = bytearray(data[:lpointer])
    out[rpointer + place:rpointer + place + lsize] = data[lpointer:lpointer + lsize]
    struct.pack_into("<I", out, table + 40 * (sections - 2) + 8, place + lsize)
    struct.pack_into("<II", out, relocations, raddress + place, lsize)
    out[table + 40 * (sections - 1):table + 40 * sections] = bytes(40)
    struct.pack_into("<H", out, pe + 6, sections - 1)
    struct.pack_into("<I", out, optional + 56, -(-(raddress + place + lsize) // section_alignment) * section_alignment)
    return out


def checksum(data, field):
    """The image checksum the linker wrote, over the file as it now is: its 16-bit words summed
    with the carries folded back in, the checksum's own field counted as zero, plus its length."""
    words = bytearray(data) + bytes(len(data) % 2)
    words[field:field + 4] = bytes(4)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


if __name__ == "__main__":
    main(sys.argv[1])
