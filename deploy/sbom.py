#!/usr/bin/env python3
"""Writes the CycloneDX 1.6 SBOM of a release exe: the exe itself, with the
Windows DLLs it imports (read from the exe) as what it needs of the platform,
and each runtime library file from the Debian packages the notices are made
from that the linker's map shows code taken from, with the objects taken. Two builds of one commit give the same bytes:
the time is the commit's, the serial number is derived from the content.

  deploy/sbom.py --exe EXE --map MAP --compiler COMPILER --version VERSION
                --vendor-name NAME --vendor-url URL --licence SPDX
                --source DIR --output SBOM
  deploy/sbom.py --signed UNSIGNED-SBOM UNSIGNED-EXE SIGNED-EXE FILE-NAME OUTPUT
                (the SBOM of a signed copy to be shipped as FILE-NAME: the same
                but for the exe's hashes and file name, refused unless
                UNSIGNED-SBOM describes UNSIGNED-EXE)

The time of the commit is SOURCE_DATE_EPOCH when set, else that of the
source folder's HEAD."""

import argparse
import datetime
import hashlib
import json
import os
import pathlib
import subprocess
import sys
import uuid
from urllib.parse import quote

import pe_imports
import runtime_components

SCHEMA = "http://cyclonedx.org/schema/bom-1.6.schema.json"
DEBIAN = {"name": "Debian", "url": ["https://www.debian.org/"]}
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


def commit_time(source):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        # Root building a checkout another user owns is refused as of dubious
        # ownership unless told, for this one call, that the folder is safe.
        done = subprocess.run(["git", "-c", f"safe.directory={os.path.abspath(source)}",
                               "-C", source, "log", "-1", "--format=%ct"],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise LookupError(f"git gives no commit time of {source}: {done.stderr.strip()} "
                              "(outside a git checkout, set SOURCE_DATE_EPOCH to the time of "
                              "the commit it holds)")
        epoch = done.stdout.strip()
    moment = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def debian_release():
    fields = dict(line.split("=", 1) for line in
                  pathlib.Path("/etc/os-release").read_text().splitlines() if "=" in line)
    return fields["VERSION_ID"].strip('"')


def package_url(package, release, path):
    """The package URL of `path` in `package`. Package URLs escape all but
    letters, digits and "-._~" ("g++" is "g%2B%2B"), except the colon of a
    version's epoch; qualifiers in the order of their keys; the file's path
    in the package is the subpath."""
    name, version = package["name"], package["version"]
    purl = (f"pkg:deb/debian/{quote(name, safe='')}@{quote(version, safe=':')}"
            f"?arch={package['architecture']}&distro=debian-{release}")
    if package["source"] != name:
        purl += f"&upstream={quote(package['source'], safe='')}"
    return purl + "#" + "/".join(quote(part, safe="") for part in path.strip("/").split("/"))


def file_component(package, path, objects, release):
    """A file the linker took code from, as the library it is: its package's
    version, maker and archive addresses, its own hashes and licence, and
    nested in it the objects taken from it where their licences differ by
    object."""
    name = os.path.basename(path)
    purl = package_url(package, release, path)
    source = f"{package['source']}/{package['source_version']}"
    archive = path.endswith(".a")
    component = {
        "type": "library", "bom-ref": purl, "supplier": DEBIAN,
        "manufacturer": {"url": [package["homepage"]]}, "name": name,
        "version": package["version"], "purl": purl,
        "licenses": [{"expression": runtime_components.licence_expression(package, path, objects),
                      "acknowledgement": "concluded"}],
        "hashes": hashes(path),
        "externalReferences": [
            {"type": "distribution", "url": f"https://snapshot.debian.org/package/{source}/"},
            {"type": "source-distribution", "url": f"https://sources.debian.org/src/{source}/"}],
        "properties": properties(name, True, archive, archive, ("talvoren:path", path),
                                 ("talvoren:package", package["name"]),
                                 ("talvoren:copyright", package["copyright"])),
    }
    rows = runtime_components.OBJECT_LICENCES.get(name)
    if rows and archive:
        component["components"] = [
            {"type": "file", "bom-ref": f"{purl}({item})", "name": item,
             "licenses": [{"expression": rows[item][0], "acknowledgement": "concluded"}]}
            for item in objects]
    return component


def with_serial_number(bom):
    """`bom` with a serial number derived from everything else in it."""
    bom.pop("serialNumber", None)
    content = json.dumps(bom, sort_keys=True, ensure_ascii=False)
    number = uuid.uuid5(SERIAL_NAMESPACE, content)
    return {"$schema": bom.pop("$schema"), "bomFormat": bom.pop("bomFormat"),
            "specVersion": bom.pop("specVersion"), "serialNumber": f"urn:uuid:{number}", **bom}


def exe_identity(primary, file_name, exe_hashes):
    """Names `primary`, the exe's component, after the file `file_name` with
    `exe_hashes`, the file beside the SBOM."""
    primary["bom-ref"] = f"exe:{file_name}"
    primary["hashes"] = exe_hashes
    primary["externalReferences"] = [{"type": "distribution", "url": file_name,
                                      "hashes": exe_hashes}]
    for item in primary["properties"]:
        if item["name"] == "bsi:component:filename":
            item["value"] = file_name


def bill_of_materials(options):
    exe = pathlib.Path(options.exe)
    release = debian_release()
    files = [file_component(package, path, objects, release)
             for package in runtime_components.linked_packages(options.compiler, [options.map])
             for path, objects in package["linked"].items()]
    vendor = {"name": options.vendor_name, "url": [options.vendor_url]}
    primary = {
        "type": "application", "bom-ref": None, "manufacturer": vendor, "name": exe.stem,
        "version": options.version,
        "licenses": [{"expression": options.licence, "acknowledgement": "concluded"}],
        "hashes": None, "externalReferences": None,
        # The DLLs it imports are parts of Windows, loaded from the system
        # folder and never shipped: what the exe needs of the platform.
        "properties": properties(exe.name, True, False, False,
                                 *((f"talvoren:import:{kind}", name)
                                   for name, kind in imported_dlls(exe))),
    }
    exe_identity(primary, exe.name, hashes(exe))
    refs = [file["bom-ref"] for file in files]
    return with_serial_number({
        "$schema": SCHEMA, "bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
        "metadata": {"timestamp": commit_time(options.source),
                     "lifecycles": [{"phase": "build"}], "manufacturer": vendor,
                     "component": primary},
        "components": files,
        "dependencies": [{"ref": primary["bom-ref"], "dependsOn": refs}] +
                        [{"ref": ref} for ref in refs],
        "compositions": [
            # Every library file the linker took code from is listed; what
            # those depend on in turn is not.
            {"aggregate": "complete", "assemblies": [primary["bom-ref"]],
             "dependencies": [primary["bom-ref"]]},
            {"aggregate": "unknown", "dependencies": refs},
        ],
    })


def signed_bill_of_materials(unsigned_sbom, unsigned_exe, signed_exe, file_name):
    bom = json.loads(pathlib.Path(unsigned_sbom).read_text(encoding="utf-8"))
    primary = bom["metadata"]["component"]
    if primary["hashes"] != hashes(unsigned_exe):
        raise ValueError(f"{unsigned_sbom} does not describe {unsigned_exe}: their hashes differ")
    old = primary["bom-ref"]
    exe_identity(primary, file_name, hashes(signed_exe))
    for dependency in bom["dependencies"]:
        if dependency["ref"] == old:
            dependency["ref"] = primary["bom-ref"]
    for composition in bom["compositions"]:
        for key in ("assemblies", "dependencies"):
            composition[key] = [primary["bom-ref"] if ref == old else ref
                                for ref in composition.get(key, [])]
            if not composition[key]:
                del composition[key]
    return with_serial_number(bom)


def main(arguments):
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--signed", nargs=5, metavar="FILE")
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
            bom = signed_bill_of_materials(*options.signed[:4])
            output = options.signed[4]
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
