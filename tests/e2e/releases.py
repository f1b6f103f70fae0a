"""Game releases as data: parts (zips), their setup list, and publishing them
on the fake GitHub.

    parts = sample_parts(bin_dir, "1.0")
    publish(gh, "1.0", parts)        # latest is now 1.0

A release is published with the setup list that the release tool writes for
it ("tolvar-release make", as a release pipeline runs it); a release that is
wrong on purpose, which make refuses, passes made=False and gets its list
written line by line here.
"""

import hashlib
import io
import os
import subprocess
import tempfile
import zipfile

REPO = "brannix/ProjectTolvar"
RUN = "Tolvar/bin/tolvar-game.exe"


def zip_bytes(files):
    """A zip of {name: bytes}; a name ending in '/' is a folder entry."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in sorted(files.items()):
            if name.endswith("/"):
                z.writestr(zipfile.ZipInfo(name), b"")
            else:
                z.writestr(name, data)
    return buf.getvalue()


class Part:
    def __init__(self, file, dir, from_, to, files, url=None, sha256=None, size=None, data=None):
        self.file = file          # asset name, the url's last segment
        self.dir = dir
        self.from_ = from_
        self.to = to
        self.files = files        # what the zip holds
        self.data = zip_bytes(files) if data is None else data  # data: a zip made elsewhere
        self.sha256 = sha256 or hashlib.sha256(self.data).hexdigest()
        self.size = len(self.data) if size is None else size
        self.url = url            # None: the release's download link

    def line(self, tag):
        url = self.url or "https://github.com/%s/releases/download/%s/%s" % (REPO, tag, self.file)
        return "part %s %d %s %s %s %s" % (self.sha256, self.size, self.dir, self.from_, self.to, url)


ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def release_tool():
    """The command that runs tolvar-release: TOLVAR_RELEASE_TOOL, or
    scripts/release-tool, which builds it when needed."""
    tool = os.environ.get("TOLVAR_RELEASE_TOOL")
    return [tool] if tool else ["bash", os.path.join(ROOT, "scripts", "release-tool")]


def run_release_tool(*args):
    """(exit code, stdout and stderr) of tolvar-release with these arguments."""
    r = subprocess.run(release_tool() + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=600)
    return r.returncode, r.stdout.decode("utf-8", "replace")


def write_release(folder, tag, parts, run=RUN):
    """The zips and the tolvar-setup.in of a release, as an engineer lays them out."""
    os.makedirs(folder, exist_ok=True)
    for p in parts:
        if p.url is not None or p.sha256 != hashlib.sha256(p.data).hexdigest() or p.size != len(p.data):
            raise ValueError("%s is wrong on purpose: publish it with made=False" % p.file)
        with open(os.path.join(folder, p.file), "wb") as f:
            f.write(p.data)
    lines = ["tag " + tag, "run " + run,
             "url https://github.com/%s/releases/download/%s/" % (REPO, tag)]
    lines += ["part %s %s %s %s" % (p.file, p.dir, p.from_, p.to) for p in parts]
    with open(os.path.join(folder, "tolvar-setup.in"), "w") as f:
        f.write("\n".join(lines) + "\n")


# The test publisher's private key; Tolvar-Setup-keyed.exe holds its public half.
TEST_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keys", "publisher.pem")


def make_release(folder, tag, parts, run=RUN, sign=None):
    """Lays the release out in folder and runs tolvar-release make there
    (with --sign and the private key sign, when given); returns what make
    printed. Fails when make refuses the release."""
    write_release(folder, tag, parts, run)
    code, out = run_release_tool("make", folder, *(["--sign", sign] if sign else []))
    if code != 0:
        raise AssertionError("tolvar-release make refused release %s:\n%s" % (tag, out))
    return out


def made_list(tag, parts, run=RUN):
    """The setup list that tolvar-release make writes for the release."""
    with tempfile.TemporaryDirectory(prefix="tolvar-release-") as folder:
        make_release(folder, tag, parts, run)
        with open(os.path.join(folder, "tolvar-setup.txt"), "rb") as f:
            return f.read()


def signed_list(tag, parts, key=TEST_KEY, run=RUN):
    """The setup list that make writes for the release and the signature that
    make --sign writes beside it: (list bytes, signature bytes)."""
    with tempfile.TemporaryDirectory(prefix="tolvar-release-") as folder:
        make_release(folder, tag, parts, run, sign=key)
        with open(os.path.join(folder, "tolvar-setup.txt"), "rb") as f, \
                open(os.path.join(folder, "tolvar-setup.txt.sig"), "rb") as g:
            return f.read(), g.read()


def sign_bytes(data, key):
    """What "openssl dgst -sha256 -sign key" writes for data."""
    r = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=data, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=60)
    if r.returncode != 0:
        raise AssertionError("openssl could not sign: %s" % r.stderr.decode(errors="replace"))
    return r.stdout


def setup_list(tag, parts, run=RUN, newline="\r\n"):
    """The setup list written line by line, for releases that are wrong on
    purpose (make refuses them)."""
    lines = ["tag " + tag, "run " + run] + [p.line(tag) for p in parts]
    return (newline.join(lines) + newline).encode()


def sample_parts(bin_dir, version, game_bytes=None):
    """Four parts shaped like the game's: the game folder (unpacked as
    game-<version> and renamed to bin), the launcher straight into Tolvar,
    a data folder, and a tools archive unpacked at the top of the version."""
    with open(os.path.join(bin_dir, "recorder.exe"), "rb") as f:
        recorder = f.read()
    game = game_bytes if game_bytes is not None else recorder
    return [
        Part("Tolvar-game-%s.zip" % version, "Tolvar", "game-" + version, "bin",
             {"game-%s/tolvar-game.exe" % version: game,
              "game-%s/readme.txt" % version: b"Project Tolvar " + version.encode()}),
        Part("Tolvar-launcher-%s.zip" % version, "Tolvar", "-", "-",
             {"Tolvar.exe": recorder}),
        Part("Tolvar-data-%s.zip" % version, "Tolvar", "data", "data",
             {"data/": b"", "data/world.txt": b"world of " + version.encode()}),
        Part("Tolvar-python-3.12.zip", ".", "-", "-",
             {"Tolvar/tools/python/python.txt": b"python 3.12"}),
    ]


def publish(gh, tag, parts, run=RUN, latest=True, list_bytes=None, made=True, signature=None):
    """Publishes the release: its parts and its setup list as assets. The
    list is list_bytes when given, else the one make writes (made=False:
    the one setup_list writes). signature: the bytes of the list's
    signature asset, or None for none."""
    assets = {p.file: p.data for p in parts}
    if list_bytes is None:
        list_bytes = made_list(tag, parts, run) if made else setup_list(tag, parts, run)
    assets["tolvar-setup.txt"] = list_bytes
    if signature is not None:
        assets["tolvar-setup.txt.sig"] = signature
    gh.add_release(tag, assets, latest=latest)
    return assets
