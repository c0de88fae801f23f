#!/usr/bin/env python3
"""The runtime libraries that -static links into every exe of this project,
and the Debian packages that hold them: the one record that both
THIRD_PARTY_NOTICES and the SBOMs are made from, so they cannot disagree.

  deploy/runtime_components.py --libraries COMPILER  the libraries' paths,
                                                      one a line, for the
                                                      build to watch
  deploy/runtime_components.py COMPILER OUTPUT MAP... writes the notices of
                                                      the exes whose linker
                                                      maps are given

The libraries are found through the compiler and their packages through
dpkg, so both outputs follow the installed toolchain."""

import fnmatch
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import textwrap

LIBRARIES = ("crt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a", "libwinpthread.a",
             "libgcc.a", "libgcc_eh.a", "libstdc++.a", "libssp.a")

# Where in mingw-w64's source each of its libraries is built from: the
# package's machine-readable copyright file gives the licences by source path.
SOURCE_TREES = {
    "crt2.o": ("mingw-w64-crt/",),
    "libmingw32.a": ("mingw-w64-crt/",),
    "libmingwex.a": ("mingw-w64-crt/",),
    "libmsvcrt.a": ("mingw-w64-crt/",),
    "libwinpthread.a": ("mingw-w64-libraries/winpthreads/src/",
                        "mingw-w64-libraries/winpthreads/include/"),
    "libpthread.a": ("mingw-w64-libraries/winpthreads/src/",
                     "mingw-w64-libraries/winpthreads/include/"),
}

# GCC's packages have a free-form copyright file. For each object we link
# from their libraries, the licence GCC's source states for it, and where.
# Reviewed by hand: an object the linker takes from such a library that has
# no row here stops the build.
GCC_RUNTIME = ("GPL-3.0-or-later WITH GCC-exception-3.1",
               "the header of its source in GCC (libgcc/, libstdc++-v3/, libssp/) and "
               "COPYING.RUNTIME")
DEMANGLER = ("GPL-2.0-or-later WITH GCC-exception-2.0",
             "the header of libiberty/cp-demangle.c in GCC's source, which libstdc++ "
             "builds as its demangler")
# What that header grants beyond the GPL, in its words (GCC's copyright file
# does not reproduce it).
DEMANGLER_EXCEPTION = """In addition to the permissions in the GNU General Public License, the
Free Software Foundation gives you unlimited permission to link the
compiled version of this file into combinations with other programs,
and to distribute those combinations without any restriction coming
from the use of this file.  (The General Public License restrictions
do apply in other respects; for example, they cover modification of
the file, and distribution when not linked into a combined
executable.)"""
OBJECT_LICENCES = {
    "crtbegin.o": {"crtbegin.o": GCC_RUNTIME},
    "crtend.o": {"crtend.o": GCC_RUNTIME},
    "libgcc.a": dict.fromkeys(("_chkstk_ms.o", "_ctors.o"), GCC_RUNTIME),
    "libgcc_eh.a": dict.fromkeys(("emutls.o", "unwind-seh.o"), GCC_RUNTIME),
    "libssp.a": dict.fromkeys(("ssp.o", "memcpy-chk.o"), GCC_RUNTIME),
    "libstdc++.a": {
        **dict.fromkeys((
            "bad_alloc.o", "bad_array_new.o", "bad_cast.o", "bad_typeid.o",
            "class_type_info.o", "cow-stdexcept.o", "cow-string-inst.o", "cxx11-stdexcept.o",
            "del_op.o", "del_ops.o", "eh_alloc.o", "eh_call.o", "eh_catch.o",
            "eh_exception.o", "eh_globals.o", "eh_personality.o", "eh_term_handler.o",
            "eh_terminate.o", "eh_throw.o", "eh_type.o", "eh_unex_handler.o",
            "functexcept.o", "functional.o", "guard.o", "new_handler.o", "new_op.o",
            "new_opnt.o", "random.o", "si_class_type_info.o", "snprintf_lite.o",
            "sso_string.o", "stdexcept.o", "string-inst.o", "system_error.o", "thread.o",
            "tinfo.o", "vterminate.o", "wstring-inst.o"), GCC_RUNTIME),
        "cp-demangle.o": DEMANGLER,
    },
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


def joined(expressions):
    """One SPDX expression of all of `expressions`, each once."""
    unique = list(dict.fromkeys(expressions))
    return " AND ".join(f"({expression})" if " " in expression and len(unique) > 1
                        else expression for expression in unique)


def licence_expression(package, path, objects):
    """The licence of the file `path` of `package` as linked: for a library
    of GCC's, that of each of `objects`, the objects taken from it; else every
    licence the package's machine-readable copyright file states for the
    source trees the file is built from."""
    name = os.path.basename(path)
    if name in OBJECT_LICENCES:
        rows = OBJECT_LICENCES[name]
        unknown = [item for item in objects if item not in rows]
        if unknown:
            raise LookupError(f"no licence is known for {', '.join(unknown)} of {name} "
                              f"({package['name']}): give each a row in {__file__}")
        return joined(rows[item][0] for item in objects)
    copyright_text = pathlib.Path(package["copyright"]).read_text()
    trees = SOURCE_TREES.get(name) or [tree for library in package["libraries"]
                                       for tree in SOURCE_TREES.get(library, ())]
    found = dep5_licences(copyright_text, trees) if copyright_text.startswith("Format:") else []
    if not found:
        raise LookupError(f"no licence is known for {name} of {package['name']}: give it a "
                          f"source tree, or its objects rows, in {__file__}")
    return joined(found)


def linked_objects(link_map):
    """{path: the objects taken from it} for the files outside the map's
    folder (the build's own) that the linker took code from: archives with
    the members it included, and objects it loaded whole."""
    text = pathlib.Path(link_map).read_text()
    # Only the included members stand at a line's start as "ARCHIVE(MEMBER)";
    # the memory map indents every input it names.
    named = re.findall(r"^(/\S+?)\(([^)\s]+)\)", text, re.MULTILINE)
    named += [(path, os.path.basename(path))
              for path in re.findall(r"^LOAD (/\S+\.o)$", text, re.MULTILINE)]
    inside = os.path.realpath(os.path.dirname(os.path.abspath(link_map))) + os.sep
    found = {}
    for path, member in named:
        real = os.path.realpath(path)
        if not real.startswith(inside):
            found.setdefault(real, set()).add(member)
    return {path: sorted(found[path]) for path in sorted(found)}


def linked_packages(compiler, link_maps):
    """The packages of `packages(compiler)` that the maps show files of, in
    that order, each with "linked": {path: objects}. A file of any other
    package stops it: the notices would not name it."""
    found = packages(compiler)
    by_name = {package["name"]: dict(package, linked={}) for package in found}
    linked = {}
    for link_map in link_maps:
        for path, objects in linked_objects(link_map).items():
            linked[path] = sorted(set(linked.get(path, ())) | set(objects))
    holders = owners(list(linked))
    for path, objects in linked.items():
        if holders[path] not in by_name:
            raise LookupError(f"{path} is linked from {holders[path]}, a package the notices "
                              f"do not name: add its library to {__file__}")
        by_name[holders[path]]["linked"][path] = objects
    return [package for package in by_name.values() if package["linked"]]


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


def object_licences_text(linked):
    """The notices' account of the objects taken from GCC's libraries, each
    with its licence and where GCC states it."""
    lines = []
    for package in linked:
        for path, objects in package["linked"].items():
            rows = OBJECT_LICENCES.get(os.path.basename(path))
            if rows is None:
                continue
            lines.append(f"\n{os.path.basename(path)} of {package['name']} {package['version']}:")
            for licence in dict.fromkeys(rows[item] for item in objects):
                taken = " ".join(item for item in objects if rows[item] == licence)
                lines += textwrap.wrap(taken, 76, initial_indent="  ", subsequent_indent="  ",
                                       break_on_hyphens=False)
                lines += textwrap.wrap(f"under {licence[0]}, as stated in {licence[1]}.", 76,
                                       initial_indent="    ", subsequent_indent="    ")
    if any(DEMANGLER[0] in line for line in lines):
        lines += ["", f"The exception of {DEMANGLER[0]}, in the words of", "libiberty/cp-demangle.c:",
                  "", DEMANGLER_EXCEPTION]
    return "\n".join(lines) + "\n"


def write_notices(compiler, output, link_maps):
    rule = "=" * 78
    linked = linked_packages(compiler, link_maps)
    for package in linked:
        for path, objects in package["linked"].items():
            licence_expression(package, path, objects)
    text = ["""Third-party notices for TalvorenDownloader.exe and TalvorenCheck.exe

Both programs are statically linked with runtime libraries of the MinGW-w64
project (C runtime start-up code and winpthreads) and of GCC (libgcc,
libstdc++ and libssp, the stack protector). Their copyright and licence
texts follow, as the Debian packages that the programs were built with ship
them. GCC's copyright file is free-form: first, each object the programs
take from GCC's libraries, with the licence GCC's source states for it.
""", f"\n{rule}\nThe objects taken from GCC's libraries\n{rule}\n", object_licences_text(linked)]
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
    elif len(arguments) >= 3 and not arguments[0].startswith("-"):
        try:
            write_notices(arguments[0], arguments[1], arguments[2:])
        except LookupError as error:
            print(f"runtime_components.py: {error}", file=sys.stderr)
            return 1
    else:
        print(f"usage: {sys.argv[0]} COMPILER OUTPUT MAP... | --libraries COMPILER",
              file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
