#!/usr/bin/env python3
"""Checks the shipped Windows binaries as built, without running them:

  check_binaries.py --allowed-imports LIST QuonUpdate.exe CABLIB.DLL

- both: 32-bit, subsystem version 6.1, no symbol table and no debug
  sections, no delay-loaded imports, and only imports named in LIST (one
  "DLL function" per line, '#' starts a comment), which holds what Windows 7
  has;
- the executable: a GUI program whose manifest (resource 24, id 1) asks for
  the highest available execution level, names Windows 7 to 11 as supported,
  is DPI aware for the system and depends on common controls 6;
- the DLL: a version resource naming CABLIB.DLL.

Prints one line per fault and exits 1 when there is any.
"""
import argparse
import struct
import sys
import xml.etree.ElementTree as ET

SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
RT_VERSION, RT_MANIFEST = 16, 24


class Pe:
    """The parts of a 32-bit PE file that the checks read."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("not an MZ file")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, self.symbol_table, self.symbols, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        if struct.unpack_from("<H", d, opt)[0] != 0x10B:
            raise ValueError("not a PE32 (32-bit) optional header")
        self.subsystem_version = struct.unpack_from("<HH", d, opt + 48)
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        count = struct.unpack_from("<I", d, opt + 92)[0]
        self.directories = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(min(count, 16))]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva, max(vsize, raw_size), raw))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x outside every section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """(dll, function) pairs; ordinals as '#n'."""
        rva, _ = self.directory(1)
        found = []
        while rva:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not name:
                break
            dll = self.cstring(name)
            entry = lookup or thunk
            while True:
                value = struct.unpack_from("<I", self.data, self.offset(entry))[0]
                if not value:
                    break
                found.append((dll, "#%d" % (value & 0xFFFF) if value & 0x80000000 else self.cstring(value + 2)))
                entry += 4
            rva += 20
        return found

    def resource(self, type_id, name_id):
        """The bytes of the first language of resource type_id/name_id, or None."""
        base_rva, size = self.directory(2)
        if not size:
            return None
        base = self.offset(base_rva)

        def entry(directory, wanted):
            named, ids = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
                if wanted is None or (not key & 0x80000000 and key == wanted):
                    return target
            return None

        at = base
        for wanted in (type_id, name_id, None):
            target = entry(at, wanted)
            if target is None:
                return None
            at = base + (target & 0x7FFFFFFF)
        data_rva, data_size = struct.unpack_from("<II", self.data, at)
        start = self.offset(data_rva)
        return self.data[start:start + data_size]


def version_strings(block):
    """The StringFileInfo values of a version resource, and its fixed info's file type."""
    strings = {}

    def walk(at, end, path):
        while at + 6 <= end:
            length, value_length, text = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            children = value + (value_length * 2 if text else value_length)
            if len(path) == 3 and path[1] == "StringFileInfo":
                strings[key] = block[value:value + 2 * value_length].decode("utf-16-le").rstrip("\0")
            else:
                walk((children + 3) & ~3, at + length, path + [key])
            at = (at + length + 3) & ~3

    walk(0, len(block), [])
    # VS_FIXEDFILEINFO follows the root's key "VS_VERSION_INFO".
    fixed = (6 + 2 * len("VS_VERSION_INFO\0") + 3) & ~3
    file_type = struct.unpack_from("<I", block, fixed + 36)[0] if block[fixed:fixed + 4] == b"\xbd\x04\xef\xfe" else None
    return strings, file_type


def check_common(name, pe, allowed, faults):
    if pe.machine != 0x14C:
        faults.append("%s: machine 0x%x, not i386" % (name, pe.machine))
    if pe.subsystem_version != (6, 1):
        faults.append("%s: subsystem version %d.%d, not 6.1" % ((name,) + pe.subsystem_version))
    if pe.symbol_table or pe.symbols:
        faults.append("%s: has a symbol table (%d symbols): not stripped" % (name, pe.symbols))
    debug = [s[0] for s in pe.sections if s[0].startswith((".debug", ".zdebug", "/"))]
    if debug:
        faults.append("%s: debug sections %s" % (name, ", ".join(debug)))
    if pe.directory(13)[1]:
        faults.append("%s: delay-loaded imports, which the allowlist cannot vouch for" % name)
    for dll, function in pe.imports():
        if (dll.lower(), function) not in allowed:
            faults.append("%s: imports %s %s, which is not known to be on Windows 7" % (name, dll, function))


def check_manifest(name, pe, faults):
    text = pe.resource(RT_MANIFEST, 1)
    if text is None:
        faults.append("%s: no manifest (resource type 24, id 1)" % name)
        return
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        faults.append("%s: the manifest is not well-formed XML: %s" % (name, e))
        return

    def all_named(local):
        return [e for e in root.iter() if e.tag.rsplit("}", 1)[-1] == local]

    levels = [(e.get("level"), e.get("uiAccess")) for e in all_named("requestedExecutionLevel")]
    if levels != [("highestAvailable", "false")]:
        faults.append("%s: requestedExecutionLevel %s, not highestAvailable without uiAccess" % (name, levels))
    ids = sorted(e.get("Id", "").lower() for e in all_named("supportedOS"))
    if ids != sorted(SUPPORTED_OS):
        faults.append("%s: supportedOS %s, not Windows 7, 8, 8.1 and 10/11" % (name, ids))
    dpi = [(e.text or "").strip().lower() for e in all_named("dpiAware")]
    if dpi != ["true"] or all_named("dpiAwareness"):
        faults.append("%s: DPI awareness %s, not the system's" % (name, dpi))
    controls = [e.attrib for e in all_named("assemblyIdentity")
                if e.get("name") == "Microsoft.Windows.Common-Controls"]
    if len(controls) != 1 or controls[0].get("version") != "6.0.0.0" or \
            controls[0].get("publicKeyToken", "").lower() != "6595b64144ccf1df":
        faults.append("%s: no dependency on common controls 6.0.0.0: %s" % (name, controls))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--allowed-imports", required=True)
    parser.add_argument("exe")
    parser.add_argument("dll")
    args = parser.parse_args()
    allowed = set()
    with open(args.allowed_imports, encoding="utf-8") as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) == 2:
                allowed.add((words[0].lower(), words[1]))
    faults = []
    exe, dll = Pe(args.exe), Pe(args.dll)
    check_common("QuonUpdate.exe", exe, allowed, faults)
    check_common("CABLIB.DLL", dll, allowed, faults)
    if exe.subsystem != 2:
        faults.append("QuonUpdate.exe: subsystem %d, not the Windows GUI" % exe.subsystem)
    check_manifest("QuonUpdate.exe", exe, faults)
    if not dll.characteristics & 0x2000:
        faults.append("CABLIB.DLL: not a DLL")
    block = dll.resource(RT_VERSION, 1)
    if block is None:
        faults.append("CABLIB.DLL: no version resource")
    else:
        strings, file_type = version_strings(block)
        if strings.get("OriginalFilename") != "CABLIB.DLL" or file_type != 2:
            faults.append("CABLIB.DLL: version resource %s, file type %s: not CABLIB.DLL's" % (strings, file_type))
        for key in ("CompanyName", "FileDescription", "FileVersion", "ProductName", "ProductVersion"):
            if not strings.get(key):
                faults.append("CABLIB.DLL: version resource without %s" % key)
    for fault in faults:
        print(fault)
    if not faults:
        print("QuonUpdate.exe and CABLIB.DLL: manifest, subsystem 6.1, version resource, stripped, "
              "%d imports all on Windows 7" % (len(exe.imports()) + len(dll.imports())))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
