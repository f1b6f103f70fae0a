#!/usr/bin/python3
"""Self-test of the e2e sandbox and the fake GitHub.

Runs itself inside the sandbox.  Uses curl and Python's http.client (both
trust only the bind-mounted test CA) and, unless --no-wine is given or the
tools are missing, a small WinHTTP client under Wine.

    /usr/bin/python3 tests/e2e/selftest_fakegithub.py [--no-wine] [-k NAME]

Prints 'N passed, N failed' last; exits 0 only when nothing failed.
"""

import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sandbox  # noqa: E402
import fakegithub  # noqa: E402

OWNER, REPO = "brannix", "ProjectTolvar"
WEB = "/%s/%s" % (OWNER, REPO)
API = "/repos/%s/%s" % (OWNER, REPO)
STORAGE = "release-assets.githubusercontent.com"
BIG = bytes(range(256)) * 400           # 102400 bytes, position-dependent

_results = []
_tests = []


def test(fn):
    _tests.append(fn)
    return fn


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def eq(got, want, what):
    if got != want:
        raise Failure("%s: got %r, want %r" % (what, got, want))


# ------------------------------------------------------------------ clients

def curl(url, *args, timeout=20):
    """(exit code, http status, body bytes, write-out dict)."""
    out = os.path.join(sandbox.info().dir, "curl.out")
    if os.path.exists(out):
        os.unlink(out)
    fmt = '{"code":%{http_code},"redirects":%{num_redirects},"url":"%{url_effective}"}'
    r = subprocess.run(["curl", "-sS", "--max-time", str(timeout), "-o", out, "-w", fmt]
                       + list(args) + [url], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        wo = json.loads(r.stdout.decode() or "{}")
    except ValueError:
        wo = {}
    body = open(out, "rb").read() if os.path.exists(out) else b""
    return r.returncode, wo.get("code"), body, dict(wo, stderr=r.stderr.decode())


def get(host, path, headers=None, method="GET", tls=True, timeout=10, ip=None):
    """One request with http.client; returns (response, body or exception)."""
    if tls:
        c = http.client.HTTPSConnection(host, 443, timeout=timeout,
                                        context=ssl.create_default_context())
    else:
        c = http.client.HTTPConnection(ip or host, 80, timeout=timeout)
    h = {"User-Agent": "selftest/1", "Host": host}
    h.update(headers or {})
    try:
        c.request(method, path, headers=h)
        resp = c.getresponse()
    except Exception as e:
        c.close()
        return None, e
    try:
        body = resp.read()
    except Exception as e:
        body = e
    c.close()
    return resp, body


def keys(obj):
    return list(obj.keys())


# -------------------------------------------------------------------- tests

@test
def sandbox_is_hermetic(gh):
    inf = sandbox.info()
    eq(open("/etc/hosts").read(), open(inf.hosts_file).read(), "/etc/hosts content")
    eq(open("/etc/ssl/certs/ca-certificates.crt", "rb").read(), open(inf.ca_cert, "rb").read(),
       "system bundle is only the test CA")
    for name in sandbox.GITHUB_NAMES:
        eq(socket.gethostbyname(name), "127.0.0.1", name)
    eq(socket.gethostbyname("wrongname.test"), "127.0.0.2", "wrongname.test")
    eq(socket.gethostbyname("untrusted.test"), "127.0.0.3", "untrusted.test")
    links = subprocess.run(["ip", "-o", "link"], stdout=subprocess.PIPE).stdout.decode()
    eq([l.split(":")[1].strip() for l in links.splitlines()], ["lo"], "interfaces")
    for line in open("/proc/self/mountinfo"):
        check("shared:" not in line.split(" - ")[0], "shared mount: " + line)
    check(sandbox.enter() is inf, "second enter() returns the same info")
    r = subprocess.run([sys.executable, "-c",
                        "import sys; sys.path.insert(0, %r); import sandbox; "
                        "print(sandbox.enter().dir)" % HERE], stdout=subprocess.PIPE)
    eq(r.stdout.decode().strip(), inf.dir, "child process does not nest")


@test
def latest_and_tag_links_redirect_to_storage(gh):
    gh.add_release("v1.0.0", {"x.txt": b"one\n", "big.bin": BIG})
    gh.add_release("v1.1.0", {"x.txt": b"one point one\n", "big.bin": BIG[::-1]})
    for url, want in [(gh.download_url("x.txt"), b"one point one\n"),
                      (gh.download_url("x.txt", "v1.0.0"), b"one\n"),
                      (gh.download_url("big.bin"), BIG[::-1])]:
        rc, code, body, wo = curl(url, "-L")
        eq((rc, code, wo["redirects"]), (0, 200, 1), url)
        check(wo["url"].startswith("https://%s/github-production-release-asset/" % STORAGE),
              "final URL on storage: " + wo["url"])
        eq(body, want, "body of " + url)
    resp, _ = get("github.com", WEB + "/releases/latest/download/x.txt")
    eq(resp.status, 302, "latest/download status")
    eq(resp.getheader("Location").split("?")[0], gh.storage_url("v1.1.0", "x.txt").split("?")[0],
       "Location is the storage URL")
    resp, body = get(STORAGE, resp.getheader("Location").split(STORAGE, 1)[1])
    eq((resp.status, resp.getheader("Content-Type"), resp.getheader("Content-Length"), body),
       (200, "application/octet-stream", "14", b"one point one\n"), "storage answer")
    # Publishing = re-pointing latest; unpublishing leaves no latest.
    gh.set_latest("v1.0.0")
    eq(curl(gh.download_url("x.txt"), "-L")[2], b"one\n", "after set_latest")
    for path in [WEB + "/releases/download/v9.9/x.txt", WEB + "/releases/download/v1.0.0/nope",
                 WEB + "/releases/latest/download/nope", "/other/repo/releases/latest/download/x.txt"]:
        eq(get("github.com", path)[0].status, 404, path)
    gh.remove_release("v1.0.0")
    eq(get("github.com", WEB + "/releases/latest/download/x.txt")[0].status, 404, "no latest")
    resp, body = get("github.com", WEB + "/releases")
    eq(resp.status, 200, "releases page")
    check(b"Project Tolvar v1.1.0" in body and b"<html" in body, "releases page lists tags")
    eq(get("github.com", "/BRANNIX/projecttolvar/releases")[0].status, 200,
       "owner/repo case-insensitive")
    # The two-hop form github.com itself uses.
    gh.set_latest("v1.1.0")
    gh.latest_via_tag = True
    rc, code, body, wo = curl(gh.download_url("x.txt"), "-L")
    eq((rc, code, wo["redirects"], body), (0, 200, 2, b"one point one\n"), "latest via tag")
    gh.latest_via_tag = False


RELEASE_KEYS = ["url", "assets_url", "upload_url", "html_url", "id", "author", "node_id",
                "tag_name", "target_commitish", "name", "draft", "prerelease", "created_at",
                "published_at", "assets", "tarball_url", "zipball_url", "body"]
USER_KEYS = ["login", "id", "node_id", "avatar_url", "gravatar_id", "url", "html_url",
             "followers_url", "following_url", "gists_url", "starred_url",
             "subscriptions_url", "organizations_url", "repos_url", "events_url",
             "received_events_url", "type", "user_view_type", "site_admin"]
ASSET_KEYS = ["url", "id", "node_id", "name", "label", "uploader", "content_type", "state",
              "size", "download_count", "created_at", "updated_at", "browser_download_url"]


@test
def api_release_json(gh):
    gh.add_release("v2.0.0", {"Tolvar-Setup.exe": b"MZ" + b"\0" * 98, "notes.txt": b"n"},
                   body="Fixes \"quotes\" and ünïcode\r\n", content_types={
                       "Tolvar-Setup.exe": "application/x-msdownload"})
    for path in [API + "/releases/latest", API + "/releases/tags/v2.0.0"]:
        resp, body = get("api.github.com", path, {"Accept": "application/vnd.github+json"})
        eq((resp.status, resp.getheader("Content-Type")),
           (200, "application/json; charset=utf-8"), path)
        check(body.startswith(b'{\n  "url": "https://api.github.com/repos/brannix/'
                              b'ProjectTolvar/releases/'), "pretty, url first")
        rel = json.loads(body)
        eq(keys(rel), RELEASE_KEYS, "release keys")
        eq(keys(rel["author"]), USER_KEYS, "author keys")
        eq(keys(rel["assets"][0]), ASSET_KEYS, "asset keys")
        eq(keys(rel["assets"][0]["uploader"]), USER_KEYS, "uploader keys")
        eq((rel["tag_name"], rel["name"], rel["body"]),
           ("v2.0.0", "Project Tolvar v2.0.0", "Fixes \"quotes\" and ünïcode\r\n"), "values")
        a = rel["assets"][0]
        eq((a["name"], a["size"], a["content_type"]),
           ("Tolvar-Setup.exe", 100, "application/x-msdownload"), "asset values")
        eq(a["url"], "https://api.github.com/repos/%s/%s/releases/assets/%d"
           % (OWNER, REPO, a["id"]), "asset url")
        eq(a["browser_download_url"], gh.download_url("Tolvar-Setup.exe", "v2.0.0"),
           "browser_download_url")
        tail = body[body.index(b'"assets": ['):]
        check(tail.index(b'"url": "https://api.github.com/repos/brannix/ProjectTolvar/'
                         b'releases/assets/') < tail.index(b'"name": "Tolvar-Setup.exe"')
              < tail.index(b'"url": "https://api.github.com/users/brannix"'),
              "asset url, then name, then uploader url")
    etag = resp.getheader("ETag")
    eq(get("api.github.com", API + "/releases/latest", {"If-None-Match": etag})[0].status, 304,
       "If-None-Match")
    gh.json_style = "compact"
    _, body = get("api.github.com", API + "/releases/latest")
    check(body.startswith(b'{"url":"https://api.github.com/') and b"\n" not in body, "compact")
    gh.json_style = "pretty"
    gh.modern_fields = True
    rel = json.loads(get("api.github.com", API + "/releases/latest")[1])
    check("immutable" in rel and "digest" in rel["assets"][0], "modern fields")
    gh.modern_fields = False
    gh.set_release_raw("v2.0.0", b'{"tag_name": "v2.0.0", broken')
    eq(get("api.github.com", API + "/releases/latest")[1], b'{"tag_name": "v2.0.0", broken',
       "raw answer")
    gh.set_release_raw("v2.0.0", None)
    lst = json.loads(get("api.github.com", API + "/releases")[1])
    eq(lst[0]["tag_name"], "v2.0.0", "release list newest first")
    for path in [API + "/releases/tags/nope", "/repos/x/y/releases/latest", "/user"]:
        resp, body = get("api.github.com", path)
        eq((resp.status, json.loads(body)["message"]), (404, "Not Found"), path)
    gh.set_rate_limit(1)
    eq(get("api.github.com", API + "/releases/latest")[0].status, 200, "last free request")
    resp, body = get("api.github.com", API + "/releases/latest")
    eq((resp.status, resp.getheader("X-RateLimit-Remaining")), (403, "0"), "rate limited")
    gh.set_rate_limit(None)


@test
def api_asset_download(gh):
    gh.add_release("v3.0.0", {"a.bin": BIG})
    aid = gh.release("v3.0.0").assets[0].id
    path = API + "/releases/assets/%d" % aid
    resp, _ = get("api.github.com", path, {"Accept": "application/octet-stream"})
    eq(resp.status, 302, "octet-stream Accept redirects")
    check(resp.getheader("Location").startswith("https://%s/" % STORAGE), "to storage")
    rc, code, body, wo = curl("https://api.github.com" + path, "-L",
                              "-H", "Accept: application/octet-stream")
    eq((rc, code, wo["redirects"], body == BIG), (0, 200, 1, True), "curl asset download")
    resp, body = get("api.github.com", path, {"Accept": "application/vnd.github+json"})
    eq((resp.status, keys(json.loads(body))), (200, ASSET_KEYS), "asset JSON")
    eq(json.loads(body)["download_count"], 1, "download counted")
    # Ranges, for resumable downloads.
    loc = get("api.github.com", path, {"Accept": "application/octet-stream"})[0]
    spath = loc.getheader("Location").split(STORAGE, 1)[1]
    for rng, status, want in [("bytes=100-199", 206, BIG[100:200]),
                              ("bytes=102000-", 206, BIG[102000:]),
                              ("bytes=-10", 206, BIG[-10:]),
                              ("bytes=200000-", 416, b"")]:
        resp, body = get(STORAGE, spath, {"Range": rng})
        eq((resp.status, body), (status, want), rng)
    eq(get(STORAGE, spath, {"Range": "bytes=102000-"})[0].getheader("Content-Range"),
       "bytes 102000-%d/%d" % (len(BIG) - 1, len(BIG)), "Content-Range")
    gh.fault(STORAGE, spath.split("?")[0], {"norange": True})
    resp, body = get(STORAGE, spath, {"Range": "bytes=100-"})
    eq((resp.status, body == BIG), (200, True), "a server that ignores ranges")
    resp, body = get(STORAGE, spath, method="HEAD")
    eq((resp.status, resp.getheader("Content-Length"), body), (200, str(len(BIG)), b""), "HEAD")


def _fault_case(gh, rule, **kw):
    """One request for /f.bin under a plain-HTTP static route.

    Plain HTTP, because Python's TLS layer reports a reset as a clean EOF;
    curl checks the same faults over TLS below.
    """
    gh.add_file("localhost", "/f.bin", BIG)
    gh.fault("localhost", "/f.bin", rule)
    t0 = time.monotonic()
    resp, body = get("localhost", "/f.bin", tls=False, **kw)
    return resp, body, time.monotonic() - t0


@test
def faults_each_kind(gh):
    IR = http.client.IncompleteRead
    # (rule, status or exception type, body check)
    cases = [
        ({"status": 503}, 503, lambda b: b == b"503 Service Unavailable\n"),
        ({"status": 500, "body": b"oops"}, 500, lambda b: b == b"oops"),
        ({"empty": True}, 200, lambda b: b == b""),
        ({"cut": 1000}, 200, lambda b: isinstance(b, IR) and b.partial == BIG[:1000]),
        ({"reset": 1000}, 200, lambda b: isinstance(b, ConnectionResetError)),
        ({"length": 10}, 200, lambda b: b == BIG[:10]),
        ({"length": 200000}, 200, lambda b: isinstance(b, IR) and b.partial == BIG),
        ({"length": 20, "body": b"x" * 5}, 200,
         lambda b: isinstance(b, IR) and b.partial == b"xxxxx"),
        ({"body": b"other"}, 200, lambda b: b == b"other"),
        ({"nolength": True}, 200, lambda b: b == BIG),
        ({"chunked": True}, 200, lambda b: b == BIG),
        ({"chunked": True, "cut": 1000}, 200, lambda b: isinstance(b, IR)),
        ({"noanswer": True}, http.client.RemoteDisconnected, None),
        ({"noanswer": "reset"}, ConnectionResetError, None),
        ({"redirect": "http://localhost/elsewhere", "code": 301}, 301, None),
        ({"headers": {"Content-Type": "text/html"}}, 200, lambda b: b == BIG),
    ]
    for rule, want, body_ok in cases:
        resp, body, _ = _fault_case(gh, rule)
        if isinstance(want, int):
            check(resp is not None, "%r: no response (%r)" % (rule, body))
            eq(resp.status, want, repr(rule))
            if body_ok:
                check(body_ok(body), "%r: body check failed: %r" % (
                    rule, body if not isinstance(body, bytes) or len(body) < 64 else len(body)))
        else:
            check(resp is None and isinstance(body, want), "%r: got %r" % (rule, body))
    resp, body, _ = _fault_case(gh, {"redirect": "http://localhost/elsewhere"})
    eq((resp.status, resp.getheader("Location")), (302, "http://localhost/elsewhere"), "redirect")
    resp, _, _ = _fault_case(gh, {"headers": {"Content-Type": "text/html"}})
    eq(resp.getheader("Content-Type"), "text/html", "header override")
    eq(get("localhost", "/f.bin", tls=False)[1], BIG, "normal again after the faults")
    # Timing faults.
    resp, body, dt = _fault_case(gh, {"delay": 0.5})
    check(resp.status == 200 and body == BIG and dt >= 0.5, "delay: %.2f" % dt)
    resp, body, dt = _fault_case(gh, {"chunk": 25600, "chunk_delay": 0.2})
    check(body == BIG and dt >= 0.6, "chunk_delay: %.2f" % dt)
    resp, body, dt = _fault_case(gh, {"hang": 3}, timeout=0.5)
    check(resp is None and isinstance(body, (socket.timeout, TimeoutError)) and dt < 2,
          "hang: %r %.2f" % (body, dt))
    resp, body, dt = _fault_case(gh, {"cut": 500, "hang": 3}, timeout=0.5)
    check(resp is not None and isinstance(body, (socket.timeout, TimeoutError)),
          "stall mid-body: %r" % (body,))
    # Over TLS through the real download link, faults on the storage hop, as
    # curl sees them: 18 = partial file, 56 = receive failure (reset),
    # 52 = empty reply.
    gh.add_release("vc", {"x.txt": BIG})
    spath = gh.storage_url("vc", "x.txt").split(STORAGE, 1)[1].split("?")[0]
    for rule, want in [({"cut": 10}, (18, 200)), ({"reset": 10}, (56, 200)),
                       ({"noanswer": True}, (52, 302)), ({"noanswer": "reset"}, (56, 302)),
                       ({"length": 200000}, (18, 200)), ({"status": 503}, (0, 503))]:
        gh.fault(STORAGE, spath, rule)
        rc, code, body, wo = curl(gh.download_url("x.txt"), "-L")
        eq((rc, code), want, "curl for %r (%s)" % (rule, wo["stderr"].strip()))
    eq(curl(gh.download_url("x.txt"), "-L")[2], BIG, "then normal")


@test
def faults_queue_patterns_and_always(gh):
    gh.add_release("vq", {"x.txt": b"ok"})
    p = WEB + "/releases/latest/download/x.txt"
    gh.fault("github.com", p, {"status": 503}, {"status": 502})
    gh.fault("github.com", p, {"status": 404})
    got = [get("github.com", p)[0].status for _ in range(4)]
    eq(got, [503, 502, 404, 302], "rules consumed in order, then normal")
    gh.fault("*", API + "/releases/*", {"status": 500})
    eq(get("api.github.com", API + "/releases/tags/vq")[0].status, 500, "fnmatch + any host")
    eq(get("api.github.com", API + "/releases/tags/vq")[0].status, 200, "then normal")
    gh.fault("api.github.com", API + "/releases/latest?per_page=1", {"status": 418})
    eq(get("api.github.com", API + "/releases/latest")[0].status, 200, "query must match")
    eq(get("api.github.com", API + "/releases/latest?per_page=1")[0].status, 418, "exact query")
    gh.fault_always("github.com", p, {"status": 503})
    eq([get("github.com", p)[0].status for _ in range(3)], [503] * 3, "fault_always")
    gh.clear_faults()
    eq(get("github.com", p)[0].status, 302, "cleared")
    try:
        gh.fault("github.com", p, {"stauts": 503})
        raise Failure("typo in a rule was accepted")
    except ValueError:
        pass


@test
def holds_keep_a_request_until_let_go(gh):
    import threading
    gh.add_release("vh", {"x.bin": BIG})
    spath = gh.storage_url("vh", "x.bin").split(STORAGE, 1)[1].split("?")[0]
    # (hold_at, body bytes sent while held, whether the client waits too:
    # held after the whole body, it has all it was told to expect)
    for at, sent, waits in [(None, 0, True), (0, 0, True), (40000, 40000, True),
                            (len(BIG), len(BIG), False)]:
        got = {}
        gh.hold(STORAGE, spath, "h", at=at)
        t = threading.Thread(target=lambda: got.update(r=get(STORAGE, spath)))
        t.start()
        rec = gh.wait_held("h", timeout=10)
        check(rec is not None, "hold_at=%r: held" % at)
        eq((rec["held"], rec["sent"]), ("h", sent), "hold_at=%r: held record" % at)
        t.join(0.5)
        eq(t.is_alive(), waits, "hold_at=%r: the client waits" % at)
        gh.let_go("h")
        t.join(10)
        resp, body = got["r"]
        eq((resp.status, body == BIG), (200, True), "hold_at=%r: whole answer after let_go" % at)
        gh.clear_faults()
    eq(gh.wait_held("never", timeout=0.2), None, "no request: wait_held times out")
    # A new hold of the same name waits for a request of its own.
    gh.hold(STORAGE, spath, "h")
    eq(gh.wait_held("h", timeout=0.2), None, "hold starts the name afresh")
    # clear_faults lets a held request go too.
    got = {}
    gh.hold(STORAGE, spath, "h")
    t = threading.Thread(target=lambda: got.update(r=get(STORAGE, spath)))
    t.start()
    check(gh.wait_held("h", timeout=10) is not None, "held again")
    gh.clear_faults()
    t.join(10)
    eq(got["r"][0].status, 200, "clear_faults lets it go")


@test
def reset_forgets_releases_files_faults_and_log(gh):
    gh.add_release("vr", {"x.txt": b"r"})
    gh.add_file("localhost", "/r.txt", b"r")
    gh.fault_always("api.github.com", "*", {"status": 500})
    gh.set_rate_limit(0)
    gh.set_cert("127.0.0.3", "good")
    gh.reset()
    eq((gh.latest, gh.requests()), (None, []), "no latest, empty log")
    eq(get("github.com", WEB + "/releases/latest/download/x.txt")[0].status, 404, "release gone")
    eq(get("api.github.com", API + "/releases/tags/vr")[0].status, 404, "API: no fault, no limit")
    eq(curl("http://localhost/r.txt")[1], 404, "static file gone")
    eq(curl("https://untrusted.test/")[0], 60, "the listener's own certificate again")


@test
def static_files_and_plain_http(gh):
    gh.add_file("localhost", "/mirrors.txt", b"a\nb\n", content_type="text/plain")
    gh.add_file("127.0.0.1", "/mirrors.txt", b"by ip\n", content_type="text/plain")
    rc, code, body, _ = curl("http://localhost/mirrors.txt")
    eq((rc, code, body), (0, 200, b"a\nb\n"), "http://localhost")
    eq(curl("http://127.0.0.1/mirrors.txt")[2], b"by ip\n", "http://127.0.0.1")
    eq(curl("http://localhost/none")[1], 404, "unknown static")
    resp, _ = get("github.com", "/x", tls=False, ip="127.0.0.1")
    eq((resp.status, resp.getheader("Location")), (301, "https://github.com/x"),
       "http github.com upgrades")
    gh.add_file("github.com", WEB + "/releases/latest/download/x.txt", b"override",
                scheme="https")
    eq(curl(gh.download_url("x.txt"))[2], b"override", "static route overrides")
    gh.remove_file("github.com", WEB + "/releases/latest/download/x.txt", scheme="https")
    # keep_alive=True serves several requests on one connection.
    with fakegithub.FakeGitHub(keep_alive=True, listeners=[("127.0.0.1", 8080, None)]) as g2:
        g2.add_file("localhost", "/a", b"A")
        g2.add_file("localhost", "/b", b"B")
        rc, code, body, _ = curl("http://localhost:8080/a", "http://localhost:8080/b")
        eq((rc, body), (0, b"B"), "two requests")
        eq(len({r["client_port"] for r in g2.requests()}), 1, "one connection")


@test
def tls_failures(gh):
    for url in ["https://wrongname.test/", "https://untrusted.test/"]:
        rc, code, _, wo = curl(url)
        eq(rc, 60, "curl %s (%s)" % (url, wo["stderr"].strip()))
        resp, err = get(url.split("/")[2], "/")
        check(isinstance(err, ssl.SSLCertVerificationError), "%s: %r" % (url, err))
    # The same names over an explicit insecure client prove the listeners do answer.
    eq(curl("https://untrusted.test/x", "-k")[1], 404, "untrusted.test answers with -k")
    eq(curl("https://wrongname.test/x", "-k")[1], 404, "wrongname.test answers with -k")
    # The real names can be made to fail too.
    for kind, needle in [("expired", "expired"), ("untrusted", "self-signed"),
                         ("othername", "match")]:
        gh.set_cert("github.com", kind)
        resp, err = get("github.com", "/")
        check(isinstance(err, ssl.SSLCertVerificationError) and needle in str(err),
              "%s: %r" % (kind, err))
        eq(get("api.github.com", API + "/releases")[0].status, 200, "other names unaffected")
        gh.set_cert("github.com", "good")
    eq(get("github.com", WEB + "/releases")[0].status, 200, "good again")
    errs = [c for c in gh.connections() if c["error"]]
    check(any(c["listener"] == "127.0.0.3:443" for c in errs), "handshake failures logged")


@test
def request_log(gh):
    gh.clear_log()
    gh.add_release("vl", {"x.txt": b"log"})
    curl(gh.download_url("x.txt"), "-L", "-A", "LogAgent/2", "-H", "Accept: */*")
    reqs = gh.requests()
    eq([(r["host"], r["status"]) for r in reqs], [("github.com", 302), (STORAGE, 200)],
       "hosts and statuses in order")
    r = reqs[0]
    eq((r["method"], r["path"], r["user_agent"], r["accept"], r["listener"], r["tls"],
        r["sni"], r["route"], r["done"]),
       ("GET", WEB + "/releases/latest/download/x.txt", "LogAgent/2", "*/*", "127.0.0.1:443",
        True, "github.com", "web-latest-download", True), "record fields")
    check(reqs[1]["time"] >= r["time"] and reqs[1]["sent"] == 3, "time order, bytes sent")
    eq(len(gh.requests(host=STORAGE)), 1, "filter by host")
    eq(len(gh.requests(path=WEB + "/releases/*")), 1, "filter by path pattern")
    eq(len(gh.requests(host="api.github.com")), 0, "no API request")
    gh.clear_log()
    eq(gh.requests(), [], "clear_log")
    logf = os.path.join(sandbox.info().dir, "requests.jsonl")
    with fakegithub.FakeGitHub(log_file=logf, listeners=[("127.0.0.1", 8443, "good")]) as g2:
        g2.add_release("v1", {"a": b"1"})
        c = http.client.HTTPSConnection("github.com", 8443, context=ssl.create_default_context())
        c.request("GET", WEB + "/releases")
        c.getresponse().read()
        c.close()
        g2.wait_for(count=1)
    lines = [json.loads(l) for l in open(logf)]
    eq([(l["host"], l["path"], l["status"]) for l in lines],
       [("github.com", WEB + "/releases", 200)], "JSON lines log")


# --------------------------------------------------------------------- Wine

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
CXX = "x86_64-w64-mingw32-g++-posix"


class _Wine:
    def __init__(self):
        d = sandbox.info().dir
        self.prefix = os.path.join(d, "wineprefix")
        self.exe = os.path.join(d, "winhttp_get.exe")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def build(self):
        src = os.path.join(HERE, "tools", "winhttp_get.cpp")
        r = subprocess.run([CXX, "-O2", "-static", "-municode", "-o", self.exe, src,
                            "-lwinhttp"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(r.returncode == 0, "build: " + r.stdout.decode())

    def boot(self):
        with open(os.path.join(sandbox.info().dir, "wineboot.log"), "wb") as f:
            r = subprocess.run([WINE, "wineboot", "-i"], env=self.env, stdout=f, stderr=f,
                               stdin=subprocess.DEVNULL, timeout=300)
        check(r.returncode == 0, "wineboot failed")
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=120)

    def get(self, url, *opts):
        out = os.path.join(sandbox.info().dir, "winhttp_get.txt")
        if os.path.exists(out):
            os.unlink(out)
        log = os.path.join(sandbox.info().dir, "winhttp_get.log")
        t0 = time.monotonic()
        with open(log, "wb") as f:
            subprocess.run([WINE, self.exe, url, out] + list(opts), env=self.env, stdout=f,
                           stderr=f, stdin=subprocess.DEVNULL, timeout=120)
        dt = time.monotonic() - t0
        res = {}
        if os.path.exists(out):
            for line in open(out):
                k, _, v = line.strip().partition("=")
                res[k] = v
        res["wall"] = round(dt, 2)
        return res

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=60)


def wine_available():
    return os.path.exists(WINE) and shutil.which(CXX) is not None


def wine_tests(gh):
    """A WinHTTP client under Wine: real names, test CA, redirects, TLS failures."""
    w = _Wine()
    w.build()
    w.boot()
    link = "https://github.com/%s/%s/releases/latest/download/x.txt" % (OWNER, REPO)
    saved = os.path.join(sandbox.info().dir, "wine_body.bin")
    try:
        gh.add_release("vw", {"x.txt": b"hello from the fake\n"})
        gh.clear_log()
        r = w.get(link, "--save=" + saved)
        print("    wine latest/download:", r)
        eq((r.get("status"), r.get("bytes"), r.get("error")), ("200", "20", "0"),
           "WinHTTP GET through the 302")
        eq(open(saved, "rb").read(), b"hello from the fake\n", "body")
        check(r.get("url", "").startswith("https://%s/" % STORAGE), "final URL on storage")
        eq([(q["host"], q["status"], q["user_agent"]) for q in gh.requests()],
           [("github.com", 302, "tolvar-e2e-winhttp-get/1"),
            (STORAGE, 200, "tolvar-e2e-winhttp-get/1")], "Wine's requests")
        # Wine 8 reports every certificate failure as 12157
        # (ERROR_WINHTTP_SECURE_CHANNEL_ERROR) after the handshake, without a
        # secure-failure callback; Windows reports 12175 with flags.
        gh.clear_log()
        for url, kind in [("https://wrongname.test/", None), ("https://untrusted.test/", None),
                          ("https://github.com/", "expired"), ("https://github.com/", "othername"),
                          ("https://github.com/", "untrusted")]:
            if kind:
                gh.set_cert("github.com", kind)
            r = w.get(url)
            gh.set_cert("github.com", "good")
            print("    wine %s (%s):" % (url, kind or "as served"), r)
            check(not r.get("status") and r.get("error") in ("12157", "12175"),
                  "%s with %s must fail: %r" % (url, kind, r))
        eq(gh.requests(), [], "no request got past a bad certificate")
        # Body faults as WinHTTP reports them: a clean close before
        # Content-Length is a short body without an error; a reset fails the
        # read (Wine: 10054, WSAECONNRESET) and loses the data of that read.
        gh.add_file("github.com", "/short", b"x" * 10)
        gh.fault("github.com", "/short", {"length": 100})
        r = w.get("https://github.com/short")
        print("    wine short body, clean close:", r)
        eq((r.get("status"), r.get("bytes"), r.get("error")), ("200", "10", "0"), "short body")
        gh.add_file("github.com", "/reset", BIG)
        gh.fault("github.com", "/reset", {"reset": 1000})
        r = w.get("https://github.com/reset")
        print("    wine reset mid-body:", r)
        check(r.get("status") == "200" and r.get("failed_at") == "read" and
              r.get("error") != "0", "reset must fail the read: %r" % r)
        # A redirect from https to http.
        gh.add_file("localhost", "/plain.txt", b"plain")
        gh.fault("github.com", "/to-http", {"redirect": "http://localhost/plain.txt"})
        r = w.get("https://github.com/to-http")
        print("    wine https->http redirect:", r)
        eq((r.get("error"), r.get("failed_at")), ("12156", "receive"),
           "https->http redirect refused (ERROR_WINHTTP_REDIRECT_FAILED)")
        for mode in ["auto", "detect"]:
            r = w.get(link, "--proxy=" + mode)
            print("    wine proxy=%s:" % mode, r)
            eq((r.get("status"), r.get("bytes")), ("200", "20"), "proxy mode " + mode)
    finally:
        w.stop()


# ---------------------------------------------------------------------- main

def main():
    args = sys.argv[1:]
    only = args[args.index("-k") + 1] if "-k" in args else None
    sandbox.enter()
    passed = failed = 0
    tests = [t for t in _tests if not only or only in t.__name__]
    if "--no-wine" not in args and (not only or only in "wine_tests"):
        if wine_available():
            tests.append(wine_tests)
        else:
            print("SKIP wine_tests (wine64 or mingw missing)")
    with fakegithub.FakeGitHub(OWNER, REPO) as gh:
        for t in tests:
            gh.clear_faults()
            t0 = time.monotonic()
            try:
                t(gh)
                passed += 1
                print("PASS %s (%.1fs)" % (t.__name__, time.monotonic() - t0))
            except Exception as e:
                failed += 1
                print("FAIL %s: %s" % (t.__name__, e))
                if not isinstance(e, Failure):
                    traceback.print_exc()
            sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
