#!/usr/bin/env python3
"""Checks the package's PE images for what their role requires.

  check_pe.py ROLE FILE...          check files against one role
  check_pe.py --package DIR         check every PE in a package folder by its place
  check_pe.py --fix-checksum FILE   write the PE checksum field

Roles: driver (x86-64 native image importing only kernel modules), asio (the
x86-64 ASIO DLL: the four COM server exports), panel (the x86-64 control panel
program), applet (the i386 Control Panel applet: the one export CPlApplet).
Every role: no debug sections or COFF symbols left, user-mode images import
only DLLs a clean Windows has, and the checksum field holds the computed
checksum (the kernel loader refuses a driver whose checksum is wrong).
Prints one line per problem; exit status 1 when there is any, 2 for bad use.
"""
import os
import struct
import sys

MACHINE_AMD64 = 0x8664
MACHINE_I386 = 0x14C
SUBSYSTEM_NATIVE = 1
SUBSYSTEM_WINDOWS_GUI = 2

KERNEL_MODULES = {"ntoskrnl.exe", "hal.dll", "usbd.sys", "portcls.sys", "ks.sys"}
SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "user32.dll", "gdi32.dll", "ole32.dll", "oleaut32.dll",
    "setupapi.dll", "cfgmgr32.dll", "winmm.dll", "msvcrt.dll", "comctl32.dll", "gdiplus.dll",
    "msimg32.dll", "shell32.dll",
}

ROLES = {
    "driver": dict(machine=MACHINE_AMD64, subsystem=SUBSYSTEM_NATIVE, exports=None,
                   imports=KERNEL_MODULES),
    "asio": dict(machine=MACHINE_AMD64, subsystem=SUBSYSTEM_WINDOWS_GUI,
                 exports=["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                          "DllUnregisterServer"],
                 imports=SYSTEM_DLLS),
    "panel": dict(machine=MACHINE_AMD64, subsystem=SUBSYSTEM_WINDOWS_GUI, exports=[],
                  imports=SYSTEM_DLLS),
    "applet": dict(machine=MACHINE_I386, subsystem=SUBSYSTEM_WINDOWS_GUI, exports=["CPlApplet"],
                   imports=SYSTEM_DLLS),
}

# The package layout: file -> role.
PACKAGE = {
    "amd64/vm_usbaudio.sys": "driver",
    "amd64/vm_usbaudio_asio.dll": "asio",
    "amd64/vm_usbaudio_cpl.exe": "panel",
    "x86/vm_usbaudio.cpl": "applet",
}


class PeError(Exception):
    pass


class Pe:
    """The parts of a PE image the checks read."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("not a PE image (no MZ header)")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("not a PE image (no PE signature)")
        (self.machine, nsections, _, self.symbol_table, self.symbol_count, opt_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        magic = self.u16(opt)
        if magic == 0x10B:
            dirs_at = opt + 96
        elif magic == 0x20B:
            dirs_at = opt + 112
        else:
            raise PeError("unknown optional header magic 0x%x" % magic)
        self.checksum_offset = opt + 64
        self.checksum = self.u32(opt + 64)
        self.subsystem = self.u16(opt + 68)
        ndirs = self.u32(dirs_at - 4)
        self.dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        at = opt + opt_size
        for i in range(nsections):
            raw_name, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, at + 40 * i)
            self.sections.append((self.section_name(raw_name), va, max(vsize, raw_size), raw_ptr))

    def u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def section_name(self, raw):
        name = raw.rstrip(b"\0").decode("latin-1")
        # GNU ld writes long names ("/4") as offsets into the COFF string table.
        if name.startswith("/") and name[1:].isdigit() and self.symbol_table:
            strings = self.symbol_table + 18 * self.symbol_count
            return self.cstring(strings + int(name[1:]))
        return name

    def cstring(self, at):
        end = self.data.find(b"\0", at)
        if at >= len(self.data) or end < 0:
            raise PeError("string at 0x%x runs past the file" % at)
        return self.data[at:end].decode("latin-1")

    def offset(self, rva):
        for _, va, size, raw_ptr in self.sections:
            if va <= rva < va + size:
                return raw_ptr + rva - va
        raise PeError("RVA 0x%x lies in no section" % rva)

    def exports(self):
        rva, size = self.dirs[0] if self.dirs else (0, 0)
        if not rva:
            return []
        at = self.offset(rva)
        count, names_rva = struct.unpack_from("<I", self.data, at + 24)[0], self.u32(at + 32)
        names = self.offset(names_rva) if count else 0
        return [self.cstring(self.offset(self.u32(names + 4 * i))) for i in range(count)]

    def imports(self):
        found = []
        for index, entry_size, name_field in ((1, 20, 12), (13, 32, 4)):  # imports, delay imports
            if len(self.dirs) <= index or not self.dirs[index][0]:
                continue
            at = self.offset(self.dirs[index][0])
            while True:
                entry = self.data[at:at + entry_size]
                if len(entry) < entry_size or entry == b"\0" * entry_size:
                    break
                found.append(self.cstring(self.offset(self.u32(at + name_field))))
                at += entry_size
        return found


def pe_checksum(data, checksum_offset):
    """The image checksum as the loader and imagehlp compute it: the 16-bit
    one's-complement style sum of the file (checksum field as zero), folded
    to 16 bits, plus the file length."""
    body = bytearray(data)
    body[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(body) % 2:
        body.append(0)
    total = sum(struct.unpack("<%dH" % (len(body) // 2), body))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def check(path, role):
    """The problems of one file for one role, as printable lines."""
    want = ROLES[role]
    with open(path, "rb") as f:
        data = f.read()
    try:
        pe = Pe(data)
    except (PeError, struct.error) as e:
        return ["%s: %s" % (path, e)]
    problems = []
    if pe.machine != want["machine"]:
        problems.append("machine type 0x%x, the %s must be 0x%x" % (pe.machine, role, want["machine"]))
    if pe.subsystem != want["subsystem"]:
        problems.append("subsystem %d, the %s must be %d" % (pe.subsystem, role, want["subsystem"]))
    try:
        exports = sorted(pe.exports())
        if want["exports"] is not None and exports != sorted(want["exports"]):
            problems.append("exports %s, the %s must export exactly %s"
                            % (exports or "nothing", role, sorted(want["exports"]) or "nothing"))
        imports = pe.imports()
        if not imports:
            problems.append("no import table")
        for dll in imports:
            if dll.lower() not in want["imports"]:
                problems.append("imports %s, which the %s may not need" % (dll, role))
    except (PeError, struct.error) as e:
        problems.append("unreadable export or import table: %s" % e)
    for name, _, _, _ in pe.sections:
        if name.startswith(".debug") or name.startswith(".zdebug"):
            problems.append("debug section %s left in" % name)
    if pe.symbol_count:
        problems.append("COFF symbol table left in (%d symbols)" % pe.symbol_count)
    computed = pe_checksum(data, pe.checksum_offset)
    if pe.checksum != computed:
        problems.append("checksum field 0x%08x, the image sums to 0x%08x" % (pe.checksum, computed))
    return ["%s: %s" % (path, p) for p in problems]


def fix_checksum(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    pe = Pe(bytes(data))
    struct.pack_into("<I", data, pe.checksum_offset, pe_checksum(data, pe.checksum_offset))
    with open(path, "wb") as f:
        f.write(data)


def check_package(folder):
    problems = []
    for rel, role in sorted(PACKAGE.items()):
        path = os.path.join(folder, rel)
        if os.path.isfile(path):
            problems += check(path, role)
        else:
            problems.append("%s: missing" % path)
    # Any other PE in the package has no role and should not ship.
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            path = os.path.join(root, name)
            rel = os.path.relpath(path, folder).replace(os.sep, "/")
            if rel in PACKAGE:
                continue
            with open(path, "rb") as f:
                if f.read(2) == b"MZ":
                    problems.append("%s: a PE image the package layout has no place for" % path)
    return problems


def main(argv):
    if len(argv) >= 2 and argv[0] == "--fix-checksum":
        for path in argv[1:]:
            try:
                fix_checksum(path)
            except (PeError, struct.error, OSError) as e:
                print("%s: %s" % (path, e))
                return 1
        return 0
    if len(argv) == 2 and argv[0] == "--package":
        problems = check_package(argv[1])
    elif len(argv) >= 2 and argv[0] in ROLES:
        problems = [p for path in argv[1:] for p in check(path, argv[0])]
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
