"""Takes the MS-DOS stub out of a linked program, in place, and gives the headers' file block back
where they then fit in fewer. The stub is the 64-byte program that says "This program cannot be
run in DOS mode"; Windows reads only the MS-DOS header's signature and its pointer to the PE
headers, which now follow it at once. GNU ld always writes the stub, and with it a program of four
sections needs a second 512-byte block for its headers.
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
    struct.pack_into("<I", out, optional + moved + 64, checksum(out, optional + moved + 64))
    open(path, "wb").write(out)


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
