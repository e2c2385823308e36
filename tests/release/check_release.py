#!/usr/bin/env python3
"""Static checks of the 32-bit release executable, read with pefile (Debian's python3-pefile).

Usage: check_release.py EXE CHECK [ARG]
  CHECK is one of header, manifest, resources, imports (ARG: the reviewed list), size,
  version (ARG: the project version, e.g. 1.0.0).
Prints one FAIL line per problem, then "CHECK: ok" or "CHECK: failed"; exits 1 on any problem.
"""
import sys
import xml.etree.ElementTree as ET

import pefile

RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]    # 16
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]  # 24
MAX_SIZE = 256 * 1024
# Where imports may come from: DLLs Windows always loads from the system folder (KnownDLLs).
# shell32 and ole32 are loaded at run time by full system path, never imported.
ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 0x00000001
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


def load(path):
    try:
        pe = pefile.PE(path)
    except pefile.PEFormatError as error:
        raise SystemExit("%s: not a PE executable: %s" % (path, error))
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        raise SystemExit("optional header magic %#x, expected 0x10b (PE32)" % pe.OPTIONAL_HEADER.Magic)
    return pe


def resources(pe):
    """(type, name, language, bytes) for every resource; types and names are ints or strings."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return []

    def key(entry):
        return str(entry.name) if entry.name is not None else entry.id

    found = []
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                data = lang.data.struct
                found.append((key(rtype), key(name), lang.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def check_header(pe, _):
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    problems = []
    if header.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        problems.append("machine %#x, expected i386 (0x14c)" % header.Machine)
    if optional.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]:
        problems.append("subsystem %d, expected 3 (console)" % optional.Subsystem)
    os_version = (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)
    if os_version != (6, 0):
        problems.append("OS version %d.%d, expected 6.0" % os_version)
    subsystem_version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
    if subsystem_version != (6, 0):
        problems.append("subsystem version %d.%d, expected 6.0" % subsystem_version)
    if header.TimeDateStamp != 0:
        problems.append("time stamp %#x: the image is not reproducible" % header.TimeDateStamp)
    if not header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_EXECUTABLE_IMAGE"]:
        problems.append("not marked executable")
    return problems


def check_manifest(pe, _):
    manifests = [r for r in resources(pe) if r[0] == RT_MANIFEST]
    if [r[1] for r in manifests] != [1]:
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
    found = sorted((str(r[0]), str(r[1])) for r in resources(pe))
    expected = sorted([(str(RT_MANIFEST), "1"), (str(RT_VERSION), "1")])
    if found == expected:
        return []
    return ["resources (type, id) %s, expected exactly the manifest (24, 1) and the version (16, 1)" % found]


def imports(pe):
    found = []
    for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        name = dll.dll.decode("ascii").lower()
        for function in dll.imports:
            if function.import_by_ordinal:
                found.append("%s #%d" % (name, function.ordinal))
            else:
                found.append("%s %s" % (name, function.name.decode("ascii")))
    return sorted(found)


def check_imports(pe, reviewed_list):
    reviewed = sorted(line.strip() for line in open(reviewed_list)
                      if line.strip() and not line.startswith("#"))
    actual = imports(pe)
    problems = ["new import, not reviewed: " + name for name in actual if name not in reviewed]
    problems += ["reviewed import no longer used (update the list): " + name for name in reviewed if name not in actual]
    problems += ["import from %s" % name for name in actual if name.split()[0] not in ALLOWED_DLLS]
    return problems


def check_size(pe, _):
    size = len(pe.__data__)
    print("size: %d bytes (%.1f KiB)" % (size, size / 1024))
    return [] if size <= MAX_SIZE else ["%d bytes, over the %d-byte budget" % (size, MAX_SIZE)]


def check_version(pe, version):
    """The version resource and the manifest's identity carry the project version."""
    numbers = [int(part) for part in version.split(".")]
    numbers += [0] * (4 - len(numbers))
    most, least = (numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]
    fixed_infos = getattr(pe, "VS_FIXEDFILEINFO", [])
    if len(fixed_infos) != 1:
        return ["expected one version resource, found %d" % len(fixed_infos)]
    fixed = fixed_infos[0]
    problems = []
    expected_fixed = {
        "Signature": VS_FIXEDFILEINFO_SIGNATURE,
        "FileVersionMS": most, "FileVersionLS": least,
        "ProductVersionMS": most, "ProductVersionLS": least,
        "FileFlags": 0,  # no debug, prerelease, patched, private or special build
        "FileOS": VOS_NT_WINDOWS32, "FileType": VFT_APP,
    }
    for field, expected in expected_fixed.items():
        if getattr(fixed, field) != expected:
            problems.append("%s is %#x, expected %#x" % (field, getattr(fixed, field), expected))

    tables = [table for info in getattr(pe, "FileInfo", []) for entry in info
              if entry.Key == b"StringFileInfo" for table in entry.StringTable]
    if len(tables) != 1:
        return problems + ["expected one string table in the version resource, found %d" % len(tables)]
    strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
    expected_strings = {
        "FileVersion": version, "ProductVersion": version, "ProductName": "velmirant-cleanup",
        "InternalName": "velmirant-cleanup", "OriginalFilename": "velmirant-cleanup.exe",
    }
    for field, expected in expected_strings.items():
        if strings.get(field) != expected:
            problems.append("%s is %r, expected %r" % (field, strings.get(field), expected))
    for field in ("FileDescription", "LegalCopyright"):
        if not strings.get(field, "").strip():
            problems.append("%s is missing or empty" % field)

    manifests = [r for r in resources(pe) if r[0] == RT_MANIFEST]
    identity = ET.fromstring(manifests[0][3]).find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity") \
        if len(manifests) == 1 else None
    manifest_version = ".".join(str(n) for n in numbers)
    if identity is None or identity.get("version") != manifest_version:
        found = None if identity is None else identity.get("version")
        problems.append("manifest assemblyIdentity version %r, expected %r" % (found, manifest_version))
    return problems


CHECKS = {"header": check_header, "manifest": check_manifest, "resources": check_resources,
          "imports": check_imports, "size": check_size, "version": check_version}

if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[2] not in CHECKS:
        raise SystemExit(__doc__)
    exe, check = sys.argv[1], sys.argv[2]
    argument = sys.argv[3] if len(sys.argv) > 3 else None
    if check in ("imports", "version") and argument is None:
        raise SystemExit("check %s needs an argument" % check)
    problems = CHECKS[check](load(exe), argument)
    for problem in problems:
        print("FAIL:", problem)
    print("%s: %s" % (check, "failed" if problems else "ok"))
    sys.exit(1 if problems else 0)
