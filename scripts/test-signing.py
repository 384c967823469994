#!/usr/bin/env python3
"""Makes the signed programs that the Windows tests take, from the built ones.

    python3 scripts/test-signing.py BIN OUT

BIN holds the built executables (ombrel-service.exe and the stand-ins);
OUT (made afresh) receives BUILD.SIGNER.exe for every build and signer the
tests name, BUILD.exe for the unsigned ones, the certificates (not their
keys) under certs/, and last the file "made", which lists the programs. The Windows build runs this after linking (the
ombrel_test_signed target), so the signed files lie beside the test
executables in bin/test-signed and travel with them to a Windows runner:
no signing tool is needed where the tests run, and Wine and Windows judge
the very same files.

Certificates come from openssl and signatures from osslsigncode, both
Debian's. The keys are made afresh on each run and never leave a temporary
folder: they sign these test builds and nothing else.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

# Long enough that a build folder's signed files outlast any test run made
# from it; the files are made again whenever a program they come from is.
# The certificates start when they are made (Debian's openssl 3.0 sets no
# other start): the tests run after the build, on a clock that agrees.
DAYS = "365"

# Builds: name -> (built program, version resource (a, b, c, d) or None to
# keep it, (old, new) to rename inside the resource or None).
BUILDS = {
    "service": ("ombrel-service.exe", None, None),
    "desktop": ("standin-desktop.exe", None, None),
    "xray": ("standin-xray.exe", None, None),
    "desktop-9.1": ("standin-desktop.exe", (9, 1, 0, 0), None),
    "desktop-0.9": ("standin-desktop.exe", (0, 9, 0, 0), None),
    # The desktop stand-in posing as a service build.
    "desktop-as-service-9.1": ("standin-desktop.exe", (9, 1, 0, 0),
                               ("ombrel-desktop", "ombrel-service")),
    "service-9.1": ("ombrel-service.exe", (9, 1, 0, 0), None),
    "service-0.9": ("ombrel-service.exe", (0, 9, 0, 0), None),
}

# Test authorities, each a key and a self-signed CA certificate.
AUTHORITIES = ["ca", "other"]

# Signers: name -> (authority or None for a self-signed one, the subject's
# common name after "Ombrel test ", extended key usage, expired). Two
# signers of one authority and subject are one publisher with two
# certificates (a renewal); an expired one ends a day before it starts.
SIGNERS = {
    "ours": ("ca", "ours", "codeSigning", False),
    "renewed": ("ca", "ours", "codeSigning", False),
    "impostor": ("other", "ours", "codeSigning", False),
    "neighbour": ("ca", "neighbour", "codeSigning", False),
    "self": (None, "self", "codeSigning", False),
    "servers": ("ca", "ours", "serverAuth", False),
    "expired": ("ca", "ours", "codeSigning", True),
}

# What is signed by whom (None: left unsigned, version resource changed).
SIGNED = {
    "service": ["ours"],
    "desktop": ["ours", "renewed", "impostor", "neighbour", "self", "servers", "expired"],
    "xray": ["ours"],
    "desktop-9.1": ["ours", "renewed", "impostor", "self", None],
    "desktop-0.9": ["ours"],
    "desktop-as-service-9.1": ["ours"],
    "service-9.1": ["renewed"],
    "service-0.9": ["renewed"],
}


def run(*args):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        sys.exit(f"{args[0]} {args[1]} failed (exit {done.returncode}):\n"
                 + done.stdout.decode(errors="replace"))


def authority(certs, name):
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", DAYS,
        "-subj", f"/O=Ombrel test/CN=Ombrel test authority {name}",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign",
        "-keyout", os.path.join(certs, name + ".ca.key"),
        "-out", os.path.join(certs, name + ".ca.crt"))


# Writes NAME.crt (with the authority's certificate after the signer's, so
# that signatures carry the chain) and NAME.key.
def signer(certs, name, by, subject, usage, expired):
    key = os.path.join(certs, name + ".key")
    cert = os.path.join(certs, name + ".crt")
    usage_ext = ["-addext", "extendedKeyUsage=" + usage]
    if by is None:
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", DAYS,
            "-subj", f"/CN=Ombrel test {subject}", *usage_ext, "-keyout", key, "-out", cert)
        return
    ca_cert = os.path.join(certs, by + ".ca.crt")
    ca_key = os.path.join(certs, by + ".ca.key")
    fields = ["-subj", f"/O=Ombrel test/CN=Ombrel test {subject}", *usage_ext,
              "-addext", "basicConstraints=critical,CA:FALSE"]
    if expired:
        # A request, then a certificate that ends a day before it starts
        # (`req` takes no such span, `x509` does).
        request = os.path.join(certs, name + ".csr")
        run("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", *fields,
            "-keyout", key, "-out", request)
        run("openssl", "x509", "-req", "-in", request, "-copy_extensions", "copy",
            "-days", "-1", "-CA", ca_cert, "-CAkey", ca_key, "-out", cert)
    else:
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", DAYS,
            *fields, "-CA", ca_cert, "-CAkey", ca_key, "-keyout", key, "-out", cert)
    with open(cert, "ab") as chain, open(ca_cert, "rb") as ca:
        chain.write(ca.read())


def utf16(text):
    return text.encode("utf-16-le")


# Rewrites the fixed FileVersion and ProductVersion of the program's version
# resource and, where asked, every UTF-16 occurrence of a name with another
# as long. VS_FIXEDFILEINFO follows the key "VS_VERSION_INFO" (with its
# null, 32 bytes from the block's sixth byte, then padded to four): its
# signature, the structure's version, then the file and the product version
# (most significant halves first). The signature alone may also stand in
# code, so it is looked for after the key only.
def restamp(program, version, rename):
    key = utf16("VS_VERSION_INFO")
    at = program.find(key)
    while at != -1 and program[at + 34:at + 38] != b"\xBD\x04\xEF\xFE":
        at = program.find(key, at + 1)
    if at == -1:
        sys.exit("no version resource to restamp")
    fixed = at + 34
    ms = version[0] << 16 | version[1]
    ls = version[2] << 16 | version[3]
    for offset in (fixed + 8, fixed + 16):
        struct.pack_into("<II", program, offset, ms, ls)
    if rename:
        old, new = utf16(rename[0]), utf16(rename[1])
        assert len(old) == len(new)
        program[:] = program.replace(old, new)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    bin_dir, out = sys.argv[1], sys.argv[2]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, "certs"))
    made = []
    with tempfile.TemporaryDirectory() as work:
        certs = os.path.join(work, "certs")
        os.makedirs(certs)
        for name in AUTHORITIES:
            authority(certs, name)
        for name, shape in SIGNERS.items():
            signer(certs, name, *shape)
        for name in os.listdir(certs):
            if name.endswith(".crt"):
                shutil.copyfile(os.path.join(certs, name), os.path.join(out, "certs", name))
        for build, signers in SIGNED.items():
            source, version, rename = BUILDS[build]
            with open(os.path.join(bin_dir, source), "rb") as f:
                program = bytearray(f.read())
            if version:
                restamp(program, version, rename)
            unsigned = os.path.join(work, build + ".exe")
            with open(unsigned, "wb") as f:
                f.write(program)
            for name in signers:
                if name is None:
                    made.append(build + ".exe")
                    shutil.copyfile(unsigned, os.path.join(out, made[-1]))
                    continue
                made.append(f"{build}.{name}.exe")
                run("osslsigncode", "sign",
                    "-certs", os.path.join(certs, name + ".crt"),
                    "-key", os.path.join(certs, name + ".key"),
                    "-in", unsigned, "-out", os.path.join(out, made[-1]))
    # Last: a run that failed halfway leaves no "made", and the build runs
    # this again.
    with open(os.path.join(out, "made"), "w") as f:
        f.write("".join(name + "\n" for name in made))


if __name__ == "__main__":
    main()
