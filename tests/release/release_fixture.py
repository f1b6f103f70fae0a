"""Small releases for the tests of tolvar-release: zips built entry by entry
(so that a test can clear the UTF-8 flag, store '..' or an absolute name, or
make a symbolic link) and the list or .in file that goes with them.

    r = Release.sample()            # four parts, like the game's
    r.zips["Tolvar-data-1.0.zip"].append(Entry("../evil.txt"))
    r.write(folder)                 # zips and tolvar-setup.txt
    r.write(folder, make_input=True)  # zips and tolvar-setup.in instead
"""

import copy
import hashlib
import io
import os
import zipfile

URL = "https://github.com/brannix/ProjectTolvar/releases/download/%s/"


class Entry:
    """One zip entry. name ending in '/' is a folder; flag=False stores a
    non-ASCII name without the UTF-8 flag; link makes a symbolic link to it."""

    def __init__(self, name, data=b"x", flag=True, link=None, raw=None):
        self.name = name
        self.data = data
        self.flag = flag
        self.link = link
        self.raw = raw  # bytes of the name as stored, instead of name


class _Info(zipfile.ZipInfo):
    """A ZipInfo whose stored name bytes and UTF-8 flag the test chooses."""

    def __init__(self, entry):
        super().__init__(entry.name if entry.raw is None else entry.raw.decode("latin-1"))
        self._raw = entry.raw if entry.raw is not None else entry.name.encode("utf-8")
        self._flag = entry.flag and not all(b < 0x80 for b in self._raw)

    def _encodeFilenameFlags(self):
        return self._raw, (self.flag_bits | 0x800) if self._flag else (self.flag_bits & ~0x800)


def zip_bytes(entries):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for e in entries:
            info = _Info(e)
            if e.link is not None:
                info.external_attr = (0o120777 << 16)
                z.writestr(info, e.link)
            elif e.name.endswith("/"):
                info.external_attr = (0o40755 << 16) | 0x10
                z.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, e.data)
    return buf.getvalue()


class Part:
    def __init__(self, zip, dir, from_, to, sha256=None, size=None, url=None):
        self.zip = zip
        self.dir = dir
        self.from_ = from_
        self.to = to
        self.sha256 = sha256   # None: the zip's own
        self.size = size       # None: the zip's own
        self.url = url         # None: the release's url prefix and zip


class Release:
    def __init__(self, tag, run, zips, parts):
        self.tag = tag
        self.run = run
        self.zips = zips        # zip name -> [Entry], or the file's bytes as they stand
        self.parts = parts      # [Part]
        self.edit = None        # text -> text, applied to the written list
        self.url = URL % tag

    @staticmethod
    def sample(tag="1.0"):
        zips = {
            "Tolvar-game-%s.zip" % tag: [Entry("game-%s/tolvar-game.exe" % tag, b"MZ game"),
                                         Entry("game-%s/readme.txt" % tag, b"readme")],
            "Tolvar-launcher-%s.zip" % tag: [Entry("Tolvar.exe", b"MZ launcher")],
            "Tolvar-data-%s.zip" % tag: [Entry("data/"), Entry("data/world.txt", b"world of " + tag.encode())],
            "Tolvar-python-3.12.zip": [Entry("Tolvar/tools/python/python.txt", b"python 3.12")],
        }
        parts = [
            Part("Tolvar-game-%s.zip" % tag, "Tolvar", "game-" + tag, "bin"),
            Part("Tolvar-launcher-%s.zip" % tag, "Tolvar", "-", "-"),
            Part("Tolvar-data-%s.zip" % tag, "Tolvar", "data", "data"),
            Part("Tolvar-python-3.12.zip", ".", "-", "-"),
        ]
        return Release(tag, "Tolvar/bin/tolvar-game.exe", zips, parts)

    def copy(self):
        return copy.deepcopy(self)

    def part(self, zip_name):
        return next(p for p in self.parts if p.zip == zip_name)

    def zip_data(self):
        return {name: zip_bytes(e) if isinstance(e, list) else e for name, e in self.zips.items()}

    def list_text(self, data=None):
        data = data or self.zip_data()
        lines = ["tag " + self.tag, "run " + self.run]
        for p in self.parts:
            blob = data.get(p.zip, b"")
            sha = p.sha256 if p.sha256 is not None else hashlib.sha256(blob).hexdigest()
            size = p.size if p.size is not None else len(blob)
            url = p.url if p.url is not None else self.url + p.zip
            lines.append("part %s %s %s %s %s %s" % (sha, size, p.dir, p.from_, p.to, url))
        text = "\n".join(lines) + "\n"
        return self.edit(text) if self.edit else text

    def in_text(self):
        lines = ["tag " + self.tag, "run " + self.run, "url " + self.url]
        lines += ["part %s %s %s %s" % (p.zip, p.dir, p.from_, p.to) for p in self.parts]
        return "\n".join(lines) + "\n"

    def write(self, folder, make_input=False):
        """Writes the zips, and the list (or with make_input the .in file)."""
        os.makedirs(folder, exist_ok=True)
        data = self.zip_data()
        for name, blob in data.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(blob)
        if make_input:
            with open(os.path.join(folder, "tolvar-setup.in"), "w") as f:
                f.write(self.in_text())
        else:
            with open(os.path.join(folder, "tolvar-setup.txt"), "wb") as f:
                f.write(self.list_text(data).encode("utf-8", "surrogateescape"))
        return data
