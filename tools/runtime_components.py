#!/usr/bin/env python3
"""The runtime libraries that -static links into every exe of this project,
and the Debian packages that hold them: the one record that both
THIRD_PARTY_NOTICES and the SBOMs are made from, so they cannot disagree.

  tools/runtime_components.py --libraries COMPILER   the libraries' paths,
                                                      one a line, for the
                                                      build to watch
  tools/runtime_components.py COMPILER OUTPUT        writes the notices

The libraries are found through the compiler and their packages through
dpkg, so both outputs follow the installed toolchain."""

import fnmatch
import hashlib
import os
import pathlib
import re
import subprocess
import sys

LIBRARIES = ("crt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a", "libwinpthread.a",
             "libgcc.a", "libgcc_eh.a", "libstdc++.a")

# Where in mingw-w64's source each of its libraries is built from: the
# package's machine-readable copyright file gives the licences by source path.
SOURCE_TREES = {
    "crt2.o": ("mingw-w64-crt/",),
    "libmingw32.a": ("mingw-w64-crt/",),
    "libmingwex.a": ("mingw-w64-crt/",),
    "libmsvcrt.a": ("mingw-w64-crt/",),
    "libwinpthread.a": ("mingw-w64-libraries/winpthreads/src/",
                        "mingw-w64-libraries/winpthreads/include/"),
}

# GCC's packages have a free-form copyright file. For the library files we
# link from them, the licence as GCC states it, and where it states it.
# Reviewed by hand: a library added to LIBRARIES from such a package stops
# the build until it has a row here.
STATED_LICENCES = {
    "libgcc.a": ("GPL-3.0-or-later WITH GCC-exception-3.1",
                 "the header of each libgcc source (libgcc/libgcc2.c among them) and "
                 "COPYING.RUNTIME in GCC's source"),
    "libgcc_eh.a": ("GPL-3.0-or-later WITH GCC-exception-3.1",
                    "the header of each libgcc unwinder source (libgcc/unwind-dw2.c, "
                    "unwind-seh.c) and COPYING.RUNTIME in GCC's source"),
    "libstdc++.a": ("GPL-3.0-or-later WITH GCC-exception-3.1",
                    "the libstdc++ manual, section 'License' "
                    "(libstdc++-v3/doc/xml/manual/intro.xml), and COPYING.RUNTIME"),
}

# DEP-5 short names whose SPDX identifier is spelled otherwise (DEP-5 names
# are case-insensitive). A name SPDX lacks becomes a LicenseRef, its text
# being the one in the package's copyright file that the notices reproduce.
DEP5_TO_SPDX = {
    "expat": "MIT", "isc": "ISC", "zpl-2.1": "ZPL-2.1",
    "bsd-2-clause": "BSD-2-Clause", "bsd-3-clause": "BSD-3-Clause",
    "bsd-4-clause": "BSD-4-Clause", "apache-2.0": "Apache-2.0",
    "gpl-2": "GPL-2.0-only", "gpl-2+": "GPL-2.0-or-later",
    "gpl-3": "GPL-3.0-only", "gpl-3+": "GPL-3.0-or-later",
    "lgpl-2": "LGPL-2.0-only", "lgpl-2+": "LGPL-2.0-or-later",
    "lgpl-2.1": "LGPL-2.1-only", "lgpl-2.1+": "LGPL-2.1-or-later",
    "public-domain": "LicenseRef-scancode-public-domain",
}


def library_path(compiler, library):
    found = subprocess.run([compiler, f"-print-file-name={library}"], check=True,
                           capture_output=True, text=True).stdout.strip()
    return os.path.realpath(found, strict=True)


def dpkg_query(*arguments):
    return subprocess.run(["dpkg-query", *arguments], check=True, capture_output=True,
                          text=True).stdout


def owners(paths):
    """{path: the package that holds it} for `paths`, asked of dpkg at once."""
    found = {}
    # A diverted path also gets "diversion by PACKAGE from: PATH" and
    # "... to:" lines; only "PACKAGE: PATH" names the package that holds it.
    for line in dpkg_query("-S", *paths).splitlines():
        if not line.startswith("diversion by "):
            package, path = line.split(": ", 1)
            found.setdefault(path, package)
    missing = [path for path in paths if path not in found]
    if missing:
        raise LookupError(f"no package holds {', '.join(missing)}")
    return found


def spdx_of_dep5(name):
    def one(single):
        known = DEP5_TO_SPDX.get(single.lower())
        return known or "LicenseRef-Debian-" + re.sub(r"[^A-Za-z0-9.-]", "-", single)
    parts = re.split(r"\s+(and|or)\s+", name.strip())
    return " ".join(part.upper() if part in ("and", "or") else one(part) for part in parts)


def dep5_licences(copyright_text, trees):
    """The licences a machine-readable copyright file states for files under
    `trees`, in the order it states them: every Files paragraph whose
    patterns cover files there or name files inside."""
    licences = []
    for paragraph in re.split(r"\n\s*\n", copyright_text):
        files = re.search(r"^Files:(.*(?:\n[ \t].*)*)", paragraph, re.MULTILINE)
        licence = re.search(r"^License:[ \t]*(.+)", paragraph, re.MULTILINE)
        if not files or not licence:
            continue
        patterns = files[1].split()
        if any(pattern.startswith(tree) or fnmatch.fnmatchcase(tree + "x", pattern)
               for pattern in patterns for tree in trees):
            spdx = spdx_of_dep5(licence[1])
            if spdx not in licences:
                licences.append(spdx)
    return licences


def licence_expression(package, libraries):
    copyright_text = pathlib.Path(f"/usr/share/doc/{package}/copyright").read_text()
    machine_readable = copyright_text.startswith("Format:")
    expressions = []
    for library in libraries:
        if machine_readable and library in SOURCE_TREES:
            found = dep5_licences(copyright_text, SOURCE_TREES[library])
        elif library in STATED_LICENCES:
            found = [STATED_LICENCES[library][0]]
        else:
            raise LookupError(f"no licence is known for {library} of {package}: give it "
                              "a source tree or a stated licence in " + __file__)
        expressions += [found_one for found_one in found if found_one not in expressions]
    return " AND ".join(f"({expression})" if " " in expression and len(expressions) > 1
                        else expression for expression in expressions)


def packages(compiler):
    """The packages holding LIBRARIES, in the order their libraries come,
    each a dict: name, version, architecture, source, source_version,
    homepage, copyright (the file's path) and libraries (name to path)."""
    found = {}
    paths = {library: library_path(compiler, library) for library in LIBRARIES}
    holders = owners(list(paths.values()))
    for library, path in paths.items():
        name = holders[path]
        if name not in found:
            fields = dpkg_query("-W", "-f=${Version}\t${Architecture}\t${source:Package}\t"
                                "${source:Version}\t${Homepage}", name).split("\t")
            found[name] = dict(zip(("version", "architecture", "source", "source_version",
                                    "homepage"), fields), name=name, libraries={},
                               copyright=f"/usr/share/doc/{name}/copyright")
        found[name]["libraries"][library] = path
    return list(found.values())


def write_notices(compiler, output):
    rule = "=" * 78
    text = ["""Third-party notices for TalvorenDownloader.exe and TalvorenCheck.exe

Both programs are statically linked with runtime libraries of the MinGW-w64
project (C runtime start-up code and winpthreads) and of GCC (libgcc and
libstdc++). Their copyright and licence texts follow, as the Debian packages
that the programs were built with ship them.
"""]
    # Packages built from one source share one text: print it once.
    printed = {}
    for package in packages(compiler):
        copyright_text = pathlib.Path(package["copyright"]).read_text()
        digest = hashlib.sha256(copyright_text.encode()).hexdigest()
        libraries = "".join(f" {library}" for library in package["libraries"])
        heading = f"{package['name']} {package['version']}, with{libraries}"
        if digest in printed:
            text.append(f"\n({heading}: the same text as {printed[digest]} above.)\n")
            continue
        printed[digest] = package["name"]
        text.append(f"\n{rule}\n{heading}\n{rule}\n\n{copyright_text}")
    write_atomically(output, "".join(text))


def write_atomically(output, text):
    """Writes beside `output` and renames over it, so a failed run leaves
    neither a half-written file nor the temporary one."""
    temporary = pathlib.Path(f"{output}.tmp")
    try:
        temporary.write_text(text, encoding="utf-8")
        temporary.replace(output)
    finally:
        temporary.unlink(missing_ok=True)


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "--libraries":
        print("\n".join(library_path(arguments[1], library) for library in LIBRARIES))
    elif len(arguments) == 2 and not arguments[0].startswith("-"):
        write_notices(*arguments)
    else:
        print(f"usage: {sys.argv[0]} COMPILER OUTPUT | --libraries COMPILER", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
