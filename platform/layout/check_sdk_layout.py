#!/usr/bin/env python3
"""Checks that platform/include's user-mode headers match mingw-w64's SDK.

Like check_ddk_layout.py for the kernel headers: builds sdk_probe.cpp
natively to print sizes, alignments, offsets and constant values, then
compiles it with mingw-w64 against the real SDK where every value becomes a
static_assert, and where every function our user-mode headers declare must
convert to a pointer of the type we declare.
Usage: check_sdk_layout.py [--keep DIR]. Exit status 0 when everything matches.
"""
import os, re, shutil, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
INCLUDE = os.path.join(os.path.dirname(HERE), "include")
MINGW = "x86_64-w64-mingw32-g++-posix"
HEADERS = ("winnt winerror winioctl minwinbase errhandlingapi handleapi synchapi processthreadsapi libloaderapi "
           "sysinfoapi debugapi fileapi ioapiset winbase winreg winuser commctrl cpl strsafe setupapi cfgmgr32 dbt "
           "avrt mmsystem unknwn objbase evntprov").split()

STRUCTS = {
    "OVERLAPPED": "Internal InternalHigh Offset OffsetHigh Pointer hEvent",
    "SECURITY_ATTRIBUTES": "nLength lpSecurityDescriptor bInheritHandle",
    "FILETIME": "dwLowDateTime dwHighDateTime",
    "STARTUPINFOW": "cb lpReserved lpDesktop lpTitle dwX dwFlags wShowWindow cbReserved2 lpReserved2 hStdInput hStdError",
    "PROCESS_INFORMATION": "hProcess hThread dwProcessId dwThreadId",
    "OSVERSIONINFOW": "dwOSVersionInfoSize dwMajorVersion dwMinorVersion dwBuildNumber dwPlatformId szCSDVersion",
    "CACHE_DESCRIPTOR": "Level Associativity LineSize Size Type",
    "SYSTEM_LOGICAL_PROCESSOR_INFORMATION": "ProcessorMask Relationship ProcessorCore NumaNode Cache Reserved",
    "SP_DEVINFO_DATA": "cbSize ClassGuid DevInst Reserved",
    "SP_DEVICE_INTERFACE_DATA": "cbSize InterfaceClassGuid Flags Reserved",
    "SP_DEVICE_INTERFACE_DETAIL_DATA_W": "cbSize DevicePath",
    "DEV_BROADCAST_HDR": "dbch_size dbch_devicetype dbch_reserved",
    "DEV_BROADCAST_DEVICEINTERFACE_W": "dbcc_size dbcc_devicetype dbcc_reserved dbcc_classguid dbcc_name",
    "EVENT_FILTER_DESCRIPTOR": "Ptr Size Type",
    "CPLINFO": "idIcon idName idInfo lData",
}
SCALARS = "BOOL DWORD WORD BYTE HRESULT LSTATUS REGSAM HKEY HMODULE FARPROC HDEVINFO DEVINST CONFIGRET MMRESULT LPARAM WPARAM REGHANDLE HWND HDEVNOTIFY"
EXPRESSIONS = ["RelationProcessorCore", "RelationCache", "RelationAll", "CacheData", "AVRT_PRIORITY_HIGH",
               "AVRT_PRIORITY_CRITICAL", "COINIT_APARTMENTTHREADED", "COINIT_MULTITHREADED",
               "__HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)", "__HRESULT_FROM_WIN32(0)"]
# Constants defined by our user-mode headers; a few exist under other names
# or not at all in mingw-w64's.
SKIP = {"EVENT_QUERY_STATE", "APIENTRY", "WINBASEAPI", "DECLSPEC_IMPORT", "STRSAFE_MAX_CCH", "CHARS_IN_GUID", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
        "HKEY_USERS", "INVALID_HANDLE_VALUE"}


def header_text(name):
    return open(os.path.join(INCLUDE, name + ".h")).read()


def scan_constants():
    names = []
    for h in HEADERS:
        for line in header_text(h).splitlines():
            m = re.match(r"#define ([A-Z_][A-Z0-9_]*)\s+(\S.*)$", line)
            if not m or m.group(1) in SKIP or m.group(1).startswith(("USBAUDIO", "_")):
                continue
            value = m.group(2)
            if value.startswith("\\") or "##" in value or re.match(r"^[A-Za-z_]\w*$", value) and not value.isupper():
                continue
            names.append(m.group(1))
    return sorted(set(names))


def scan_signatures():
    sigs = []
    for h in HEADERS:
        m = re.search(r"USBAUDIO_BEGIN_C\n(.*?)USBAUDIO_END_C", header_text(h), re.S)
        if not m:
            continue
        body = re.sub(r"/\*.*?\*/", "", m.group(1), flags=re.S)
        for proto in (" ".join(p.split()) for p in body.split(";") if p.strip()):
            pm = re.match(r"(.*?)\bWINAPI\s+(\w+)\((.*)\)$", proto)
            if not pm or "..." in pm.group(3):
                continue
            args = []
            if pm.group(3).strip() != "void":
                for a in pm.group(3).split(","):
                    a = a.strip()
                    args.append(re.sub(r"\s*\b\w+$", "", a) if re.search(r"[\w\*&]\s+\**\w+$", a) else a)
            sigs.append(f"SIG({pm.group(1).strip()}, {pm.group(2)}, ({', '.join(args) or 'void'}))")
    return "\n".join(sigs) + "\n"


def items():
    out = [f"SZ({t})" for t in SCALARS.split()]
    for t, fields in STRUCTS.items():
        out.append(f"SZ({t})")
        out += [f"OFF({t}, {f})" for f in fields.split()]
    out += [f"P({e})" for e in EXPRESSIONS + scan_constants()]
    return "\n".join(out) + "\n"


def main():
    keep = sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "--keep" else None
    work = keep or tempfile.mkdtemp(prefix="sdk_probe_")
    os.makedirs(work, exist_ok=True)
    shutil.copy(os.path.join(HERE, "sdk_probe.cpp"), work)
    open(os.path.join(work, "sdk_probe_items.inc"), "w").write(items())
    open(os.path.join(work, "sdk_signatures.inc"), "w").write(scan_signatures())
    host_exe = os.path.join(work, "probe_host")
    host = ["g++", "-std=c++17", "-fshort-wchar", "-Wall", "-Wextra", "-Werror", "-I", INCLUDE, "-I", work,
            os.path.join(work, "sdk_probe.cpp")]
    subprocess.run(host + ["-o", host_exe], check=True)
    expected = subprocess.run([host_exe], check=True, capture_output=True, text=True).stdout
    open(os.path.join(work, "sdk_expected.inc"), "w").write(expected)
    subprocess.run(host + ["-fsyntax-only", "-DSDK_PROBE_VERIFY"], check=True)  # our signatures
    result = subprocess.run([MINGW, "-std=c++17", "-fsyntax-only", "-DSDK_PROBE_VERIFY", "-I", work,
                             "-D_WIN32_WINNT=0x0A00", "-DUNICODE", "-D_UNICODE",
                             os.path.join(work, "sdk_probe.cpp")], capture_output=True, text=True)
    count = expected.count("CHECK(")
    if result.returncode != 0:
        errors = [l for l in result.stderr.splitlines() if "error" in l]
        print("\n".join(errors[:200]))
        print(f"SDK layout check: {len(errors)} mismatches among {count} probed values ({work})")
        return 1
    print(f"SDK layout check: {count} values and all signatures match mingw-w64's headers")
    if not keep:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
