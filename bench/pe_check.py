"""A small, independent PE resource reader the benchmark uses to check every tool's output."""
import os
import struct


class PeFile:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            head = f.read(4096)
            (lfanew,) = struct.unpack_from("<I", head, 0x3C)
            if head[:2] != b"MZ" or head[lfanew:lfanew + 4] != b"PE\0\0":
                raise ValueError("%s is not a PE image" % path)
            coff = lfanew + 4
            nsections, = struct.unpack_from("<H", head, coff + 2)
            opt_size, = struct.unpack_from("<H", head, coff + 16)
            opt = coff + 20
            magic, = struct.unpack_from("<H", head, opt)
            dirs = opt + (112 if magic == 0x20B else 96)
            self.resource_rva, self.resource_size = struct.unpack_from("<II", head, dirs + 2 * 8)
            table = opt + opt_size
            f.seek(table)
            raw = f.read(40 * nsections)
            self.sections = []
            for i in range(nsections):
                vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", raw, 40 * i + 8)
                self.sections.append((va, vsize, rawptr, rawsize))
            f.seek(0, 2)
            self.size = f.tell()
        self.end_of_sections = max((p + s for _, _, p, s in self.sections if s), default=0)

    def offset_of(self, rva):
        for va, vsize, rawptr, rawsize in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                return rawptr + (rva - va)
        raise ValueError("rva 0x%x lies in no section" % rva)

    def resources(self):
        """{(type, name, language): (offset, size)}; types and names are ints or strings."""
        if self.resource_rva == 0:
            return {}
        base = self.offset_of(self.resource_rva)
        with open(self.path, "rb") as f:
            f.seek(base)
            data = f.read(max(self.resource_size, 16))
        out = {}

        def ident(field):
            if field & 0x80000000:
                at = field & 0x7FFFFFFF
                (n,) = struct.unpack_from("<H", data, at)
                return data[at + 2:at + 2 + 2 * n].decode("utf-16-le")
            return field

        def walk(off, level, key):
            named, ids = struct.unpack_from("<HH", data, off + 12)
            for i in range(named + ids):
                field, target = struct.unpack_from("<II", data, off + 16 + 8 * i)
                k = key + (ident(field),)
                if level < 2:
                    walk(target & 0x7FFFFFFF, level + 1, k)
                else:
                    rva, size = struct.unpack_from("<II", data, target)
                    out[k] = (self.offset_of(rva), size)

        walk(0, 0, ())
        return out

    def read(self, offset, size):
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read(size)


def same_tail(a, a_from, b, b_from, chunk=8 << 20):
    """True when file a from a_from to its end equals file b from b_from to its end."""
    with open(a, "rb") as fa, open(b, "rb") as fb:
        fa.seek(0, 2)
        fb.seek(0, 2)
        if fa.tell() - a_from != fb.tell() - b_from:
            return False
        fa.seek(a_from)
        fb.seek(b_from)
        while True:
            x = fa.read(chunk)
            if x != fb.read(chunk):
                return False
            if not x:
                return True


def checksum_offset(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    (lfanew,) = struct.unpack_from("<I", head, 0x3C)
    return lfanew + 24 + 64


def stored_checksum(path):
    with open(path, "rb") as f:
        f.seek(checksum_offset(path))
        return struct.unpack("<I", f.read(4))[0]


def pe_checksum(path):
    """The PE checksum of the file as it is: 16-bit words summed with end-around carry, the
    field itself read as zero, plus the length."""
    field = checksum_offset(path)
    total = 0
    pos = 0
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                break
            if pos <= field < pos + len(chunk):
                chunk = chunk[:field - pos] + bytes(4) + chunk[field - pos + 4:]
            if len(chunk) % 2:
                chunk += b"\0"
            total += sum(memoryview(chunk).cast("H"))
            pos += len(chunk)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + os.path.getsize(path)) & 0xFFFFFFFF


def check_output(original, written, manifest):
    """Returns None when `written` is `original` with `manifest` at 24/1/0, else what is wrong."""
    before = PeFile(original)
    after = PeFile(written)
    old = before.resources()
    new = after.resources()
    key = (24, 1, 0)
    if key not in new:
        return "no manifest at 24/1/0"
    off, size = new[key]
    if after.read(off, size) != manifest:
        return "the manifest's bytes differ"
    if set(new) != set(old) | {key}:
        return "the set of resources changed (%d before, %d after)" % (len(old), len(new))
    for k, (o, s) in old.items():
        if k != key and (s != new[k][1] or before.read(o, s) != after.read(*new[k])):
            return "resource %r changed" % (k,)
    if not same_tail(original, before.end_of_sections, written, after.end_of_sections):
        return "the overlay was not kept"
    if stored_checksum(original) != 0 and stored_checksum(original) == pe_checksum(original):
        if stored_checksum(written) != pe_checksum(written):
            return "the checksum was right and is not"
    return None
