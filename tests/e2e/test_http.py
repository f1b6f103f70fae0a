#!/usr/bin/python3
"""http_get and api_link_for under Wine against the fake GitHub.

Each case runs http_check.exe (tests/fixtures/http_check) once: it makes one
call as its command line says, with a hidden window as g_win that records
every progress post, and writes what it saw as JSON. The fake GitHub's
request log shows what reached the servers.

Wine creates its sockets in the wineserver, so the wineserver must live in
the sandbox's network namespace: the suite uses a Wine prefix of its own
(below the build tree, in e2e-http/) whose wineserver it starts inside the
sandbox and stops at the end. The build tree's shared wineserver may have
been started outside, where the fake servers cannot be reached.

    TOLVAR_BUILD_DIR=<build tree> /usr/bin/python3 tests/e2e/test_http.py [-v] [-k NAME]
"""

import hashlib
import json
import os
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sandbox  # noqa: E402
import fakegithub  # noqa: E402

BUILD_DIR = os.environ.get("TOLVAR_BUILD_DIR") or os.path.abspath(
    os.path.join(HERE, "..", "..", "build"))
CHECK_EXE = os.path.join(BUILD_DIR, "bin", "http_check.exe")
WINE_RUN = os.path.join(HERE, "..", "wine-run")
WINE_HOME = os.path.join(BUILD_DIR, "e2e-http")   # prefix, display state, scratch
PREFIX = os.path.join(WINE_HOME, "wineprefix")
WINESERVER = "/usr/lib/wine/wineserver"

UA = "Tolvar-Setup/1.0"
JSON_ACCEPT = "application/vnd.github+json"
OCTET = "application/octet-stream"
STORAGE = "release-assets.githubusercontent.com"
UNTOUCHED = 777            # g_http_status before the call, to see whether it was written
EMPTY_SHA = hashlib.sha256(b"").hexdigest()
K64 = 65536


def body(n, seed=0):
    """n position-dependent bytes, so that a lost or repeated chunk shows."""
    return bytes((i * 7 + seed + (i >> 8)) & 0xFF for i in range(n))


def win_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def stop_wineserver():
    env = dict(os.environ, WINEPREFIX=PREFIX)
    subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def stop_display():
    pid_file = os.path.join(WINE_HOME, "wine-state", "xvfb.pid")
    try:
        with open(pid_file) as f:
            os.kill(int(f.read().strip()), signal.SIGTERM)
    except (OSError, ValueError):
        pass


class Runner:
    """Runs http_check.exe; output to files, never to a pipe."""

    def __init__(self):
        self.scratch = os.path.join(WINE_HOME, "scratch")
        os.makedirs(self.scratch, exist_ok=True)
        self.seq = 0
        self.env = dict(os.environ, TOLVAR_BUILD_DIR=WINE_HOME)

    def path(self, name):
        return os.path.join(self.scratch, name)

    def check(self, url, *, length=0, accept=None, sink="mem", status=UNTOUCHED, api=False,
              timeout=120):
        self.seq += 1
        stem = self.path("run%03d" % self.seq)
        out = stem + ".json"
        args = [CHECK_EXE, win_path(out), "--url=" + url, "--status=%d" % status]
        if length:
            args.append("--length=%d" % length)
        if accept is not None:
            args.append("--accept=" + accept)
        if sink == "file":
            args += ["--sink=file", "--file=" + win_path(stem + ".body")]
        elif sink != "mem":
            args.append("--sink=" + sink)
        if api:
            args.append("--api")
        with open(stem + ".log", "wb") as log:
            subprocess.run([WINE_RUN] + args, env=self.env, stdin=subprocess.DEVNULL,
                           stdout=log, stderr=log, timeout=timeout)
        if not os.path.exists(out):
            raise AssertionError("http_check wrote no result; see %s.log" % stem)
        with open(out) as f:
            r = json.load(f)
        if sink == "file":
            with open(stem + ".body", "rb") as f:
                r["file"] = f.read()
        return r


gh = None
run = None


def setUpModule():
    global gh, run
    sandbox.enter()
    if not os.path.exists(CHECK_EXE):
        raise RuntimeError("no %s: build the tree first" % CHECK_EXE)
    # A wineserver left over from an earlier run lives in that run's namespace.
    stop_wineserver()
    listeners = fakegithub.DEFAULT_LISTENERS + [("127.0.0.1", 8080, None),
                                                ("127.0.0.1", 8443, "good")]
    gh = fakegithub.FakeGitHub(listeners=listeners)
    gh.start()
    run = Runner()
    run.check("http://localhost/warm-up")  # creates the prefix on first use


def tearDownModule():
    if gh:
        gh.stop()
    stop_wineserver()
    stop_display()


class Case(unittest.TestCase):
    def setUp(self):
        gh.clear_faults()
        gh.clear_log()

    def served(self, path, data, host="github.com", **kw):
        gh.add_file(host, path, data, **kw)
        return "https://%s%s" % (host, path)


class Fetch(Case):
    def test_a_followed_302_brings_the_asset_whole_from_the_storage_host(self):
        data = body(3 * K64 + 123)
        gh.add_release("v-fetch", {"tolvar-setup.txt": data})
        for sink in ("mem", "file"):
            with self.subTest(sink=sink):
                gh.clear_log()
                r = run.check(gh.download_url("tolvar-setup.txt"), sink=sink)
                self.assertEqual((r["result"], r["http_status"]), (1, 200))
                self.assertEqual(r["chunks"], [K64, K64, K64, 123])
                self.assertEqual(r["sha256"], hashlib.sha256(data).hexdigest())
                if sink == "file":
                    self.assertEqual(r["file"], data)
                else:
                    self.assertEqual((r["mem_len"], r["mem_null"]), (len(data), False))
                seen = [(q["host"], q["status"], q["user_agent"], q["accept"])
                        for q in gh.requests()]
                self.assertEqual(seen, [("github.com", 302, UA, None), (STORAGE, 200, UA, None)])

    def test_progress_follows_the_expected_length_unclamped(self):
        # WinHTTP under Wine fills the whole 64 KiB buffer before it returns,
        # so chunks are 64 KiB but the last; the server pauses after each so
        # that the window handles every post before the next chunk.
        rows = [
            # expected, sent, result, g_percent after each chunk
            (87381, 109227, 0, [75, 125]),     # longer than expected
            (200000, 150000, 0, [32, 65, 75]),  # shorter
            (150000, 150000, 1, [43, 87, 100]),
        ]
        for expected, sent, result, percents in rows:
            with self.subTest(expected=expected, sent=sent):
                data = body(sent, seed=expected)
                url = self.served("/progress-%d-%d" % (expected, sent), data)
                gh.fault("github.com", url[len("https://github.com"):],
                         {"chunk": K64, "chunk_delay": 0.25})
                r = run.check(url, length=expected, sink="file")
                self.assertEqual((r["result"], r["http_status"]), (result, 200))
                self.assertEqual(r["file"], data, "every byte that came reached the file")
                self.assertEqual(r["sha256"], hashlib.sha256(data).hexdigest())
                self.assertEqual(r["percent_at_calls"], [-1] + percents[:-1])
                self.assertEqual(r["percent_after"], percents[-1])
                self.assertEqual(r["post_percents"], percents, "one post per chunk")

    def test_without_an_expected_length_nothing_is_posted(self):
        url = self.served("/no-length", body(2 * K64 + 5))
        r = run.check(url)
        self.assertEqual((r["result"], r["sink_calls"]), (1, 3))
        self.assertEqual(r["percent_at_calls"], [-1, -1, -1])
        self.assertEqual((r["percent_after"], r["posts"]), (-1, 0))

    def test_an_empty_200_succeeds_only_without_an_expected_length(self):
        url = self.served("/empty", b"")
        r = run.check(url)
        self.assertEqual((r["result"], r["http_status"], r["sink_calls"]), (1, 200, 0))
        self.assertEqual((r["mem_null"], r["mem_len"], r["mem_cap"]), (True, 0, 0))
        r = run.check(url, length=10)
        self.assertEqual((r["result"], r["http_status"], r["sink_calls"], r["posts"]),
                         (0, 200, 0, 0))

    def test_failures_leave_the_status_and_the_sink_as_told(self):
        big = body(3 * K64)
        self.served("/big", big)
        self.served("/short", b"x" * 10)
        gh.add_file("localhost", "/plain.txt", b"plain", scheme="http")
        # name, url, fault on github.com, options, g_http_status, sink chunks
        # (None: any), the requests the server saw (host, path)
        big, short = [("github.com", "/big")], [("github.com", "/short")]
        rows = [
            ("not a URL", "no scheme here", None, {}, UNTOUCHED, [], []),
            ("another scheme", "ftp://github.com/big", None, {}, UNTOUCHED, [], []),
            ("host name over 255", "https://%s.test/big" % ("h" * 300), None, {}, UNTOUCHED, [], []),
            ("nothing listening", "https://127.0.0.9/big", None, {}, UNTOUCHED, [], []),
            ("nothing listening, caller's 0", "https://127.0.0.9/big", None, {"status": 0}, 0, [], []),
            ("unknown host", "https://nosuchhost.test/big", None, {}, UNTOUCHED, [], []),
            # Not past TLS: no request at all.
            ("TLS name mismatch", "https://wrongname.test/big", None, {}, UNTOUCHED, [], []),
            ("TLS untrusted", "https://untrusted.test/big", None, {}, UNTOUCHED, [], []),
            # The redirect is asked for; its plain-http target never is.
            ("https to http redirect", "https://github.com/big",
             {"redirect": "http://localhost/plain.txt"}, {}, UNTOUCHED, [], big),
            ("404", "https://github.com/missing", None, {}, 404, [], [("github.com", "/missing")]),
            ("503", "https://github.com/big", {"status": 503}, {}, 503, [], big),
            # The bytes of the read that meets the reset may or may not come.
            ("reset mid-body", "https://github.com/big", {"reset": K64 + 5000}, {}, 200, None, big),
            ("clean close short of Content-Length", "https://github.com/short",
             {"length": 100}, {}, 200, [10], short),
            ("sink refuses the second chunk", "https://github.com/big", None,
             {"sink": "fail:1"}, 200, [K64, K64], big),
        ]
        for name, url, fault, opts, status, chunks, asked in rows:
            with self.subTest(name):
                gh.clear_faults()
                gh.clear_log()
                if fault:
                    gh.fault("github.com", url[len("https://github.com"):], fault)
                r = run.check(url, **opts)
                self.assertEqual(r["result"], 0)
                self.assertEqual(r["http_status"], status)
                if chunks is not None:
                    self.assertEqual(r["chunks"], chunks)
                self.assertEqual(r["posts"], 0)
                # One request at most: a failure is the caller's to retry.
                self.assertEqual([(q["host"], q["path"]) for q in gh.requests()], asked)

    def test_expired_certificate_is_refused(self):
        gh.set_cert("github.com", "expired")
        try:
            r = run.check(self.served("/exp", b"data"))
        finally:
            gh.set_cert("github.com", "good")
        self.assertEqual((r["result"], r["http_status"], r["sink_calls"]), (0, UNTOUCHED, 0))
        self.assertEqual(gh.requests(), [])

    def test_scheme_and_port_come_from_the_url(self):
        for scheme in ("http", "https"):
            gh.add_file("localhost", "/where", scheme.encode(), scheme=scheme)
        rows = [
            ("http://localhost/where", "127.0.0.1:80", False),
            ("http://localhost:8080/where", "127.0.0.1:8080", False),
            ("https://localhost/where", "127.0.0.1:443", True),
            ("https://localhost:8443/where", "127.0.0.1:8443", True),
        ]
        for url, listener, tls in rows:
            with self.subTest(url):
                gh.clear_log()
                r = run.check(url)
                self.assertEqual(r["result"], 1)
                seen = [(q["listener"], q["tls"], q["path"]) for q in gh.requests()]
                self.assertEqual(seen, [(listener, tls, "/where")])

    def test_the_query_reaches_the_server_and_the_fragment_does_not(self):
        url = self.served("/q", b"answer")
        r = run.check(url + "?a=1&b=%20#part")
        self.assertEqual(r["result"], 1)
        self.assertEqual([q["path"] for q in gh.requests()], ["/q?a=1&b=%20"])

    def test_the_accept_type_is_the_only_one_sent(self):
        data = body(1000)
        rel = gh.add_release("v-accept", {"part1.zip": data})
        api = gh.api_url("releases/assets/%d" % rel.asset("part1.zip").id)
        r = run.check(api, accept=OCTET, sink="file", length=len(data))
        self.assertEqual((r["result"], r["file"]), (1, data))
        seen = [(q["host"], q["status"], q["accept"], q["user_agent"]) for q in gh.requests()]
        self.assertEqual(seen, [("api.github.com", 302, OCTET, UA), (STORAGE, 200, OCTET, UA)])


class ApiLink(Case):
    @classmethod
    def setUpClass(cls):
        gh.add_release("1.4.0", {"part1.zip": b"p1", "tolvar-setup.txt": b"old list"},
                       latest=False)
        gh.add_release("1.5.0", {"part1.zip": b"p1 new", "tolvar-setup.txt": b"list"})

    def asset_api_url(self, tag, name):
        return gh.api_url("releases/assets/%d" % gh.release(tag).asset(name).id)

    def test_both_link_forms_give_the_assets_api_url(self):
        rows = [
            (gh.download_url("tolvar-setup.txt"), "releases/latest", "1.5.0", "tolvar-setup.txt"),
            (gh.download_url("part1.zip", "1.4.0"), "releases/tags/1.4.0", "1.4.0", "part1.zip"),
        ]
        for link, query, tag, name in rows:
            with self.subTest(link):
                gh.clear_log()
                r = run.check(link, api=True)
                self.assertEqual((r["result"], r["http_status"]), (1, 200))
                self.assertEqual(r["api_url"], self.asset_api_url(tag, name))
                seen = [(q["host"], q["path"], q["accept"], q["user_agent"])
                        for q in gh.requests()]
                self.assertEqual(seen, [("api.github.com", "/repos/brannix/ProjectTolvar/" + query,
                                         JSON_ACCEPT, UA)])

    def test_a_link_of_another_shape_makes_no_request(self):
        rows = [
            "http://github.com/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt",
            "https://GitHub.com/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt",
            "https://example.test/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt",
            "https://github.com/brannix/ProjectTolvar",
            "https://github.com/brannix/ProjectTolvar/releases/latest/download/list.txt?x=1",
        ]
        for link in rows:
            with self.subTest(link):
                r = run.check(link, api=True)
                self.assertEqual((r["result"], r["http_status"]), (0, UNTOUCHED))
        self.assertEqual(gh.requests(), [])

    def test_a_release_query_that_fails_leaves_its_status(self):
        gh.add_release("9.9.9", {"part1.zip": b"x"}, latest=False)
        gh.set_release_raw("9.9.9", b"")
        try:
            rows = [
                (gh.download_url("part1.zip", "0.0.1"), 404),   # no such release
                (gh.download_url("part1.zip", "9.9.9"), 200),   # 200 with an empty answer
                (gh.download_url("part9.zip", "1.4.0"), 200),   # no such asset
            ]
            for link, status in rows:
                with self.subTest(link):
                    r = run.check(link, api=True)
                    self.assertEqual((r["result"], r["http_status"]), (0, status))
        finally:
            gh.remove_release("9.9.9")


if __name__ == "__main__":
    sandbox.enter()
    started = time.monotonic()
    prog = unittest.main(exit=False, verbosity=2)
    print("test_http.py: %.1f s" % (time.monotonic() - started))
    sys.exit(0 if prog.result.wasSuccessful() else 1)
