#!/usr/bin/env python3
"""Static checks of the 32-bit release executable, which cannot be run on this machine.

Usage: check_release.py EXE CHECK [ARG]   with CHECK one of header, manifest, resources, imports, size.
Reads the PE file directly: headers, import table and resource tree.
"""
import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
RT_RCDATA_BINARY = "BINARY"
MAX_SIZE = 256 * 1024


class Pe:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        d = self.data
        if d[:2] != b"MZ":
            raise SystemExit("not an MZ executable")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe:self.pe + 4] != b"PE\0\0":
            raise SystemExit("no PE signature")
        (self.machine, self.sections_count, self.timestamp, _, _, self.opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        self.opt = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.opt)[0]
        if self.magic != 0x10B:
            raise SystemExit("optional header magic %#x, expected 0x10b (PE32)" % self.magic)
        (self.major_os, self.minor_os, _, _, self.major_sub, self.minor_sub) = struct.unpack_from("<6H", d, self.opt + 40)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, self.opt + 68)
        dirs = self.opt + 96
        self.directories = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(16)]
        table = self.opt + self.opt_size
        self.sections = []
        for i in range(self.sections_count):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rsize), rptr))

    def offset(self, rva):
        for _, va, size, ptr in self.sections:
            if va <= rva < va + size:
                return ptr + rva - va
        raise SystemExit("rva %#x outside every section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, _ = self.directories[1]
        found = []
        pos = self.offset(rva)
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, pos)
            if name == 0:
                break
            dll = self.cstring(name).lower()
            entry = self.offset(lookup or thunk)
            while True:
                value = struct.unpack_from("<I", self.data, entry)[0]
                if value == 0:
                    break
                if value & 0x80000000:
                    found.append("%s #%d" % (dll, value & 0xFFFF))
                else:
                    found.append("%s %s" % (dll, self.cstring(value + 2)))
                entry += 4
            pos += 20
        return sorted(found)

    def resources(self):
        """(type, name, language, bytes) for every resource; names are ints or strings."""
        rva, _ = self.directories[2]
        if rva == 0:
            return []
        base = self.offset(rva)
        d = self.data

        def entries(directory):
            named, ids = struct.unpack_from("<HH", d, directory + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", d, directory + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", d, at)[0]
                    key = d[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        found = []
        for rtype, t in entries(base):
            for name, n in entries(base + (t & 0x7FFFFFFF)):
                for lang, leaf in entries(base + (n & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from("<II", d, base + leaf)
                    start = self.offset(data_rva)
                    found.append((rtype, name, lang, d[start:start + size]))
        return found


def check_header(pe, _):
    problems = []
    if pe.machine != 0x14C:
        problems.append("machine %#x, expected i386 (0x14c)" % pe.machine)
    if pe.subsystem != 3:
        problems.append("subsystem %d, expected 3 (console)" % pe.subsystem)
    if (pe.major_os, pe.minor_os) != (6, 0):
        problems.append("OS version %d.%d, expected 6.0" % (pe.major_os, pe.minor_os))
    if (pe.major_sub, pe.minor_sub) != (6, 0):
        problems.append("subsystem version %d.%d, expected 6.0" % (pe.major_sub, pe.minor_sub))
    if pe.timestamp != 0:
        problems.append("time stamp %#x: the image is not reproducible" % pe.timestamp)
    if not pe.characteristics & 0x0002:
        problems.append("not marked executable")
    return problems


def check_manifest(pe, _):
    manifests = [r for r in pe.resources() if r[0] == RT_MANIFEST]
    if [(r[1]) for r in manifests] != [1]:
        return ["expected one manifest resource with id 1, found %s" % [r[1] for r in manifests]]
    root = ET.fromstring(manifests[0][3])
    ns = {"v3": "urn:schemas-microsoft-com:asm.v3", "c": "urn:schemas-microsoft-com:compatibility.v1"}
    levels = root.findall(".//v3:requestedExecutionLevel", ns)
    problems = []
    if len(levels) != 1 or levels[0].get("level") != "asInvoker" or levels[0].get("uiAccess") != "false":
        problems.append("requestedExecutionLevel must be asInvoker with uiAccess false")
    vista = "{e2011457-1546-43c5-a5fe-008deee3d3f0}"
    windows10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
    supported = {e.get("Id").lower() for e in root.findall(".//c:supportedOS", ns)}
    for required in (vista, windows10):
        if required not in supported:
            problems.append("supportedOS %s missing" % required)
    return problems


def check_resources(pe, _):
    types = sorted({str(r[0]) for r in pe.resources()})
    return [] if types == [str(RT_MANIFEST)] else ["resource types %s, expected only the manifest (24)" % types]


def check_imports(pe, reviewed_list):
    reviewed = sorted(line.strip() for line in open(reviewed_list)
                      if line.strip() and not line.startswith("#"))
    actual = pe.imports()
    problems = ["new import, not reviewed: " + name for name in actual if name not in reviewed]
    problems += ["reviewed import no longer used (update the list): " + name for name in reviewed if name not in actual]
    allowed = {"kernel32.dll", "advapi32.dll", "shell32.dll", "ole32.dll", "msvcrt.dll"}
    problems += ["import from %s" % name for name in actual if name.split()[0] not in allowed]
    return problems


def check_size(pe, _):
    size = len(pe.data)
    print("size: %d bytes (%.1f KiB)" % (size, size / 1024))
    return [] if size <= MAX_SIZE else ["%d bytes, over the %d-byte budget" % (size, MAX_SIZE)]


CHECKS = {"header": check_header, "manifest": check_manifest, "resources": check_resources,
          "imports": check_imports, "size": check_size}

if __name__ == "__main__":
    exe, check = sys.argv[1], sys.argv[2]
    problems = CHECKS[check](Pe(exe), sys.argv[3] if len(sys.argv) > 3 else None)
    for problem in problems:
        print("FAIL:", problem)
    print("%s: %s" % (check, "failed" if problems else "ok"))
    sys.exit(1 if problems else 0)
