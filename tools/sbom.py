#!/usr/bin/env python3
"""Writes the CycloneDX 1.6 SBOM of a release exe: the exe itself, the Debian
packages whose runtime libraries are linked into it (the record the notices
are made from, checked against the linker's map) and the Windows DLLs it
imports, read from the exe. Two builds of one commit give the same bytes:
the time is the commit's, the serial number is derived from the content.

  tools/sbom.py --exe EXE --map MAP --compiler COMPILER --version VERSION
                --vendor-name NAME --vendor-url URL --licence SPDX
                --source DIR --output SBOM
  tools/sbom.py --signed UNSIGNED-SBOM UNSIGNED-EXE SIGNED-EXE OUTPUT
                (the SBOM of a signed copy: the same but for the exe's hashes,
                refused unless UNSIGNED-SBOM describes UNSIGNED-EXE)

The time of the commit is SOURCE_DATE_EPOCH when set, else that of the
source folder's HEAD."""

import argparse
import datetime
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import uuid
from urllib.parse import quote

import pe_imports
import runtime_components

SCHEMA = "http://cyclonedx.org/schema/bom-1.6.schema.json"
DEBIAN = {"name": "Debian", "url": ["https://www.debian.org/"]}
WINDOWS = {"name": "Microsoft Corporation", "url": ["https://www.microsoft.com/"]}
# A fixed namespace for the serial numbers: the same content, the same number.
SERIAL_NAMESPACE = uuid.UUID("6c1f9e0a-31a4-4f55-9d0c-7a4c1b3e5d21")


def hashes(path):
    data = pathlib.Path(path).read_bytes()
    return [{"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()},
            {"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()}]


def properties(file_name, executable, archive, structured, *extra):
    """The file properties a bill of materials for regulators asks of every
    component that is a file, then `extra` (name, value) pairs."""
    pairs = [("bsi:component:filename", file_name),
             ("bsi:component:executable", "executable" if executable else "non-executable"),
             ("bsi:component:archive", "archive" if archive else "no archive"),
             ("bsi:component:structured", "structured" if structured else "unstructured"),
             *extra]
    return [{"name": name, "value": value} for name, value in pairs]


def imported_dlls(exe):
    """The DLLs the exe imports, in the order its tables give them, each
    with "static" or "delay-loaded"."""
    return ([(name, "static") for name in pe_imports.static_imports(exe)] +
            [(name, "delay-loaded") for name in pe_imports.delay_import_slots(exe)])


def linked_toolchain_files(link_map, build_dir):
    """The files outside the build folder that the linker took code from:
    archives with a member included, and objects it loaded whole."""
    text = pathlib.Path(link_map).read_text()
    # Only the included members stand at a line's start as "ARCHIVE(MEMBER)";
    # the memory map indents every input it names.
    named = re.findall(r"^(/\S+?)\(", text, re.MULTILINE)
    named += re.findall(r"^LOAD (/\S+\.o)$", text, re.MULTILINE)
    inside = os.path.realpath(build_dir) + os.sep
    return sorted({path for path in map(os.path.realpath, named) if not path.startswith(inside)})


def commit_time(source):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        done = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise LookupError(f"{source} is no git checkout: set SOURCE_DATE_EPOCH to the "
                              "time of the commit it holds")
        epoch = done.stdout.strip()
    moment = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def debian_release():
    fields = dict(line.split("=", 1) for line in
                  pathlib.Path("/etc/os-release").read_text().splitlines() if "=" in line)
    return fields["VERSION_ID"].strip('"')


def package_component(package, files, release):
    name, version = package["name"], package["version"]
    # Package URLs escape all but letters, digits and "-._~" ("g++" is
    # "g%2B%2B"); qualifiers in the order of their keys.
    purl = (f"pkg:deb/debian/{quote(name, safe='')}@{quote(version, safe='')}"
            f"?arch={package['architecture']}&distro=debian-{release}")
    if package["source"] != name:
        purl += f"&upstream={quote(package['source'], safe='')}"
    licence = [{"expression": runtime_components.licence_expression(name, package["libraries"]),
                "acknowledgement": "concluded"}]
    creator = {"url": [package["homepage"]]}
    source = f"{package['source']}/{package['source_version']}"
    return {
        "type": "library", "bom-ref": purl, "supplier": DEBIAN, "manufacturer": creator,
        "name": name, "version": version, "purl": purl, "licenses": licence,
        "externalReferences": [
            {"type": "distribution", "url": f"https://snapshot.debian.org/package/{source}/"},
            {"type": "source-distribution", "url": f"https://sources.debian.org/src/{source}/"}],
        "properties": [{"name": "talvoren:copyright", "value": package["copyright"]}],
        "components": [{
            "type": "file", "bom-ref": f"{purl}#{path}", "manufacturer": creator,
            "name": os.path.basename(path), "version": version, "licenses": licence,
            "hashes": hashes(path),
            "properties": properties(os.path.basename(path), True, path.endswith(".a"),
                                     path.endswith(".a"), ("talvoren:path", path)),
        } for path in files],
    }


def dll_component(name, kind):
    return {"type": "library", "bom-ref": f"windows:{name.lower()}", "manufacturer": WINDOWS,
            "name": name, "scope": "required",
            "properties": [{"name": "talvoren:import", "value": kind},
                           {"name": "talvoren:delivery",
                            "value": "part of Windows: loaded from the system folder, "
                                     "not shipped"}]}


def with_serial_number(bom):
    """`bom` with a serial number derived from everything else in it."""
    bom.pop("serialNumber", None)
    content = json.dumps(bom, sort_keys=True, ensure_ascii=False)
    number = uuid.uuid5(SERIAL_NAMESPACE, content)
    return {"$schema": bom.pop("$schema"), "bomFormat": bom.pop("bomFormat"),
            "specVersion": bom.pop("specVersion"), "serialNumber": f"urn:uuid:{number}", **bom}


def bill_of_materials(options):
    exe = pathlib.Path(options.exe)
    toolchain = runtime_components.packages(options.compiler)
    by_name = {package["name"]: package for package in toolchain}
    files = {name: [] for name in by_name}
    linked = linked_toolchain_files(options.map, exe.parent)
    holders = runtime_components.owners(linked)
    for path in linked:
        owner = holders[path]
        if owner not in files:
            raise LookupError(f"{exe.name} links {path} of {owner}, a package the notices do "
                              f"not name: add its library to {runtime_components.__file__}")
        files[owner].append(path)
    release = debian_release()
    packages = [package_component(by_name[name], paths, release)
                for name, paths in files.items() if paths]
    dlls = [dll_component(name, kind) for name, kind in imported_dlls(exe)]
    vendor = {"name": options.vendor_name, "url": [options.vendor_url]}
    exe_hashes = hashes(exe)
    primary = {
        "type": "application", "bom-ref": f"exe:{exe.name}", "manufacturer": vendor,
        "name": exe.stem, "version": options.version,
        "licenses": [{"expression": options.licence, "acknowledgement": "concluded"}],
        "hashes": exe_hashes,
        # The deployable form is the file beside this SBOM.
        "externalReferences": [{"type": "distribution", "url": exe.name,
                                "hashes": exe_hashes}],
        "properties": properties(exe.name, True, False, False),
    }
    inner = [file["bom-ref"] for package in packages for file in package["components"]]
    outer = [package["bom-ref"] for package in packages]
    return with_serial_number({
        "$schema": SCHEMA, "bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
        "metadata": {"timestamp": commit_time(options.source),
                     "lifecycles": [{"phase": "build"}], "manufacturer": vendor,
                     "component": primary},
        "components": packages + dlls,
        "dependencies": [{"ref": primary["bom-ref"],
                          "dependsOn": outer + [dll["bom-ref"] for dll in dlls]}] +
                        [{"ref": package["bom-ref"],
                          "dependsOn": [file["bom-ref"] for file in package["components"]]}
                         for package in packages] +
                        [{"ref": ref} for ref in inner + [dll["bom-ref"] for dll in dlls]],
        "compositions": [
            # Every library file the linker took code from, and every DLL the
            # exe imports, is listed; what those depend on in turn is not.
            {"aggregate": "complete", "assemblies": [primary["bom-ref"]] + outer,
             "dependencies": [primary["bom-ref"]] + outer},
            {"aggregate": "unknown",
             "dependencies": inner + [dll["bom-ref"] for dll in dlls]},
        ],
    })


def signed_bill_of_materials(unsigned_sbom, unsigned_exe, signed_exe):
    bom = json.loads(pathlib.Path(unsigned_sbom).read_text(encoding="utf-8"))
    primary = bom["metadata"]["component"]
    if primary["hashes"] != hashes(unsigned_exe):
        raise ValueError(f"{unsigned_sbom} does not describe {unsigned_exe}: their hashes differ")
    primary["hashes"] = primary["externalReferences"][0]["hashes"] = hashes(signed_exe)
    return with_serial_number(bom)


def main(arguments):
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--signed", nargs=4, metavar="FILE")
    for option in ("exe", "map", "compiler", "version", "vendor-name", "vendor-url", "licence",
                   "source", "output"):
        parser.add_argument(f"--{option}")
    options = parser.parse_args(arguments)
    missing = [name for name, value in vars(options).items() if value is None]
    if not options.signed and missing != ["signed"]:
        parser.error("missing: " + ", ".join(f"--{name.replace('_', '-')}" for name in missing
                                             if name != "signed"))
    try:
        if options.signed:
            bom = signed_bill_of_materials(*options.signed[:3])
            output = options.signed[3]
        else:
            bom = bill_of_materials(options)
            output = options.output
    except (LookupError, ValueError, OSError, subprocess.CalledProcessError) as error:
        print(f"sbom.py: {error}", file=sys.stderr)
        return 1
    runtime_components.write_atomically(output, json.dumps(bom, indent=2, ensure_ascii=False)
                                        + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
