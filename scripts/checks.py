"""usage: /usr/bin/python3 scripts/checks.py [-h] [--headers DIR] FILE...

Checks release files without running them: a Windows .pyd (with the MinGW-w64 objdump) or a
portable Linux .so (with objdump). Prints one line per check and exits 1 when any fails.

  .pyd  a PE DLL for its machine (x86-64 for win_amd64, i386 for win32) that exports
        PyInit_dekoconnection alone and needs python37.dll, KERNEL32.dll and the C runtime
        (msvcrt.dll or api-ms-win-crt-*) alone, importing from python37.dll exactly what
        windows/python37.def lists; with --headers (a CPython 3.7 include directory), the .def
        marks DATA exactly what the headers declare as data (PyAPI_DATA).
  .so   an x86-64 ELF shared object that exports PyInit_dekoconnection alone, needs glibc's own
        libraries and libgcc_s alone (no libstdc++), and asks for no GLIBC_ version above 2.17 and
        no GLIBCXX_ or CXXABI_ version.
"""
import glob
import hashlib
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENTRY = "PyInit_dekoconnection"
GLIBC_MOST = (2, 17)
WINDOWS_MACHINES = {"win_amd64": ("x86_64", "pei-x86-64", "i386:x86-64"), "win32": ("i686", "pei-i386", "i386")}
# What every glibc system has (the libraries of the manylinux policies that a C++ module may need).
LINUX_SYSTEM = re.compile(r"^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|libgcc_s\.so\.1|"
                          r"ld-linux-x86-64\.so\.2)$")
CRT = re.compile(r"^(msvcrt\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$", re.I)


class Report:
    def __init__(self):
        self.failed = 0

    def check(self, ok, what, said):
        print("  %-4s %-12s %s" % ("ok" if ok else "FAIL", what + ":", said))
        self.failed += not ok


def run(*command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout


def def_file():
    """The names windows/python37.def lists, and those it marks DATA."""
    names, data = set(), set()
    with open(os.path.join(ROOT, "windows", "python37.def")) as listing:
        for line in listing:
            words = line.split(";")[0].split()
            if words and words[0] not in ("LIBRARY", "EXPORTS"):
                names.add(words[0])
                if words[1:] == ["DATA"]:
                    data.add(words[0])
    return names, data


def header_data(headers):
    """The names CPython's headers declare as data (PyAPI_DATA(type) name)."""
    found = set()
    for header in glob.glob(os.path.join(headers, "**", "*.h"), recursive=True):
        with open(header, errors="replace") as text:
            for declarators in re.findall(r"PyAPI_DATA\([^)]*\)([^;]*);", text.read()):
                for part in declarators.split(","):  # a name, name[...], or (*name)(...)
                    name = re.search(r"\(\s*\*\s*(\w+)\s*\)", part) or re.search(r"(\w+)\s*(\[[^]]*\])?\s*$", part)
                    if name:
                        found.add(name.group(1))
    return found


def check_windows(path, report, headers):
    tag = "win_amd64" if path.endswith("win_amd64.pyd") else "win32" if path.endswith("win32.pyd") else None
    if not tag:
        report.check(False, "name", "neither .cp37-win_amd64.pyd nor .cp37-win32.pyd")
        return
    prefix, file_format, architecture = WINDOWS_MACHINES[tag]
    objdump = "%s-w64-mingw32-objdump" % prefix
    header = run(objdump, "-f", path)
    private = run(objdump, "-p", path)
    characteristics = re.search(r"^Characteristics\s+0x([0-9a-f]+)", private, re.M)
    is_dll = bool(characteristics) and int(characteristics.group(1), 16) & 0x2000 != 0
    report.check("file format %s" % file_format in header and "architecture: %s," % architecture in header
                 and is_dll, "machine", "PE DLL for %s (%s, characteristics 0x%s)" % (
                     architecture, file_format, characteristics.group(1) if characteristics else "?"))
    exports = re.findall(r"^\s*\[\s*\d+\] (\S+)$", private.split("[Ordinal/Name Pointer] Table")[-1], re.M)
    report.check(exports == [ENTRY], "exports", ", ".join(exports) or "none")
    imports = {}  # DLL name: names imported from it
    for block in re.split(r"\n\s*DLL Name: ", private)[1:]:
        dll, _, rest = block.partition("\n")
        imports[dll.strip()] = re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)$", rest.split("\n\n")[0], re.M)
    others = [dll for dll in imports if dll not in ("python37.dll", "KERNEL32.dll") and not CRT.match(dll)]
    report.check("python37.dll" in imports and not others, "needs", ", ".join(sorted(imports)))
    listed, data = def_file()
    used = set(imports.get("python37.dll", []))
    report.check(used == listed, "python37.dll", "imports the %d names of windows/python37.def%s" % (
        len(listed), "" if used == listed else "; not listed: %s; listed, unused: %s" % (
            sorted(used - listed) or "none", sorted(listed - used) or "none")))
    if headers:
        declared = header_data(headers) & listed
        report.check(declared == data, "data", "%d names marked DATA, as the headers declare them%s" % (
            len(data), "" if declared == data else ": headers say %s" % sorted(declared ^ data)))


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def check_linux(path, report):
    header = run("objdump", "-f", path)
    dynamic = run("objdump", "-T", path)
    needs = re.findall(r"^\s+NEEDED\s+(\S+)$", run("objdump", "-p", path), re.M)
    report.check("file format elf64-x86-64" in header and "DYNAMIC" in header, "machine",
                 "ELF shared object for x86-64")
    exports = sorted(line.split()[-1] for line in dynamic.splitlines()
                     if re.match(r"^[0-9a-f]{8,} g ", line) and "*UND*" not in line)
    report.check(exports == [ENTRY], "exports", ", ".join(exports) or "none")
    report.check(all(LINUX_SYSTEM.match(n) for n in needs), "needs", ", ".join(needs))
    versions = {}  # family: {version: [symbols]}
    for line in dynamic.splitlines():
        found = re.search(r"\s\(?(GLIBC|GLIBCXX|CXXABI|GCC)_([0-9][0-9.]*)\)?\s+(\S+)$", line)
        if found:
            versions.setdefault(found.group(1), {}).setdefault(found.group(2), []).append(found.group(3))
    glibc = versions.get("GLIBC", {})
    newest = max(glibc, key=version_key) if glibc else None
    report.check(newest is not None and version_key(newest) <= GLIBC_MOST, "glibc",
                 "GLIBC_%s at most (%s)" % (newest, ", ".join(sorted(glibc[newest]))) if newest else "none")
    cxx = sorted("%s_%s" % (family, v) for family in ("GLIBCXX", "CXXABI") for v in versions.get(family, {}))
    report.check(not cxx, "C++ runtime", ", ".join(cxx) if cxx else "no GLIBCXX_ or CXXABI_ version (linked in)")
    gcc = versions.get("GCC", {})
    if gcc:
        print("  %-4s %-12s GCC_%s at most (libgcc_s, the system's unwinder)" % (
            "", "libgcc_s:", max(gcc, key=version_key)))


def main(arguments):
    if not arguments or arguments[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if arguments else 2
    headers = None
    if arguments[0] == "--headers":
        headers, arguments = arguments[1], arguments[2:]
    report = Report()
    for path in arguments:
        with open(path, "rb") as built:
            digest = hashlib.sha256(built.read()).hexdigest()
        print("%s (%d bytes, sha256 %s)" % (path, os.path.getsize(path), digest))
        if path.endswith(".pyd"):
            check_windows(path, report, headers)
        else:
            check_linux(path, report)
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
