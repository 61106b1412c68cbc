#!/usr/bin/env python3
"""Generates the benchmark's input images with clang, llvm-rc and lld-link (no SDK, nothing downloaded).

  small.exe  a console program of about 100 KB, built the way an MSVC toolchain lays it out
             (.text, .rdata, .data, .pdata, .rsrc with a manifest and version info, .reloc)
  large.exe  small.exe followed by a large overlay of deterministic bytes, as installers carry
  many.exe   the same program with 50,000 resources: 20,000 RCDATA items in two languages and
             2,000 string tables in five
  large-sum.exe, many-sum.exe  large.exe and many.exe with a PE checksum, as programs linked
             for release, signed programs and installers carry (large-sum's covers its overlay;
             the lld-link of Debian 12 has no /release, so the checksum is stored here)
Every output is reproducible byte for byte; an input whose recipe has not changed is kept.
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import pe_check  # noqa: E402
RECIPE_VERSION = "4"

KERNEL32_DEF = """LIBRARY kernel32.dll
EXPORTS
  ExitProcess
  GetStdHandle
  WriteFile
"""

# The functions and the table give the image the shape of real code: relocated function
# pointers, unwind data for every function, and a read-only table the code really uses.
FUNCTIONS = 120
TABLE_WORDS = 11000


def program_source():
    out = [
        "/* Benchmark input: a console program that sums a table through many small functions. */",
        "typedef void *HANDLE;",
        "typedef unsigned long DWORD;",
        "typedef int BOOL;",
        "__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);",
        "__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE f, const void *d, DWORD n, DWORD *w, void *o);",
        "__declspec(dllimport) void __stdcall ExitProcess(unsigned code);",
        "",
    ]
    words = []
    state = 0x2545F491
    for _ in range(TABLE_WORDS):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        words.append("0x%08xu" % state)
    out.append("static const unsigned table[%d] = {" % TABLE_WORDS)
    for i in range(0, TABLE_WORDS, 8):
        out.append("  " + ", ".join(words[i:i + 8]) + ",")
    out.append("};")
    for f in range(FUNCTIONS):
        out.append(
            "__declspec(noinline) unsigned step%d(unsigned x, unsigned i) {\n"
            "  unsigned a = table[(x + %du) %% %du] ^ (i * %du);\n"
            "  for (unsigned k = 0; k < (x & 7u) + 1u; ++k) a = (a << %d) | (a >> %d), a += table[(a + k) %% %du];\n"
            "  return a ^ %du;\n"
            "}" % (f, f * 37, TABLE_WORDS, f * 2654435761 % 4294967291 or 1, f % 29 + 1, 31 - f % 29, TABLE_WORDS,
                   f * 7919))
    out.append("typedef unsigned (*step_fn)(unsigned, unsigned);")
    out.append("static step_fn steps[%d] = {%s};" % (FUNCTIONS, ", ".join("step%d" % f for f in range(FUNCTIONS))))
    out.append("""
static char text[10];  /* written at run time: the image's .data */

void __stdcall start(void) {
  static const char digits[] = "0123456789abcdef";
  DWORD written = 0;
  unsigned x = 1;
  for (unsigned i = 0; i < 4096u; ++i) x = steps[(x ^ i) % %du](x, i);
  for (int k = 0; k < 8; ++k) text[k] = digits[(x >> (28 - 4 * k)) & 15u];
  text[8] = '\\r';
  text[9] = '\\n';
  WriteFile(GetStdHandle((DWORD)-11), text, sizeof text, &written, 0);
  ExitProcess(0);
}""".replace("%du", "%du" % FUNCTIONS))
    return "\n".join(out) + "\n"


def program_rc(manifest_path):
    return """// Benchmark input: the resources an ordinary application carries.
#define VS_VERSION_INFO 1
1 24 "%s"
STRINGTABLE
BEGIN
  1, "Tarvisk benchmark input"
  2, "A console program"
END
VS_VERSION_INFO VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 1,2,3,4
FILEOS 0x40004
FILETYPE 0x1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "CompanyName", "Tarvisk"
      VALUE "FileDescription", "Benchmark input"
      VALUE "FileVersion", "1.2.3.4"
      VALUE "ProductName", "Tarvisk benchmark"
      VALUE "ProductVersion", "1.2.3.4"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
""" % manifest_path.replace("\\", "\\\\")


RCDATA_ITEMS = 20000
RCDATA_LANGUAGES = [(0x09, 0x01), (0x07, 0x01)]  # en-US, de-DE
STRING_TABLES = 2000
STRING_LANGUAGES = [(0x09, 0x01), (0x07, 0x01), (0x0C, 0x01), (0x10, 0x01), (0x0A, 0x03)]


def many_rc():
    """20,000 RCDATA x 2 languages + 2,000 string tables x 5 languages = 50,000 resources."""
    out = ["// Benchmark input: an image with 50,000 resources."]
    for lang, sub in RCDATA_LANGUAGES:
        out.append("LANGUAGE 0x%02x, 0x%02x" % (lang, sub))
        for i in range(1, RCDATA_ITEMS + 1):
            # 2 to 32 words, so the blobs do not all have one size or alignment.
            n = 2 + (i * 7 + lang) % 31
            body = ", ".join("0x%x" % ((i * 31 + k * 17 + lang) & 0xFFFF) for k in range(n))
            out.append("%d RCDATA { %s }" % (i, body))
    for lang, sub in STRING_LANGUAGES:
        out.append("LANGUAGE 0x%02x, 0x%02x" % (lang, sub))
        for block in range(STRING_TABLES):
            out.append("STRINGTABLE\nBEGIN")
            for k in range(16):
                sid = block * 16 + k
                out.append('  %d, "s%d.%x"' % (sid, sid, lang))
            out.append("END")
    return "\n".join(out) + "\n"


def run(cmd):
    subprocess.run(cmd, check=True)


def link(work, obj, res, k32, out):
    run(["lld-link", "/nologo", "/brepro", "/nodefaultlib", "/entry:start", "/subsystem:console",
         "/machine:x64", "/dynamicbase", "/out:" + out, obj, res, k32])


def store_checksum(path):
    value = pe_check.pe_checksum(path)
    with open(path, "r+b") as f:
        f.seek(pe_check.checksum_offset(path))
        f.write(struct.pack("<I", value))


def write_overlay(path, mib):
    """Appends `mib` MiB of xorshift output: incompressible, never sparse, the same every time."""
    block = bytearray(1 << 20)
    state = 0x9E3779B97F4A7C15
    for i in range(0, len(block), 8):
        state ^= (state << 13) & 0xFFFFFFFFFFFFFFFF
        state ^= state >> 7
        state ^= (state << 17) & 0xFFFFFFFFFFFFFFFF
        struct.pack_into("<Q", block, i, state)
    with open(path, "ab") as f:
        for n in range(mib):
            struct.pack_into("<Q", block, 0, n)  # each MiB differs from the others
            f.write(block)


def fingerprint(*parts):
    h = hashlib.sha256()
    for p in parts:
        h.update(p.encode() if isinstance(p, str) else p)
    return h.hexdigest()


def up_to_date(path, stamp):
    try:
        with open(path + ".recipe") as f:
            return os.path.exists(path) and f.read() == stamp
    except OSError:
        return False


def mark(path, stamp):
    with open(path + ".recipe", "w") as f:
        f.write(stamp)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True, help="folder for the images")
    ap.add_argument("--manifest", required=True, help="manifest the images are built with")
    ap.add_argument("--overlay-mib", type=int, default=400)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with open(args.manifest, "rb") as f:
        manifest = f.read()

    src = program_source()
    rc_text = program_rc(os.path.abspath(args.manifest))
    base_stamp = fingerprint(RECIPE_VERSION, src, rc_text, manifest)
    small = os.path.join(args.out, "small.exe")
    large = os.path.join(args.out, "large.exe")
    many = os.path.join(args.out, "many.exe")
    large_sum = os.path.join(args.out, "large-sum.exe")
    many_sum = os.path.join(args.out, "many-sum.exe")
    large_stamp = fingerprint(base_stamp, str(args.overlay_mib))
    many_text = many_rc()
    many_stamp = fingerprint(base_stamp, many_text)
    large_sum_stamp = fingerprint(large_stamp, "release")
    many_sum_stamp = fingerprint(many_stamp, "release")

    with tempfile.TemporaryDirectory() as work:
        obj = os.path.join(work, "program.obj")
        res = os.path.join(work, "program.res")
        k32 = os.path.join(work, "kernel32.lib")
        with open(os.path.join(work, "program.c"), "w") as f:
            f.write(src)
        with open(os.path.join(work, "program.rc"), "w") as f:
            f.write(rc_text)
        with open(os.path.join(work, "kernel32.def"), "w") as f:
            f.write(KERNEL32_DEF)
        run(["clang", "--target=x86_64-pc-windows-msvc", "-O2", "-fno-stack-protector", "-c",
             os.path.join(work, "program.c"), "-o", obj])
        run(["llvm-rc", "/nologo", "/fo", res, os.path.join(work, "program.rc")])
        run(["llvm-dlltool", "-m", "i386:x86-64", "-d", os.path.join(work, "kernel32.def"), "-l", k32])

        if not up_to_date(small, base_stamp):
            link(work, obj, res, k32, small)
            mark(small, base_stamp)
        if not up_to_date(large, large_stamp):
            link(work, obj, res, k32, large)
            write_overlay(large, args.overlay_mib)
            mark(large, large_stamp)
        if not up_to_date(many, many_stamp):
            many_rc_path = os.path.join(work, "many.rc")
            many_res = os.path.join(work, "many.res")
            with open(many_rc_path, "w") as f:
                f.write(many_text)
            run(["llvm-rc", "/nologo", "/fo", many_res, many_rc_path])
            link(work, obj, many_res, k32, many)
            mark(many, many_stamp)
    for plain, summed, stamp in ((large, large_sum, large_sum_stamp), (many, many_sum, many_sum_stamp)):
        if not up_to_date(summed, stamp):
            shutil.copyfile(plain, summed)
            store_checksum(summed)
            mark(summed, stamp)
    for p in (small, large, many, large_sum, many_sum):
        print("%-10s %12d bytes" % (os.path.basename(p), os.path.getsize(p)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
