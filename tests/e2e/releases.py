"""Game releases as data: parts (zips), their setup list, and publishing them
on the fake GitHub.

    parts = sample_parts(bin_dir, "1.0")
    publish(gh, "1.0", parts)        # latest is now 1.0
"""

import hashlib
import io
import os
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
    def __init__(self, file, dir, from_, to, files, url=None, sha256=None, size=None):
        self.file = file          # asset name, the url's last segment
        self.dir = dir
        self.from_ = from_
        self.to = to
        self.files = files        # what the zip holds
        self.data = zip_bytes(files)
        self.sha256 = sha256 or hashlib.sha256(self.data).hexdigest()
        self.size = len(self.data) if size is None else size
        self.url = url            # None: the release's download link

    def line(self, tag):
        url = self.url or "https://github.com/%s/releases/download/%s/%s" % (REPO, tag, self.file)
        return "part %s %d %s %s %s %s" % (self.sha256, self.size, self.dir, self.from_, self.to, url)


def setup_list(tag, parts, run=RUN, newline="\r\n"):
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


def publish(gh, tag, parts, run=RUN, latest=True, list_bytes=None):
    """Publishes the release: its parts and its setup list as assets."""
    assets = {p.file: p.data for p in parts}
    assets["tolvar-setup.txt"] = list_bytes if list_bytes is not None else setup_list(tag, parts, run)
    gh.add_release(tag, assets, latest=latest)
    return assets
