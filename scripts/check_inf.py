#!/usr/bin/env python3
"""Checks the package's INF files: they parse, every reference resolves, and the
identifiers in them agree with what the code registers.

No INF verifier runs on Linux, so this is a small parser of our own for the
documented INF syntax: [sections], "key = value, value" directives, quoted
fields ("" is a quote inside one), ';' comments, '\\' line continuations and
%string% substitution. Section and string names are case-insensitive.

Usage: check_inf.py KERNEL_INF [APPS_INF]   (exit 1 with one line per problem)
       check_inf.py --self-test
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

KSCATEGORY_AUDIO = "{6994AD04-93EF-11D0-A3CC-00A0C9223196}"
KSCATEGORY_RENDER = "{65E8773E-8F56-11D0-A3B9-00A0C9223196}"
KSCATEGORY_CAPTURE = "{65E8773D-8F56-11D0-A3B9-00A0C9223196}"
KS_PROXY_CLSID = "{17CCA71B-ECD7-11D0-B908-00A0C9223196}"
MEDIA_CLASS_GUID = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
PROVIDER = "Velmora"
SERVICE_BINARY = "vm_usbaudio.sys"
# Where each file the builds produce lies in the package folder.
PACKAGE_LAYOUT = {
    "vm_usbaudio.sys": "amd64",
    "vm_usbaudio_asio.dll": "amd64",
    "vm_usbaudio_cpl.exe": "amd64",
    "vm_usbaudio.cpl": "x86",
}
# The applet reads "ControlPanel" into a 256-byte buffer of WCHARs.
CONTROL_PANEL_MAX_CHARS = 127
# DIRIDs expanded for the path-length check (a default Windows install).
DIRIDS = {
    "10": r"C:\Windows",
    "11": r"C:\Windows\System32",
    "12": r"C:\Windows\System32\drivers",
    "16422": r"C:\Program Files",
    "16425": r"C:\Windows\SysWOW64",
    "16426": r"C:\Program Files (x86)",
}
# Directives whose values name sections of the same INF.
SECTION_LIST_DIRECTIVES = ("copyfiles", "addreg", "delreg", "delfiles", "renfiles",
                           "registerdlls", "unregisterdlls", "bitreg", "updateinis",
                           "ini2reg", "addproperty", "delproperty", "profileitems")


class Line:
    def __init__(self, number, key, fields, written_key=None):
        self.number = number  # first physical line
        self.key = key        # lower-case key, or None for a plain entry
        self.written_key = written_key  # the key as written (for %string% keys)
        self.fields = fields  # value fields, quotes removed, not yet substituted


class Inf:
    """One parsed INF: sections (lower-case name -> list of Line) and strings."""

    def __init__(self, path, text=None):
        self.path = path
        self.name = os.path.basename(path)
        self.problems = []
        if text is None:
            with open(path, "rb") as f:
                data = f.read()
            text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") \
                else data.decode("utf-8-sig")
        self.sections = {}
        self.section_names = {}  # lower -> as written
        self._parse(text)
        self.strings = {}
        for line in self.sections.get("strings", []):
            if line.key is None or len(line.fields) != 1:
                self.problem(line.number, "[Strings] entry is not 'name = value'")
                continue
            self.strings[line.key] = line.fields[0]

    def problem(self, number, message):
        where = "%s:%d" % (self.name, number) if number else self.name
        self.problems.append("%s: %s" % (where, message))

    # -- parsing -----------------------------------------------------------
    def _parse(self, text):
        current = None
        pending, pending_number = "", 0
        for number, physical in enumerate(text.splitlines(), 1):
            body, in_quotes = self._strip_comment(physical)
            if in_quotes:
                self.problem(number, "unterminated quoted string")
            stripped = body.rstrip()
            if stripped.endswith("\\") and not stripped.endswith("\\\\"):
                if not pending:
                    pending_number = number
                pending += stripped[:-1]
                continue
            logical = (pending + body).strip()
            first = pending_number if pending else number
            pending = ""
            if not logical:
                continue
            if logical.startswith("["):
                if not logical.endswith("]") or len(logical) < 3:
                    self.problem(first, "malformed section header %r" % logical)
                    current = None
                    continue
                name = logical[1:-1].strip()
                current = name.lower()
                self.sections.setdefault(current, [])
                self.section_names.setdefault(current, name)
                continue
            if current is None:
                self.problem(first, "line outside any section")
                continue
            self.sections[current].append(self._directive(first, logical))
        if pending:
            self.problem(pending_number, "line continuation at the end of the file")

    @staticmethod
    def _strip_comment(physical):
        in_quotes = False
        for i, c in enumerate(physical):
            if c == '"':
                in_quotes = not in_quotes
            elif c == ";" and not in_quotes:
                return physical[:i], False
        return physical, in_quotes

    def _directive(self, number, logical):
        key, value = None, logical
        in_quotes = False
        for i, c in enumerate(logical):
            if c == '"':
                in_quotes = not in_quotes
            elif c == "=" and not in_quotes:
                key, value = logical[:i].strip(), logical[i + 1:]
                break
        written = None
        if key is not None:
            written = self._unquote(key)
            key = written.lower()
            if not key:
                self.problem(number, "directive without a key")
        return Line(number, key, self._split_fields(value), written)

    @staticmethod
    def _unquote(field):
        field = field.strip()
        if len(field) >= 2 and field[0] == '"' and field[-1] == '"':
            return field[1:-1].replace('""', '"')
        return field

    def _split_fields(self, value):
        fields, start, in_quotes = [], 0, False
        for i, c in enumerate(value):
            if c == '"':
                in_quotes = not in_quotes
            elif c == "," and not in_quotes:
                fields.append(self._unquote(value[start:i]))
                start = i + 1
        fields.append(self._unquote(value[start:]))
        return fields

    # -- queries -----------------------------------------------------------
    def has(self, section):
        return section.lower() in self.sections

    def lines(self, section):
        return self.sections.get(section.lower(), [])

    def values(self, section, key):
        return [l for l in self.lines(section) if l.key == key.lower()]

    def first_value(self, section, key):
        found = self.values(section, key)
        if not found:
            return None
        return ",".join(self.expand(f, found[0].number) for f in found[0].fields)

    def expand(self, text, number=0, dirids=None):
        """Substitutes %name% from [Strings]; %n% DIRIDs from dirids when given."""
        def one(match):
            name = match.group(1)
            if name == "":
                return "%"
            if name.isdigit():
                return dirids.get(name, match.group(0)) if dirids else match.group(0)
            value = self.strings.get(name.lower())
            if value is None:
                self.problem(number, "%%%s%% is not defined in [Strings]" % name)
                return match.group(0)
            return value
        return re.sub(r"%([^%]*)%", one, text)

    def find_install_section(self, base, decoration=""):
        """The DDInstall section Windows picks for a models entry."""
        candidates = []
        if decoration:
            candidates.append(base + "." + decoration)
        candidates += [base + ".NT", base]
        for c in candidates:
            if self.has(c):
                return c
        return None


def references(inf):
    """Checks that every section a directive names exists and every %string% resolves."""
    for section, lines in inf.sections.items():
        if section.startswith("strings"):
            continue
        for line in lines:
            for field in line.fields + [line.written_key or ""]:
                inf.expand(field, line.number)
            key = line.key
            if key in SECTION_LIST_DIRECTIVES:
                for name in line.fields:
                    if key == "copyfiles" and name.startswith("@"):
                        continue
                    if name and not inf.has(name):
                        inf.problem(line.number, "%s names section [%s], which does not exist"
                                    % (key, name))
            elif key == "addinterface":
                if len(line.fields) >= 3 and line.fields[2] and not inf.has(line.fields[2]):
                    inf.problem(line.number, "AddInterface names section [%s], which does not exist"
                                % line.fields[2])
            elif key == "addservice":
                for name in line.fields[2:4]:
                    if name and not inf.has(name):
                        inf.problem(line.number, "AddService names section [%s], which does not exist"
                                    % name)
            elif key == "needs":
                if not inf.values(inf.section_names[section], "include"):
                    for name in line.fields:
                        if name and not inf.has(name):
                            inf.problem(line.number, "Needs names section [%s], which does not "
                                        "exist (and nothing is included)" % name)


def decorated(inf, base):
    """base and its platform-decorated variants that exist ([SourceDisksFiles.amd64])."""
    return [s for s in inf.sections if s == base or s.startswith(base + ".")]


def source_files(inf):
    """Copied files: checks they are in SourceDisksFiles on a known disk; returns
    {file name: (package subfolder, destination section)}."""
    disks = {}
    for section in decorated(inf, "sourcedisksnames"):
        for line in inf.lines(section):
            path = line.fields[3] if len(line.fields) > 3 else ""
            disks[(line.key or "").strip()] = path
    files = {}
    for section in decorated(inf, "sourcedisksfiles"):
        for line in inf.lines(section):
            name = (line.key or line.fields[0]).lower()
            disk = line.fields[0].strip() if line.key else ""
            if disk not in disks:
                inf.problem(line.number, "%s is on disk %r, which [SourceDisksNames] does not name"
                            % (name, disk))
                continue
            subdir = line.fields[1] if line.key and len(line.fields) > 1 else ""
            folder = "/".join(p for p in (disks[disk] + "\\" + subdir).replace("\\", "/").split("/") if p)
            files[name] = folder
    destinations = {l.key: l for l in inf.lines("DestinationDirs") if l.key}
    # Next to a laid-out package's binaries, each copied file must be there too.
    here = os.path.dirname(os.path.abspath(inf.path))
    laid_out = any(os.path.isdir(os.path.join(here, d)) for d in set(PACKAGE_LAYOUT.values()))
    copied = {}
    for section, lines in inf.sections.items():
        for line in lines:
            if line.key != "copyfiles":
                continue
            for entry in line.fields:
                if entry.startswith("@"):
                    names, dest = [entry[1:]], destinations.get("defaultdestdir")
                    check = [(line.number, entry[1:])]
                else:
                    if not inf.has(entry):
                        continue
                    dest = destinations.get(entry.lower()) or destinations.get("defaultdestdir")
                    check = []
                    for f in inf.lines(entry):
                        source = f.fields[1] if len(f.fields) > 1 and f.fields[1] else f.fields[0]
                        check.append((f.number, source))
                    if dest is None:
                        inf.problem(line.number, "[%s] has no DestinationDirs entry and there is "
                                    "no DefaultDestDir" % entry)
                for number, source in check:
                    source = source.lower()
                    if source not in files:
                        inf.problem(number, "%s is copied but not listed in [SourceDisksFiles]"
                                    % source)
                        continue
                    if source not in PACKAGE_LAYOUT:
                        inf.problem(number, "%s is not a file the builds produce" % source)
                    elif files[source] != PACKAGE_LAYOUT[source]:
                        inf.problem(number, "%s is taken from %r of the package, the package has "
                                    "it in %r" % (source, files[source] + "/", PACKAGE_LAYOUT[source] + "/"))
                    elif laid_out and not os.path.isfile(os.path.join(here, files[source], source)):
                        inf.problem(number, "%s is not in %s" % (source, os.path.join(here, files[source])))
                    copied[source] = dest
    return copied


def read_code(relative, pattern):
    with open(os.path.join(ROOT, relative), encoding="utf-8") as f:
        match = re.search(pattern, f.read())
    if not match:
        raise SystemExit("check_inf: cannot find %r in %s" % (pattern, relative))
    return match.group(1).replace("\\\\", "\\")


def code_facts():
    return {
        "hwid": read_code("kslib/dev_info.h", r'kSupportedHardwareId\s*=\s*L"([^"]*)"'),
        "description": read_code("driver/core/device_description.h",
                                 r'VM_USBAUDIO_DEVICE_DESCRIPTION\s+L"([^"]*)"'),
        "reference": read_code("driver/core/driver_entry.cpp",
                               r'WaveSubdeviceName\[\]\s*=\s*L"([^"]*)"'),
        "setup_key": read_code("asio/settings/settings_table.h", r'VM_ASIO_SETUP_KEY\s+L"([^"]*)"'),
        "panel_value": read_code("asio/settings/settings_table.h",
                                 r'VM_ASIO_CONTROL_PANEL_VALUE\s+L"([^"]*)"'),
    }


def check_version(inf, pnp):
    sig = inf.first_value("Version", "Signature")
    if sig is None or sig.lower() not in ("$windows nt$", "$chicago$"):
        inf.problem(0, "[Version] Signature is not \"$Windows NT$\"")
    if inf.first_value("Version", "Provider") != PROVIDER:
        inf.problem(0, "[Version] Provider is not %r" % PROVIDER)
    if pnp:
        if (inf.first_value("Version", "Class") or "").lower() != "media":
            inf.problem(0, "[Version] Class is not MEDIA")
        if (inf.first_value("Version", "ClassGuid") or "").lower() != MEDIA_CLASS_GUID:
            inf.problem(0, "[Version] ClassGuid is not the MEDIA class %s" % MEDIA_CLASS_GUID)
        if not (inf.first_value("Version", "CatalogFile") or "").lower().endswith(".cat"):
            inf.problem(0, "[Version] has no CatalogFile")
        ver = inf.first_value("Version", "DriverVer") or ""
        if not re.fullmatch(r"\d\d/\d\d/\d{4}\s*,\s*\d+\.\d+\.\d+\.\d+", ver):
            inf.problem(0, "[Version] DriverVer is not 'mm/dd/yyyy,w.x.y.z': %r" % ver)


def check_kernel(inf, facts):
    check_version(inf, True)
    copied = source_files(inf)
    models = []  # (line, models section decoration)
    for mfg in inf.lines("Manufacturer"):
        base, decorations = mfg.fields[0], [d.strip() for d in mfg.fields[1:] if d.strip()]
        for decoration in decorations or [""]:
            name = base + ("." + decoration if decoration else "")
            if not inf.has(name):
                inf.problem(mfg.number, "[Manufacturer] names models section [%s], which does not "
                            "exist" % name)
                continue
            models += [(l, decoration) for l in inf.lines(name)]
    if not any(d.lower().startswith("ntamd64") for _, d in models):
        inf.problem(0, "no models section for NTamd64")
    hwids = {}
    for line, decoration in models:
        if len(line.fields) < 2:
            inf.problem(line.number, "models entry without a hardware id")
            continue
        install = inf.find_install_section(line.fields[0], decoration)
        if install is None:
            inf.problem(line.number, "install section [%s] does not exist" % line.fields[0])
            continue
        if not inf.has(install + ".Services"):
            inf.problem(line.number, "[%s.Services] does not exist" % install)
        hwids[line.fields[1].lower()] = (line, install)
    entry = hwids.get(facts["hwid"].lower())
    if entry is None:
        inf.problem(0, "the hardware id %s the user-mode parts look for is not in the models"
                    % facts["hwid"])
        return
    line, install = entry
    if inf.expand(line.written_key or "", line.number) != facts["description"]:
        inf.problem(line.number, "device description is not %r (driver/core/device_description.h)"
                    % facts["description"])
    if SERVICE_BINARY not in copied:
        inf.problem(0, "%s is not copied" % SERVICE_BINARY)
    # The Wave subdevice's interfaces, each with the KS proxy.
    wanted = {KSCATEGORY_AUDIO: "KSCATEGORY_AUDIO", KSCATEGORY_RENDER: "KSCATEGORY_RENDER",
              KSCATEGORY_CAPTURE: "KSCATEGORY_CAPTURE"}
    found = set()
    for add in inf.values(install + ".Interfaces", "AddInterface"):
        fields = [inf.expand(f, add.number) for f in add.fields]
        guid = fields[0].upper()
        if guid not in wanted:
            continue
        found.add(guid)
        if len(fields) < 2 or fields[1] != facts["reference"]:
            inf.problem(add.number, "%s reference string is not %r (the name the driver registers)"
                        % (wanted[guid], facts["reference"]))
        regs = {}
        for reg in (inf.values(fields[2], "AddReg") if len(fields) > 2 else []):
            for name in reg.fields:
                for r in inf.lines(name):
                    if len(r.fields) >= 5:
                        regs[r.fields[2].lower()] = inf.expand(r.fields[4], r.number)
        if regs.get("clsid", "").upper() != KS_PROXY_CLSID:
            inf.problem(add.number, "%s interface has no CLSID = KS proxy %s"
                        % (wanted[guid], KS_PROXY_CLSID))
        if not regs.get("friendlyname"):
            inf.problem(add.number, "%s interface has no FriendlyName" % wanted[guid])
    for guid, name in wanted.items():
        if guid not in found:
            inf.problem(0, "[%s.Interfaces] does not add %s %s" % (install, name, guid))
    # The service.
    services = [s for s in inf.values(install + ".Services", "AddService")
                if len(s.fields) >= 3 and s.fields[1].strip().lower() in ("2", "0x2", "0x00000002")]
    if not services:
        inf.problem(0, "[%s.Services] has no AddService with SPSVCINST_ASSOCSERVICE (0x2)" % install)
        return
    service = services[0].fields[2]
    expected = {"ServiceType": "1", "StartType": "3", "ErrorControl": "1"}
    for key, value in expected.items():
        if (inf.first_value(service, key) or "").strip() != value:
            inf.problem(0, "[%s] %s is not %s" % (service, key, value))
    binary = inf.first_value(service, "ServiceBinary") or ""
    if binary.lower() != "%12%\\" + SERVICE_BINARY:
        inf.problem(0, "[%s] ServiceBinary is not %%12%%\\%s" % (service, SERVICE_BINARY))


def check_apps(inf, facts):
    check_version(inf, False)
    if not any(s.startswith("defaultinstall") for s in inf.sections):
        inf.problem(0, "no [DefaultInstall] section")
    if not any(s.startswith("defaultuninstall") for s in inf.sections):
        inf.problem(0, "no [DefaultUninstall] section")
    copied = source_files(inf)
    for name in ("vm_usbaudio_asio.dll", "vm_usbaudio_cpl.exe", "vm_usbaudio.cpl"):
        if name not in copied:
            inf.problem(0, "%s is not copied" % name)
    panel = []
    for section, lines in inf.sections.items():
        for r in lines:
            if section.startswith("strings") or r.key is not None or len(r.fields) < 5:
                continue
            root, key, value = (inf.expand(f, r.number).strip() for f in r.fields[:3])
            if (root.upper() in ("HKLM", "HKEY_LOCAL_MACHINE")
                    and key.lower() == facts["setup_key"].lower()
                    and value.lower() == facts["panel_value"].lower()):
                panel.append(r)
    if not panel:
        inf.problem(0, "no AddReg line writes HKLM \"%s\" \"%s\"" % (facts["setup_key"],
                                                                   facts["panel_value"]))
    for r in panel:
        path = inf.expand(r.fields[4], r.number, DIRIDS)
        if len(path) > CONTROL_PANEL_MAX_CHARS:
            inf.problem(r.number, "ControlPanel path %r has %d characters, more than %d"
                        % (path, len(path), CONTROL_PANEL_MAX_CHARS))
        dest = copied.get("vm_usbaudio_cpl.exe")
        if dest is not None and dest.fields:
            folder = "\\".join([DIRIDS.get(dest.fields[0].strip(), "%" + dest.fields[0] + "%")]
                               + [inf.expand(f, dest.number) for f in dest.fields[1:] if f])
            if path.lower() != (folder + "\\vm_usbaudio_cpl.exe").lower():
                inf.problem(r.number, "ControlPanel is %r, but vm_usbaudio_cpl.exe is installed "
                            "as %r" % (path, folder + "\\vm_usbaudio_cpl.exe"))


def check(kernel_path, apps_path=None, kernel_text=None, apps_text=None):
    """All problems of the package's INFs, as lines."""
    facts = code_facts()
    problems = []
    kernel = Inf(kernel_path, kernel_text)
    references(kernel)
    check_kernel(kernel, facts)
    problems += kernel.problems
    if apps_path:
        apps = Inf(apps_path, apps_text)
        references(apps)
        check_apps(apps, facts)
        problems += apps.problems
    # A problem found twice (string expanded in two checks) is reported once.
    return list(dict.fromkeys(problems))


def main(argv):
    if argv[1:2] == ["--self-test"]:
        import unittest
        sys.path.insert(0, os.path.join(ROOT, "tests", "package"))
        suite = unittest.defaultTestLoader.loadTestsFromName("check_inf_test")
        result = unittest.TextTestRunner(verbosity=1).run(suite)
        return 0 if result.wasSuccessful() else 1
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[-2].strip(), file=sys.stderr)
        return 2
    problems = check(argv[1], argv[2] if len(argv) == 3 else None)
    for p in problems:
        print(p)
    if problems:
        print("check_inf: %d problem(s)" % len(problems), file=sys.stderr)
        return 1
    print("check_inf: %s OK (sections, references, strings, source files, agreement with the code)"
          % " and ".join(os.path.basename(a) for a in argv[1:]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
