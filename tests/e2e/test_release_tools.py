"""The vendor's side: the signing script with a throw-away code-signing
certificate (from a file with a time stamp, and from a software token), and
what it must refuse; when the notices are made again, and what from; the
SBOMs, against CycloneDX's schema and the files they describe; and the
distribution check against the fixture's server, healthy and broken at each
step."""

import http.server
import json
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import threading
import unittest

import harness
import servers
from pe_imports import delay_import_slots

RELEASE = harness.REPO / "build" / "release"
SIGN = harness.REPO / "deploy" / "sign-release.sh"
NOTICES = harness.REPO / "deploy" / "runtime_components.py"
VALIDATOR = harness.REPO / "deploy" / "sbom-validator" / "validate.cjs"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
COMPILER = "x86_64-w64-mingw32-g++-posix"
SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"

# Stands in for osslsigncode: the real one does the work, then one byte of
# what remove-signature wrote is flipped, as a faulty tool or disk would.
FAULTY_OSSLSIGNCODE = f"""#!/usr/bin/env python3
import subprocess, sys
code = subprocess.call([{shutil.which("osslsigncode")!r}, *sys.argv[1:]])
if code == 0 and sys.argv[1] == "remove-signature":
    with open(sys.argv[sys.argv.index("-out") + 1], "r+b") as out:
        out.seek(4096)
        byte = out.read(1)[0]
        out.seek(4096)
        out.write(bytes([byte ^ 1]))
sys.exit(code)
"""


# Stands in for an osslsigncode that reports success and writes empty files.
EMPTY_OSSLSIGNCODE = """#!/usr/bin/env python3
import sys
if "-out" in sys.argv:
    open(sys.argv[sys.argv.index("-out") + 1], "wb").close()
"""

# Stands in for dpkg-query on a system where every path is diverted: "-S"
# answers with the diversion lines first. With FAIL_VERSIONS set, asking for
# a package's version fails.
DIVERTING_DPKG_QUERY = f"""#!/bin/sh
if [ "$1" = -S ]; then
  echo "diversion by talvoren-test from: $2"
  echo "diversion by talvoren-test to: $2.diverted"
fi
if [ "$1" = -W ] && [ -n "$FAIL_VERSIONS" ]; then
  exit 1
fi
exec {shutil.which("dpkg-query")} "$@"
"""


def tool_path(folder, name, script):
    """PATH with `script` installed as `name` in `folder` ahead of the rest."""
    folder.mkdir(exist_ok=True)
    (folder / name).write_text(script)
    (folder / name).chmod(0o755)
    return dict(os.environ, PATH=f"{folder}:{os.environ['PATH']}")


def run(*command, **options):
    return subprocess.run([str(part) for part in command], check=True,
                          stdout=subprocess.DEVNULL, **options)



def program_name(signed, folder):
    """The program name of the signature of `signed`, which must be DER's
    [1] IA5String choice holding 7-bit ASCII."""
    signature = folder / "signature.der"
    signature.unlink(missing_ok=True)
    run("osslsigncode", "extract-signature", "-in", signed, "-out", signature)
    lines = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-in", str(signature)],
                           check=True, capture_output=True, text=True).stdout.splitlines()
    opus = next(index for index, line in enumerate(lines) if SPC_SP_OPUS_INFO in line)
    # SET, SEQUENCE, [0] programName, then its [1] ascii choice.
    choice = re.match(r"\s*(\d+):d=\s*\d+\s+hl=(\d+)\s+l=\s*(\d+)\s+prim:\s+cont \[ 1 \]",
                      lines[opus + 4])
    assert choice, lines[opus + 4]
    start = int(choice[1]) + int(choice[2])
    return signature.read_bytes()[start:start + int(choice[3])].decode("ascii")


class TimeStampServer(http.server.ThreadingHTTPServer):
    """An RFC 3161 time-stamp server on a free loopback port: openssl ts
    answers each query with the test CA's time-stamping certificate."""

    def __init__(self, certs):
        self.certs = certs
        super().__init__(("127.0.0.1", 0), TimeStampHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}/"


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        certs = self.server.certs
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", str(certs / "tsa.cnf"), "-queryfile",
             "/dev/stdin", "-signer", str(certs / "tsa.pem"), "-inkey", str(certs / "tsa.key"),
             "-chain", str(certs / "ca.pem"), "-out", "/dev/stdout"],
            input=query, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, format, *args):
        pass


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = pathlib.Path(tempfile.mkdtemp(prefix="talvoren-sign-"))
        cls.certs = cls.folder / "certs"
        run(harness.REPO / "tools" / "make-cert.sh", "--code-signing", cls.certs)
        (cls.folder / "pass").write_text("test\n")
        cls.key = ["--pkcs12", cls.certs / "signing.p12"]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def assert_signed_build(self, signed):
        """The signature verifies against the test CA, and without it the
        exe is the unsigned build byte for byte. Returns the verifier's
        report."""
        report = subprocess.run(["osslsigncode", "verify", "-in", str(signed), "-CAfile",
                                 str(self.certs / "ca.pem"), "-TSA-CAfile",
                                 str(self.certs / "ca.pem")],
                                check=True, capture_output=True, text=True).stdout
        stripped = self.folder / "stripped.exe"
        stripped.unlink(missing_ok=True)
        run("osslsigncode", "remove-signature", "-in", signed, "-out", stripped)
        self.assertTrue(stripped.read_bytes() == (RELEASE / "TalvorenDownloader.exe").read_bytes())
        return report

    def sign(self, options, out, exe=RELEASE / "TalvorenDownloader.exe", **run_options):
        """Runs the signing script; returns its exit code and what it said on
        stderr."""
        command = [SIGN, *options, "--pass-file", self.folder / "pass",
                   "--url", "https://talvoren.example/", exe, out]
        done = subprocess.run([str(part) for part in command], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, **run_options)
        return done.returncode, done.stderr

    def time_stamps(self, certs):
        server = TimeStampServer(certs)
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return server.url

    def test_a_key_file_signs_a_time_stamped_build_that_verifies_and_strips_back(self):
        # Under another name than the build's: its SBOM names and hashes it.
        signed = self.folder / "file" / "TalvorenDownloader-1.0.0.exe"
        code, said = self.sign(self.key + ["--ca", self.certs / "ca.pem", "--timestamp",
                                           self.time_stamps(self.certs)], signed)
        self.assertEqual(code, 0, said)
        report = self.assert_signed_build(signed)
        self.assertIn("Timestamp Server Signature verification: ok", report)
        self.assertEqual(validate(signed.with_suffix(".cdx.json")).returncode, 0)
        self.assertEqual(program_name(signed, self.folder), "Talvoren Downloader")

    def test_what_cannot_be_proven_is_not_signed(self):
        faulty_path = tool_path(self.folder / "faulty-bin", "osslsigncode", FAULTY_OSSLSIGNCODE)
        empty_path = tool_path(self.folder / "empty-bin", "osslsigncode", EMPTY_OSSLSIGNCODE)
        other_certs = self.folder / "other-certs"
        run(harness.REPO / "tools" / "make-cert.sh", "--code-signing", other_certs)
        # In a build folder of its own, whose cache names the manifest address.
        off = self.folder / "off" / "TalvorenDownloader.exe"
        off.parent.mkdir()
        shutil.copy(RELEASE / "CMakeCache.txt", off.parent)
        off.write_bytes(bytes(byte ^ (index == 200000) for index, byte in
                              enumerate((RELEASE / "TalvorenDownloader.exe").read_bytes())))
        moved = self.folder / "moved" / "TalvorenDownloader.exe"
        moved.parent.mkdir()
        shutil.copy(RELEASE / "TalvorenDownloader.exe", moved)
        empty = self.folder / "empty" / "TalvorenDownloader.exe"
        empty.parent.mkdir()
        empty.touch()
        other_sbom = self.folder / "other-sbom" / "TalvorenDownloader.exe"
        other_sbom.parent.mkdir()
        shutil.copy(RELEASE / "TalvorenDownloader.exe", other_sbom)
        shutil.copy(RELEASE / "TalvorenCheck.cdx.json", other_sbom.with_suffix(".cdx.json"))
        ca = ["--ca", self.certs / "ca.pem"]
        cases = [
            ("an exe one byte off the committed build", ca + ["--rebuild"], off, None,
             "is not the build of the committed sources"),
            ("a rebuild of an exe outside its build folder", ca + ["--rebuild"], moved, None,
             "--rebuild needs"),
            ("a stripped copy one byte off", ca, RELEASE / "TalvorenDownloader.exe", faulty_path,
             "removing the signature does not give back"),
            ("an empty exe and a tool that writes empty files", ca, empty, empty_path,
             "removing the signature does not give back"),
            ("a CA that did not issue the certificate", ["--ca", servers.CERTS / "ca.pem"],
             RELEASE / "TalvorenDownloader.exe", None, "does not verify against"),
            ("a time stamp from an authority outside --ca",
             ca + ["--timestamp", self.time_stamps(other_certs)],
             RELEASE / "TalvorenDownloader.exe", None, "does not verify against"),
            ("an SBOM beside the exe that describes another", ca, other_sbom, None,
             "must be the SBOM of"),
            ("no --ca", [], RELEASE / "TalvorenDownloader.exe", None, "--ca FILE"),
            ("a name that is not ASCII", ca + ["--name", "Talvoren下载器"],
             RELEASE / "TalvorenDownloader.exe", None, "--name must be printable ASCII"),
        ]
        for index, (name, options, exe, env, message) in enumerate(cases):
            with self.subTest(name):
                out = self.folder / "refused" / str(index) / "TalvorenDownloader.exe"
                code, said = self.sign(self.key + options, out, exe=exe, env=env)
                self.assertNotEqual(code, 0, said)
                self.assertIn(message, said)
                self.assertFalse(out.exists())
                self.assertFalse(out.with_suffix(".cdx.json").exists())

    def test_a_key_on_a_token_signs_the_same_way(self):
        tokens = self.folder / "tokens"
        tokens.mkdir()
        config = self.folder / "softhsm2.conf"
        config.write_text(f"directories.tokendir = {tokens}\nobjectstore.backend = file\n")
        env = dict(os.environ, SOFTHSM2_CONF=str(config))
        run("softhsm2-util", "--init-token", "--free", "--label", "talvoren", "--pin", "test",
            "--so-pin", "test-so", env=env)
        key = self.folder / "signing.key.der"
        cert = self.folder / "signing.der"
        run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", self.certs / "signing.key",
            "-outform", "DER", "-out", key)
        run("openssl", "x509", "-in", self.certs / "signing.pem", "-outform", "DER", "-out", cert)
        for kind, path in (("privkey", key), ("cert", cert)):
            run("pkcs11-tool", "--module", SOFTHSM, "--token-label", "talvoren", "--login",
                "--pin", "test", "--write-object", path, "--type", kind, "--id", "01",
                "--label", "signing", env=env, stderr=subprocess.DEVNULL)

        key = ["--pkcs11-module", SOFTHSM,
               "--pkcs11-cert", "pkcs11:token=talvoren;object=signing;type=cert",
               "--key", "pkcs11:token=talvoren;object=signing;type=private"]
        signed = self.folder / "token" / "TalvorenDownloader.exe"
        code, said = self.sign(key + ["--ca", self.certs / "ca.pem"], signed, env=env)
        self.assertEqual(code, 0, said)
        self.assert_signed_build(signed)


class NoticesTest(unittest.TestCase):
    def setUp(self):
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="talvoren-notices-"))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def test_the_notices_are_made_again_when_a_runtime_library_is_newer(self):
        # The release build's own rules, read under another name so that ninja
        # does not regenerate them, with a stand-in for each library the notices
        # describe in the rule that makes them: the system's libraries stay as
        # they are.
        build = self.folder / "build"
        (build / "CMakeFiles").mkdir(parents=True)
        for name in ("CMakeFiles/rules.ninja", "THIRD_PARTY_NOTICES"):
            shutil.copy2(RELEASE / name, build / name)
        # What ninja knows of the last run, and the rules, moved to the copy.
        (build / ".ninja_log").write_text(
            (RELEASE / ".ninja_log").read_text().replace(f"{RELEASE}/", f"{build}/"))
        rules = (RELEASE / "build.ninja").read_text().replace(
            f"cmake_ninja_workdir = {RELEASE}/", f"cmake_ninja_workdir = {build}/")
        rules = rules.splitlines(keepends=True)
        notices_rule = next(index for index, line in enumerate(rules)
                            if line.startswith("build THIRD_PARTY_NOTICES "))
        # The exes, whose maps the notices read, are named as the rules name
        # them; the rule's order-only part would relink them.
        rules[notices_rule] = rules[notices_rule].split(" || ")[0].rstrip() + "\n"
        inputs = {library: library for library in subprocess.check_output(
            [NOTICES, "--libraries", COMPILER], text=True).split()}
        inputs.update({exe: RELEASE / exe for exe in ("TalvorenDownloader.exe",
                                                      "TalvorenCheck.exe")})
        stand_ins = {}
        for library, path in inputs.items():
            stand_in = self.folder / "libraries" / str(len(stand_ins))
            stand_in.parent.mkdir(exist_ok=True)
            stand_in.touch()
            original = os.stat(path).st_mtime_ns
            os.utime(stand_in, ns=(original, original))
            stand_ins[library] = (stand_in, original)
            rules[notices_rule] = re.sub(re.escape(f" {library}") + r"(?=\s)", f" {stand_in}",
                                         rules[notices_rule])
        (build / "notices.ninja").write_text("".join(rules))

        def remade():
            plan = subprocess.check_output(["ninja", "-C", str(build), "-f", "notices.ninja", "-n",
                                            "THIRD_PARTY_NOTICES"], text=True)
            return "Generating THIRD_PARTY_NOTICES" in plan

        self.assertFalse(remade())
        for library, (stand_in, original) in stand_ins.items():
            with self.subTest(library):
                os.utime(stand_in)
                self.assertTrue(remade())
                os.utime(stand_in, ns=(original, original))

    def test_diversions_name_no_package_and_a_failed_run_leaves_nothing(self):
        notices = self.folder / "THIRD_PARTY_NOTICES"
        maps = [RELEASE / "TalvorenDownloader.map", RELEASE / "TalvorenCheck.map"]
        diverting = tool_path(self.folder / "bin", "dpkg-query", DIVERTING_DPKG_QUERY)
        run(NOTICES, COMPILER, notices, *maps, env=diverting)
        self.assertEqual(notices.read_text(), (RELEASE / "THIRD_PARTY_NOTICES").read_text())
        notices.unlink()

        # A map showing an object of GCC's that the licence table has no row for.
        unreviewed = self.folder / "maps" / "unreviewed.map"
        unreviewed.parent.mkdir()
        libstdcxx = subprocess.check_output([COMPILER, "-print-file-name=libstdc++.a"],
                                            text=True).strip()
        unreviewed.write_text(f"{maps[0].read_text()}{libstdcxx}(unreviewed.o)\n")
        cases = [
            ("dpkg fails", dict(diverting, FAIL_VERSIONS="1"), maps, ""),
            ("an object with no licence row", diverting, [unreviewed],
             "no licence is known for unreviewed.o of libstdc++.a"),
        ]
        for name, env, link_maps, message in cases:
            with self.subTest(name):
                done = subprocess.run([str(NOTICES), COMPILER, str(notices), *map(str, link_maps)],
                                      env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, text=True)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(message, done.stderr)
                self.assertEqual(sorted(path.name for path in self.folder.iterdir()),
                                 ["bin", "maps"])


def value(component, name):
    return next(item["value"] for item in component["properties"] if item["name"] == name)


def validate(sbom):
    return subprocess.run(["node", str(VALIDATOR), str(sbom)], capture_output=True, text=True)


class SbomTest(unittest.TestCase):
    def test_each_sbom_is_valid_and_names_its_exe_the_noticed_packages_and_the_imports(self):
        noticed = set(re.findall(r"^\(?(\S+) (\S+), with ",
                                 (RELEASE / "THIRD_PARTY_NOTICES").read_text(), re.MULTILINE))
        for exe in (RELEASE / "TalvorenDownloader.exe", RELEASE / "TalvorenCheck.exe"):
            with self.subTest(exe.name):
                sbom = exe.with_suffix(".cdx.json")
                checked = validate(sbom)
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                bom = json.loads(sbom.read_text())
                self.assertEqual({(value(part, "talvoren:package"), part["version"])
                                  for part in bom["components"]}, noticed)
                imports = [item["value"].lower() for item in bom["metadata"]["component"]
                           ["properties"] if item["name"].startswith("talvoren:import:")]
                self.assertEqual(set(imports),
                                 harness.imported_dlls(exe) | set(delay_import_slots(exe)))

                # Beside another exe, the hashes it states are refused.
                folder = pathlib.Path(tempfile.mkdtemp(prefix="talvoren-sbom-"))
                self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
                shutil.copy(sbom, folder)
                (folder / exe.name).write_bytes(exe.read_bytes() + b"\0")
                self.assertEqual(validate(folder / sbom.name).returncode, 1)


def served(relative, text):
    path = servers.ROOT / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return f"https://localhost:{servers.HTTPS_PORT}/{relative}"


class DistributionCheckTest(unittest.TestCase):
    def test_a_healthy_server_passes_every_step(self):
        https = servers.generated("size=3000000", "Healthy.zip")
        http = https.replace(f"https://localhost:{servers.HTTPS_PORT}/",
                             f"http://localhost:{servers.HTTP_PORT}/")
        for package, without_tls in ((https, False), (http, True)):
            with self.subTest(package):
                code, report = harness.check(served("check/healthy.txt", f"{package}\r\n"))
                self.assertEqual(code, 0, report)
                self.assertIn(f'  text "{package}"\n', report)
                self.assertIn(f"package size: HEAD {package}\n  status 200, "
                              'Content-Length "3000000", ', report)
                self.assertIn(f"package: GET {package}\n  status 200, 3000000 bytes in ", report)
                self.assertTrue(report.endswith(
                    "The downloader would complete the download and store it as Healthy.zip.\n"),
                    report)
                self.assertEqual(report.count("  passed\n"), 3, report)
                self.assertEqual(
                    "\nThe package travels without TLS: its address is plain http.\n" in report,
                    without_tls, report)

    def test_without_an_address_it_checks_the_one_the_downloader_reads(self):
        # The served manifest is other tests' to change: only where the check
        # went is this test's to know.
        built = f"https://localhost:{servers.HTTPS_PORT}/clients/version.txt"
        code, report = harness.run_captured(harness.CHECK)
        self.assertIn(code, (0, 1), report)
        self.assertTrue(report.startswith(
            f"Distribution check of {built}\nmanifest: GET {built}\n"), report)

    def test_each_step_fails_with_the_downloaders_message(self):
        cases = [
            ("manifest 404", servers.generated("status=404", "version.txt"),
             "FAILED: status 404 is outside 200 to 299", "无法读取安装包下载地址", 1),
            ("HEAD without Content-Length",
             served("check/no-length.txt",
                    servers.generated("size=1000/head-cl=none", "NoLength.zip")),
             "FAILED: no usable Content-Length", "无法获取安装包大小", 2),
            ("GET refused",
             served("check/get-404.txt",
                    servers.generated("size=1000/get-status=404", "Get404.zip")),
             "FAILED: status 404 is outside 200 to 299", "无法连接安装包下载服务器", 3),
            ("body cut short",
             served("check/cut.txt", servers.generated("size=3000000/cut=2000000", "Cut.zip")),
             "FAILED: the body has 2000000 bytes, the HEAD said 3000000",
             "安装包下载中断，未完成的文件已删除。", 3),
        ]
        for name, manifest, failure, message, steps in cases:
            with self.subTest(name):
                code, report = harness.check(manifest)
                self.assertEqual(code, 1, report)
                self.assertIn(failure, report)
                self.assertTrue(report.endswith(f"The downloader would show: {message}\n"),
                                report)
                self.assertEqual(report.count("  passed\n"), steps - 1, report)


if __name__ == "__main__":
    unittest.main()
