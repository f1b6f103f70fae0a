"""Stops a running Windows program at a chosen file-system step, so that a
test can kill it there and know where it was.

Wine performs a program's file operations as the Linux calls they are, so
inotify on the prefix's folders sees each one as it happens. StopAt waits
for the first event that matches (a name created in or moved into a watched
folder), and stops the program's Linux processes with SIGSTOP at once; the
test then looks at what is on disk (the step the program really reached)
and kills it.

    with StopAt(versions_dir, "1.1", "Tolvar-Setup.exe", rig.prefix) as stop:
        start the program ...
        stop.wait(timeout=60)          # True when it was stopped there
        ... inspect, then stop.kill()
"""

import ctypes
import ctypes.util
import errno
import os
import select
import signal
import struct
import threading
import time

IN_CREATE = 0x100
IN_MOVED_TO = 0x80
_EVENT = struct.Struct("iIII")

_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
_libc.inotify_init1.argtypes = [ctypes.c_int]
_libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]


def _proc_list(pid, what):
    """The NUL-separated fields of /proc/<pid>/<what>; empty when it is gone."""
    try:
        with open("/proc/%s/%s" % (pid, what), "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def pids_of(image, prefix):
    """Linux pids of the Wine processes of the program named image that run
    in the Wine prefix (other build trees may run the same program)."""
    out = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        # Wine names a process by its Windows path as the first argument.
        args = _proc_list(d, "cmdline")
        if not args or args[0].replace(b"\\", b"/").rsplit(b"/", 1)[-1].lower() != image.lower().encode():
            continue
        if b"WINEPREFIX=" + prefix.encode() in _proc_list(d, "environ"):
            out.append(int(d))
    return out


# Wine's own background programs: the first program of a wineserver session
# starts them, with its environment, and they stay as long as the server.
WINE_SERVICES = {b"services.exe", b"winedevice.exe", b"plugplay.exe", b"svchost.exe", b"rpcss.exe",
                 b"explorer.exe", b"winemenubuilder.exe", b"wineboot.exe"}


def programs_with(prefix, variable):
    """Linux pids of the Windows programs in the Wine prefix whose environment
    holds variable ("NAME=value"), less Wine's background programs. What a
    program starts inherits its environment, so a variable of one run finds
    everything that run started, and nothing of another run."""
    want = variable.encode()
    wine_prefix = b"WINEPREFIX=" + prefix.encode()
    out = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        env = _proc_list(d, "environ")
        if want not in env or wine_prefix not in env:
            continue
        # Wine names a process by its Windows path as the first argument.
        image = (_proc_list(d, "cmdline") or [b""])[0]
        name = image.replace(b"\\", b"/").rsplit(b"/", 1)[-1].lower()
        if image[1:3] == b":\\" and name not in WINE_SERVICES:
            out.append(int(d))
    return out


class StopAt:
    def __init__(self, folder, name, image, prefix):
        self.prefix = prefix
        self.folder = folder
        self.name = name
        self.image = image
        self.pids = []
        self.hit = threading.Event()
        self.mask_seen = None
        self._fd = None
        self._thread = None
        self._quit = False

    def __enter__(self):
        os.makedirs(self.folder, exist_ok=True)
        self._fd = _libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self._fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if _libc.inotify_add_watch(self._fd, self.folder.encode(), IN_CREATE | IN_MOVED_TO) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + self.folder)
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._quit = True
        self._thread.join(timeout=5)
        os.close(self._fd)
        self.kill()

    def track(self, timeout=30):
        """Finds the program's processes once it runs, ahead of the event, so
        that stopping it then costs no search."""
        deadline = time.monotonic() + timeout
        while not self.pids and time.monotonic() < deadline:
            self.pids = pids_of(self.image, self.prefix)
            if not self.pids:
                time.sleep(0.005)
        return bool(self.pids)

    def _watch(self):
        want = self.name.encode()
        while not self._quit:
            ready, _, _ = select.select([self._fd], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self._fd, 65536)
            except OSError as e:
                if e.errno == errno.EAGAIN:
                    continue
                raise
            at = 0
            while at < len(data):
                _wd, mask, _cookie, length = _EVENT.unpack_from(data, at)
                name = data[at + _EVENT.size:at + _EVENT.size + length].rstrip(b"\0")
                at += _EVENT.size + length
                if name == want and not self.hit.is_set():
                    for pid in self.pids or pids_of(self.image, self.prefix):
                        try:
                            os.kill(pid, signal.SIGSTOP)
                        except ProcessLookupError:
                            pass
                    self.mask_seen = mask
                    self.hit.set()

    def wait(self, timeout):
        return self.hit.wait(timeout)

    def kill(self):
        """Ends the stopped program as a crash would: no chance to clean up."""
        for pid in self.pids or pids_of(self.image, self.prefix):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
