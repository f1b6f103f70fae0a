"""A fake GitHub (web, REST API and asset storage) for the end-to-end tests.

Run it inside ``sandbox.enter()`` so that the real host names resolve to the
loopback listeners and the test CA is the only trusted root.  Releases are
plain data; the server derives every page, redirect and JSON answer from them.

    import sandbox, fakegithub
    sandbox.enter()
    with fakegithub.FakeGitHub() as gh:
        gh.add_release("v1.2.0", {"Tolvar-Setup.exe": exe_bytes,
                                  "manifest.txt": b"..."})
        gh.fault("github.com", "/brannix/ProjectTolvar/releases/latest/download/*",
                 {"status": 503}, {"reset": 100})
        ... run the program ...
        assert gh.requests(host="release-assets.githubusercontent.com")

Listeners (addresses, ports and certificates can be changed in the
constructor):

  127.0.0.1:443  TLS, the CA-signed cert for all GitHub names
  127.0.0.2:443  TLS, same cert (wrongname.test: valid chain, wrong name)
  127.0.0.3:443  TLS, self-signed cert (untrusted.test)
  127.0.0.1:80   plain HTTP

Every listener dispatches on the Host header, so any host can be served on
any listener.  Responses are HTTP/1.1 with ``Connection: close`` unless
``keep_alive=True``.  ALPN offers only http/1.1.

FakeGitHub(owner="brannix", repo="ProjectTolvar", *, json_style="pretty",
           storage_host="release-assets.githubusercontent.com",
           latest_via_tag=False, modern_fields=False, keep_alive=False,
           log_file=None, certs=None, listeners=None, first_id=190000000)
  json_style      "pretty" (2-space indent, like the API) or "compact"
  storage_host    host named in asset redirects (objects.githubusercontent.com
                  is served too)
  latest_via_tag  True: .../releases/latest/download/<name> redirects first to
                  .../releases/download/<tag>/<name> (two hops, as github.com
                  does) instead of straight to storage
  modern_fields   add the newer "immutable", "updated_at" and asset "digest"
                  keys to the JSON
  log_file        append every finished request as a JSON line to this path
  certs           {kind: (cert_path, key_path)}; default sandbox.info().certs
  listeners       list of (ip, port, cert_kind or None for plain HTTP)
  first_id        first release/asset id (use > 2**32 to test 64-bit ids)

start() / stop(); also a context manager.

Releases
  add_release(tag, assets={name: bytes}, latest=True, *, name=None, body="",
              draft=False, prerelease=False, content_types={name: type},
              target_commitish="main", published_at=None) -> Release
      Replaces a release with the same tag (new ids).  latest=True re-points
      "latest" at it, which is how a test publishes a new release.
      name defaults to "Project Tolvar <tag>".
  set_latest(tag or None), remove_release(tag), release(tag) -> Release
  set_release_raw(tag, data, status=200, content_type=...)  serve these bytes
      instead of the JSON for that release (/releases/tags/<tag>, and
      /releases/latest while it is latest); data=None restores the JSON.
  release_json(tag) -> str  the JSON text the API would send.
  set_rate_limit(n or None)  after n more API answers, 403 rate limited.
  latest  the tag "latest" points at, or None.

URLs (as the server builds them)
  download_url(name, tag=None)   github.com/<o>/<r>/releases/{latest/download,
                                 download/<tag>}/<name>
  storage_url(tag, name)         https://<storage_host>/github-production-
                                 release-asset/<repo_id>/<asset_id>?<signed-looking query>
  api_url(tail)                  https://api.github.com/repos/<o>/<r>/<tail>

Routes
  github.com  /<o>/<r>/releases (HTML), /releases/tag/<tag> (HTML),
              /releases/latest (302 to the tag page),
              /releases/latest/download/<name> and
              /releases/download/<tag>/<name> (302 to storage); owner and
              repo match case-insensitively like GitHub; unknown -> 404.
  api.github.com  /repos/<o>/<r>/releases (list), /releases/latest,
              /releases/tags/<tag>, /releases/<id>, /releases/assets/<id>
              (Accept: application/octet-stream -> 302 to storage, else the
              asset JSON); 404 JSON otherwise; ETag / If-None-Match -> 304.
  storage     200 with the bytes (application/octet-stream, Content-Length,
              Content-Disposition), Range "bytes=a-b" / "bytes=a-" -> 206,
              HEAD; download_count of the asset goes up on each full GET.
  plain HTTP  a GitHub host without a static route -> 301 to https.
  add_file(host, path, data, content_type="application/octet-stream",
           status=200, headers=None, scheme=None)  static route; it takes
      precedence over the built-in routes ("*" host = any host; scheme
      "http"/"https"/None).  remove_file(host, path).

Faults
  fault(host, path, *rules)   queued per (host, path); each request that
      matches consumes the next rule, then answers are normal again.
  fault_always(host, path, rule)  every matching request; clear_faults();
  pending_faults(host=None, path=None) -> rules not consumed yet.
  host "*" matches any host.  path matches the path with or without the
  query; a pattern containing "*" is an fnmatch pattern ("?" is literal).
  Rule keys (combinable; unknown keys raise ValueError):
    delay: s          wait before answering
    noanswer: True    read the request, close without answering
                      ("reset" instead of True: TCP reset)
    hang: s           answer nothing for s seconds then close; with cut/reset:
                      send that much body, stall s seconds, then close/reset
    status: code      answer this status with a small body (or "body")
    redirect: url     answer "code" (default 302) with Location: url
                      (e.g. an http:// URL to test a downgrade)
    empty: True       200 with Content-Length 0
    body: bytes       send these bytes instead of the normal body
    content_type, headers: {name: value}   override/add headers
    length: L         announce Content-Length L, send the body anyway
                      (L > body: client sees a short body and a clean close)
    nolength: True    no Content-Length; the close ends the body
    chunked: True     Transfer-Encoding: chunked
    cut: N            correct headers, N body bytes, clean close
    reset: N          correct headers, N body bytes, TCP reset (SO_LINGER 0,
                      after those bytes have left the socket, at most 2 s)
    chunk: n, chunk_delay: s   send the body n bytes at a time, s apart
    norange: True     answer as if the request had no Range header (200,
                      the whole body), as servers that ignore ranges do
    hold: name        keep the request waiting until let_go(name): before
                      any answer, or with hold_at: N once the headers and N
                      body bytes are sent (the rest follows on let_go)
  RATE_LIMITED is a ready rule for GitHub's 403 rate-limit answer.
  hold(host, path, name, at=None)  queues one {"hold": name} rule (hold_at at)
      and starts name afresh: what an earlier hold of that name held goes on.
  wait_held(name, timeout=30) -> the log record of the first request held
      under name, once it waits (None at the timeout); let_go(name) lets it
      and any later request held under name go on. clear_faults() and
      reset() let every held request go.

Reset
  reset()  back to a server that has just started: no release, no latest,
      no static file, no fault or hold, no rate limit, the default
      certificates, an empty log. Ids go on counting, so none comes back.

TLS
  set_cert(name, kind)   kind in the certs dict ("good", "othername",
      "untrusted", "expired").  name is a listener IP (its default cert) or a
      host name (chosen by SNI), e.g. set_cert("github.com", "expired").

Log
  requests(host=None, path=None, method=None) -> list of dicts with seq, time,
      t (seconds since start), listener ("ip:port"), tls, sni, tls_version,
      client_port, method, host, path (full target), headers, accept,
      user_agent, range, route, fault, status, sent (body bytes), held
      (the hold's name, once it waits), done.
      path may be an fnmatch pattern like in fault().
  wait_for(host=None, path=None, count=1, timeout=10) -> the matching list
  connections() -> one dict per accepted connection (listener, sni, tls
      error if the handshake failed); clear_log() empties both.
"""

import base64
import email.utils
import fcntl
import fnmatch
import hashlib
import html
import json
import select
import socket
import ssl
import struct
import termios
import threading
import time
import urllib.parse

GITHUB_HOST = "github.com"
API_HOST = "api.github.com"
STORAGE_HOSTS = ("release-assets.githubusercontent.com", "objects.githubusercontent.com")
GITHUB_HOSTS = (GITHUB_HOST, API_HOST) + STORAGE_HOSTS
STORAGE_PREFIX = "/github-production-release-asset/"

RATE_LIMITED = {
    "status": 403,
    "content_type": "application/json; charset=utf-8",
    "headers": {"X-RateLimit-Limit": "60", "X-RateLimit-Remaining": "0",
                "X-RateLimit-Used": "60", "X-RateLimit-Resource": "core"},
    "body": (b'{"message":"API rate limit exceeded for 127.0.0.1. (But here\'s the '
             b'good news: Authenticated requests get a higher rate limit. Check out '
             b'the documentation for more details.)","documentation_url":'
             b'"https://docs.github.com/rest/overview/resources-in-the-rest-api'
             b'#rate-limiting"}'),
}

_RULE_KEYS = {"delay", "noanswer", "hang", "status", "redirect", "code", "empty",
              "body", "content_type", "headers", "length", "nolength", "chunked",
              "cut", "reset", "chunk", "chunk_delay", "norange", "hold", "hold_at"}

_REASONS = {200: "OK", 206: "Partial Content", 301: "Moved Permanently",
            302: "Found", 303: "See Other", 304: "Not Modified",
            307: "Temporary Redirect", 308: "Permanent Redirect",
            400: "Bad Request", 403: "Forbidden", 404: "Not Found",
            416: "Range Not Satisfiable", 429: "Too Many Requests",
            500: "Internal Server Error", 502: "Bad Gateway",
            503: "Service Unavailable", 504: "Gateway Timeout"}

DEFAULT_LISTENERS = [("127.0.0.1", 443, "good"), ("127.0.0.2", 443, "good"),
                     ("127.0.0.3", 443, "untrusted"), ("127.0.0.1", 80, None)]


def _iso(ts):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(ts))


def _node_id(prefix, n):
    return prefix + base64.b64encode(struct.pack(">Q", n)).decode().rstrip("=")


class Asset:
    def __init__(self, asset_id, name, data, content_type, created):
        self.id = asset_id
        self.name = name
        self.data = data
        self.content_type = content_type
        self.label = ""
        self.state = "uploaded"
        self.download_count = 0
        self.created_at = created
        self.updated_at = created


class Release:
    def __init__(self, release_id, tag):
        self.id = release_id
        self.tag = tag
        self.name = ""
        self.body = ""
        self.draft = False
        self.prerelease = False
        self.target_commitish = "main"
        self.created_at = 0
        self.published_at = 0
        self.assets = []          # ordered, like the API lists them
        self.raw = None           # (status, content_type, bytes) replacing the JSON

    def asset(self, name):
        for a in self.assets:
            if a.name == name:
                return a
        return None


class _Response:
    def __init__(self, status, body=b"", content_type="text/plain; charset=utf-8",
                 headers=None, route=""):
        self.status = status
        self.body = body
        self.headers = [("Content-Type", content_type)] if content_type else []
        for k, v in (headers or {}).items():
            self.set(k, v)
        self.route = route

    def set(self, name, value):
        self.headers = [(k, v) for k, v in self.headers if k.lower() != name.lower()]
        if value is not None:
            self.headers.append((name, str(value)))

    def get(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None


class _Request:
    def __init__(self, method, target, version, headers, body):
        self.method = method
        self.target = target
        self.version = version
        self.headers = headers          # lowercase name -> value
        self.body = body
        self.path = target.split("?", 1)[0]

    def header(self, name, default=None):
        return self.headers.get(name.lower(), default)


def _path_matches(pattern, req_path, req_target):
    if pattern in (req_path, req_target):
        return True
    if "*" in pattern:
        pat = pattern.replace("?", "[?]")
        return fnmatch.fnmatchcase(req_path, pat) or fnmatch.fnmatchcase(req_target, pat)
    return False


def _host_matches(pattern, host):
    if pattern in (None, "*"):
        return True
    pattern = pattern.lower()
    if "*" in pattern:
        return fnmatch.fnmatchcase(host, pattern)
    return pattern == host


class _Listener:
    def __init__(self, ip, port, cert_kind):
        self.ip = ip
        self.port = port
        self.cert_kind = cert_kind      # None: plain HTTP
        self.tls = cert_kind is not None
        self.sock = None
        self.thread = None

    @property
    def label(self):
        return "%s:%d" % (self.ip, self.port)


class FakeGitHub:
    def __init__(self, owner="brannix", repo="ProjectTolvar", *, json_style="pretty",
                 storage_host=STORAGE_HOSTS[0], latest_via_tag=False,
                 modern_fields=False, keep_alive=False, log_file=None, certs=None,
                 listeners=None, first_id=190000000, io_timeout=30.0):
        self.owner = owner
        self.repo = repo
        self.json_style = json_style
        self.storage_host = storage_host
        self.latest_via_tag = latest_via_tag
        self.modern_fields = modern_fields
        self.keep_alive = keep_alive
        self.log_file = log_file
        self.io_timeout = io_timeout
        self.owner_id = 48151623
        self.repo_id = 815162342
        self._certs = certs
        self._listeners = [_Listener(*l) for l in (listeners or DEFAULT_LISTENERS)]
        self._default_certs = [l.cert_kind for l in self._listeners]
        self._next_id = first_id
        self._lock = threading.RLock()
        self._releases = {}          # tag -> Release, insertion order = publish order
        self._latest = None
        self._assets = {}            # asset id -> (Release, Asset)
        self._files = []             # (host, path, scheme, _Response template)
        self._faults = []            # [host, path, list of rules]
        self._faults_always = []     # (host, path, rule)
        self._holds = {}             # name -> {"gate": Event, "held": [records]}
        self._held_changed = threading.Condition(self._lock)
        self._sni_certs = {}         # lower host -> cert kind
        self._contexts = {}
        self._rate_remaining = None
        self._log = []
        self._conns_log = []
        self._seq = 0
        self._stop = threading.Event()
        self._open = set()
        self._threads = []
        self._t0 = time.monotonic()
        self._started = False
        self._log_fh = None

    # ------------------------------------------------------------ lifecycle

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        if self._started:
            return self
        if any(l.tls for l in self._listeners):
            certs = self._certs
            if certs is None:
                import sandbox
                inf = sandbox.info()
                if inf is None:
                    raise RuntimeError("FakeGitHub needs certs= or a running sandbox")
                certs = inf.certs
            for kind, (cert, key) in certs.items():
                self._contexts[kind] = self._make_context(cert, key)
        if self.log_file:
            self._log_fh = open(self.log_file, "a", encoding="utf-8")
        self._stop.clear()
        self._t0 = time.monotonic()
        try:
            for l in self._listeners:
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind((l.ip, l.port))
                s.listen(64)
                l.sock = s
        except OSError:
            self._close_listeners()
            raise
        for l in self._listeners:
            t = threading.Thread(target=self._accept_loop, args=(l,),
                                 name="fakegithub-accept-" + l.label, daemon=True)
            t.start()
            l.thread = t
        self._started = True
        return self

    def stop(self):
        if not self._started:
            return
        self._stop.set()
        self._let_go_all()
        for l in self._listeners:
            if l.thread:
                l.thread.join(2)
                l.thread = None
        self._close_listeners()
        with self._lock:
            conns = list(self._open)
        for c in conns:
            try:
                c.close()
            except OSError:
                pass
        for t in list(self._threads):
            t.join(2)
        self._threads = []
        if self._log_fh:
            self._log_fh.close()
            self._log_fh = None
        self._started = False

    def _close_listeners(self):
        for l in self._listeners:
            if l.sock:
                l.sock.close()
                l.sock = None

    def _make_context(self, cert, key):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.load_cert_chain(cert, key)
        try:
            ctx.set_alpn_protocols(["http/1.1"])
        except NotImplementedError:
            pass
        ctx.sni_callback = self._on_sni
        return ctx

    def _on_sni(self, sslobj, server_name, _ctx):
        sslobj.fg_sni = server_name
        kind = self._sni_certs.get((server_name or "").lower())
        if kind and kind in self._contexts:
            sslobj.context = self._contexts[kind]
        return None

    # --------------------------------------------------------------- model

    def _new_id(self):
        with self._lock:
            self._next_id += 1
            return self._next_id

    def add_release(self, tag, assets=None, latest=True, *, name=None, body="",
                    draft=False, prerelease=False, content_types=None,
                    target_commitish="main", published_at=None):
        with self._lock:
            if tag in self._releases:
                self.remove_release(tag)
            rel = Release(self._new_id(), tag)
            rel.name = "Project Tolvar %s" % tag if name is None else name
            rel.body = body
            rel.draft = draft
            rel.prerelease = prerelease
            rel.target_commitish = target_commitish
            ts = time.time() if published_at is None else published_at
            rel.created_at = ts - 60
            rel.published_at = ts
            for aname, data in (assets or {}).items():
                ctype = (content_types or {}).get(aname, "application/octet-stream")
                a = Asset(self._new_id(), aname, bytes(data), ctype, ts - 30)
                rel.assets.append(a)
                self._assets[a.id] = (rel, a)
            self._releases[tag] = rel
            if latest:
                self._latest = tag
            return rel

    def set_latest(self, tag):
        with self._lock:
            if tag is not None and tag not in self._releases:
                raise KeyError(tag)
            self._latest = tag

    def remove_release(self, tag):
        with self._lock:
            rel = self._releases.pop(tag)
            for a in rel.assets:
                self._assets.pop(a.id, None)
            if self._latest == tag:
                self._latest = None

    def release(self, tag):
        with self._lock:
            return self._releases[tag]

    @property
    def latest(self):
        return self._latest

    def set_release_raw(self, tag, data, status=200,
                        content_type="application/json; charset=utf-8"):
        with self._lock:
            rel = self._releases[tag]
            rel.raw = None if data is None else (status, content_type, bytes(data))

    def set_rate_limit(self, remaining):
        with self._lock:
            self._rate_remaining = remaining

    def add_file(self, host, path, data, content_type="application/octet-stream",
                 status=200, headers=None, scheme=None):
        resp = _Response(status, bytes(data), content_type, headers, route="static")
        with self._lock:
            self.remove_file(host, path, scheme)
            self._files.append((host.lower(), path, scheme, resp))

    def remove_file(self, host, path, scheme=None):
        with self._lock:
            self._files = [f for f in self._files
                           if not (f[0] == host.lower() and f[1] == path and f[2] == scheme)]

    def set_cert(self, name, kind):
        if self._contexts and kind not in self._contexts:
            raise KeyError(kind)
        with self._lock:
            for l in self._listeners:
                if l.ip == name and l.tls:
                    l.cert_kind = kind
                    return
            self._sni_certs[name.lower()] = kind

    # -------------------------------------------------------------- faults

    @staticmethod
    def _check_rule(rule):
        if not isinstance(rule, dict):
            raise TypeError("fault rule must be a dict")
        bad = set(rule) - _RULE_KEYS
        if bad:
            raise ValueError("unknown fault keys: %s" % ", ".join(sorted(bad)))

    def fault(self, host, path, *rules):
        for s in rules:
            self._check_rule(s)
        with self._lock:
            for entry in self._faults:
                if entry[0] == host and entry[1] == path:
                    entry[2].extend(rules)
                    return
            self._faults.append([host, path, list(rules)])

    def fault_always(self, host, path, rule):
        self._check_rule(rule)
        with self._lock:
            self._faults_always.append((host, path, rule))

    def clear_faults(self):
        with self._lock:
            self._faults = []
            self._faults_always = []
        self._let_go_all()

    def hold(self, host, path, name, at=None):
        rule = {"hold": name}
        if at is not None:
            rule["hold_at"] = at
        with self._lock:
            old = self._holds.pop(name, None)
        if old:
            old["gate"].set()
        self.fault(host, path, rule)

    def _hold_entry(self, name):
        with self._lock:
            return self._holds.setdefault(name, {"gate": threading.Event(), "held": []})

    def wait_held(self, name, timeout=30.0):
        end = time.monotonic() + timeout
        entry = self._hold_entry(name)
        with self._held_changed:
            while not entry["held"]:
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self._held_changed.wait(left)
            return dict(entry["held"][0])

    def let_go(self, name):
        self._hold_entry(name)["gate"].set()

    def _let_go_all(self):
        with self._lock:
            entries = list(self._holds.values())
            self._holds = {}
        for entry in entries:
            entry["gate"].set()

    def _wait_at_hold(self, name, rec):
        entry = self._hold_entry(name)
        with self._held_changed:
            rec["held"] = name
            entry["held"].append(rec)
            self._held_changed.notify_all()
        while not entry["gate"].wait(0.05):
            if self._stop.is_set():
                return

    def reset(self):
        with self._lock:
            self._releases = {}
            self._latest = None
            self._assets = {}
            self._files = []
            self._sni_certs = {}
            self._rate_remaining = None
            for l, kind in zip(self._listeners, self._default_certs):
                l.cert_kind = kind
        self.clear_faults()
        self.clear_log()

    def pending_faults(self, host=None, path=None):
        """Rules not yet consumed (all, or for one exact (host, path))."""
        with self._lock:
            return [s for h, p, q in self._faults
                    if (host is None or h == host) and (path is None or p == path)
                    for s in q]

    def _take_fault(self, host, req):
        with self._lock:
            for entry in self._faults:
                if entry[2] and _host_matches(entry[0], host) and \
                        _path_matches(entry[1], req.path, req.target):
                    return entry[2].pop(0)
            for h, p, rule in self._faults_always:
                if _host_matches(h, host) and _path_matches(p, req.path, req.target):
                    return rule
        return None

    # ----------------------------------------------------------------- log

    def requests(self, host=None, path=None, method=None):
        with self._lock:
            out = []
            for r in self._log:
                if host is not None and not _host_matches(host, r["host"]):
                    continue
                if path is not None and not _path_matches(path, r["path"].split("?", 1)[0],
                                                          r["path"]):
                    continue
                if method is not None and r["method"] != method:
                    continue
                out.append(dict(r))
            return out

    def wait_for(self, host=None, path=None, count=1, timeout=10.0):
        end = time.monotonic() + timeout
        while True:
            got = [r for r in self.requests(host, path) if r["done"]]
            if len(got) >= count or time.monotonic() >= end:
                return got
            time.sleep(0.05)

    def connections(self):
        with self._lock:
            return [dict(c) for c in self._conns_log]

    def clear_log(self):
        with self._lock:
            self._log = []
            self._conns_log = []

    def _finish_record(self, rec):
        rec["done"] = True
        if self._log_fh:
            with self._lock:
                self._log_fh.write(json.dumps(rec, default=repr) + "\n")
                self._log_fh.flush()

    # ---------------------------------------------------------------- URLs

    def _repo_path(self):
        return "/%s/%s" % (self.owner, self.repo)

    def download_url(self, name, tag=None):
        if tag is None:
            return "https://%s%s/releases/latest/download/%s" % (
                GITHUB_HOST, self._repo_path(), urllib.parse.quote(name))
        return "https://%s%s/releases/download/%s/%s" % (
            GITHUB_HOST, self._repo_path(), urllib.parse.quote(tag), urllib.parse.quote(name))

    def api_url(self, tail):
        return "https://%s/repos%s/%s" % (API_HOST, self._repo_path(), tail.lstrip("/"))

    def _storage_url_for(self, asset, host=None):
        exp = int(time.time()) + 300
        fname = urllib.parse.quote(asset.name)
        sig = hashlib.sha256(("%d:%d" % (asset.id, exp)).encode()).hexdigest()[:43]
        query = ("sp=r&sv=2018-11-09&sr=b&spr=https&se=%s&rscd=attachment%%3B+filename%%3D%s"
                 "&rsct=application%%2Foctet-stream&skoid=96c2d410-5711-43a1-aedd-ab1947aa7ab0"
                 "&sig=%s&response-content-disposition=attachment%%3B%%20filename%%3D%s"
                 "&response-content-type=application%%2Foctet-stream"
                 % (urllib.parse.quote(_iso(exp)), fname, sig, fname))
        return "https://%s%s%d/%d?%s" % (host or self.storage_host, STORAGE_PREFIX,
                                          self.repo_id, asset.id, query)

    def storage_url(self, tag, name):
        with self._lock:
            a = self._releases[tag].asset(name)
            if a is None:
                raise KeyError(name)
            return self._storage_url_for(a)

    # ---------------------------------------------------------------- JSON

    def _dumps(self, obj):
        if self.json_style == "compact":
            text = json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
        else:
            text = json.dumps(obj, ensure_ascii=False, indent=2)
        return text

    def _user(self):
        login = self.owner
        base = "https://api.github.com/users/" + login
        return {
            "login": login,
            "id": self.owner_id,
            "node_id": _node_id("MDQ6VXNlcj", self.owner_id),
            "avatar_url": "https://avatars.githubusercontent.com/u/%d?v=4" % self.owner_id,
            "gravatar_id": "",
            "url": base,
            "html_url": "https://github.com/" + login,
            "followers_url": base + "/followers",
            "following_url": base + "/following{/other_user}",
            "gists_url": base + "/gists{/gist_id}",
            "starred_url": base + "/starred{/owner}{/repo}",
            "subscriptions_url": base + "/subscriptions",
            "organizations_url": base + "/orgs",
            "repos_url": base + "/repos",
            "events_url": base + "/events{/privacy}",
            "received_events_url": base + "/received_events",
            "type": "User",
            "user_view_type": "public",
            "site_admin": False,
        }

    def _asset_obj(self, rel, a):
        d = {
            "url": self.api_url("releases/assets/%d" % a.id),
            "id": a.id,
            "node_id": _node_id("RA_kwDO", a.id),
            "name": a.name,
            "label": a.label,
            "uploader": self._user(),
            "content_type": a.content_type,
            "state": a.state,
            "size": len(a.data),
        }
        if self.modern_fields:
            d["digest"] = "sha256:" + hashlib.sha256(a.data).hexdigest()
        d["download_count"] = a.download_count
        d["created_at"] = _iso(a.created_at)
        d["updated_at"] = _iso(a.updated_at)
        d["browser_download_url"] = self.download_url(a.name, rel.tag)
        return d

    def _release_obj(self, rel):
        rurl = self.api_url("releases/%d" % rel.id)
        d = {
            "url": rurl,
            "assets_url": rurl + "/assets",
            "upload_url": "https://uploads.github.com/repos%s/releases/%d/assets{?name,label}"
                          % (self._repo_path(), rel.id),
            "html_url": "https://github.com%s/releases/tag/%s"
                        % (self._repo_path(), urllib.parse.quote(rel.tag)),
            "id": rel.id,
            "author": self._user(),
            "node_id": _node_id("RE_kwDO", rel.id),
            "tag_name": rel.tag,
            "target_commitish": rel.target_commitish,
            "name": rel.name,
            "draft": rel.draft,
        }
        if self.modern_fields:
            d["immutable"] = False
        d["prerelease"] = rel.prerelease
        d["created_at"] = _iso(rel.created_at)
        if self.modern_fields:
            d["updated_at"] = _iso(rel.published_at)
        d["published_at"] = _iso(rel.published_at)
        d["assets"] = [self._asset_obj(rel, a) for a in rel.assets]
        d["tarball_url"] = "https://api.github.com/repos%s/tarball/%s" % (
            self._repo_path(), urllib.parse.quote(rel.tag))
        d["zipball_url"] = "https://api.github.com/repos%s/zipball/%s" % (
            self._repo_path(), urllib.parse.quote(rel.tag))
        d["body"] = rel.body
        return d

    def release_json(self, tag):
        with self._lock:
            return self._dumps(self._release_obj(self._releases[tag]))

    # ------------------------------------------------------------ serving

    def _accept_loop(self, l):
        while not self._stop.is_set():
            try:
                r, _, _ = select.select([l.sock], [], [], 0.2)
            except (OSError, ValueError):
                return
            if not r:
                continue
            try:
                conn, addr = l.sock.accept()
            except OSError:
                continue
            t = threading.Thread(target=self._serve_conn, args=(conn, addr, l),
                                 name="fakegithub-conn", daemon=True)
            with self._lock:
                self._threads = [x for x in self._threads if x.is_alive()]
                self._threads.append(t)
            t.start()

    def _serve_conn(self, raw, addr, l):
        with self._lock:
            self._open.add(raw)
        crec = {"time": time.time(), "t": round(time.monotonic() - self._t0, 4),
                "listener": l.label, "tls": l.tls, "client_port": addr[1],
                "sni": None, "tls_version": None, "error": None}
        with self._lock:
            self._conns_log.append(crec)
        conn = raw
        try:
            if l.tls:
                raw.settimeout(10)
                ctx = self._contexts[l.cert_kind]
                try:
                    conn = ctx.wrap_socket(raw, server_side=True,
                                           do_handshake_on_connect=False)
                    conn.do_handshake()
                except (ssl.SSLError, OSError) as e:
                    crec["error"] = "%s: %s" % (type(e).__name__, e)
                    crec["sni"] = getattr(conn, "fg_sni", None)
                    return
                crec["sni"] = getattr(conn, "fg_sni", None)
                crec["tls_version"] = conn.version()
            conn.settimeout(self.io_timeout)
            buf = b""
            while not self._stop.is_set():
                try:
                    req, buf = self._read_request(conn, buf)
                except (OSError, ValueError):
                    return
                if req is None:
                    break
                how = self._handle(conn, req, l, crec)
                if how != "keep":
                    if how == "reset":
                        self._reset(conn)
                        conn = None
                    return
        finally:
            if conn is not None:
                self._close_clean(conn, l.tls)
            with self._lock:
                self._open.discard(raw)

    @staticmethod
    def _read_request(conn, buf):
        while b"\r\n\r\n" not in buf:
            if len(buf) > 65536:
                raise ValueError("header too large")
            chunk = conn.recv(65536)
            if not chunk:
                return None, b""
            buf += chunk
        head, buf = buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3:
            raise ValueError("bad request line")
        headers = {}
        for line in lines[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                headers[k.strip().lower()] = v.strip()
        n = int(headers.get("content-length", "0") or 0)
        while len(buf) < n:
            chunk = conn.recv(65536)
            if not chunk:
                break
            buf += chunk
        body, buf = buf[:n], buf[n:]
        return _Request(parts[0], parts[1], parts[2], headers, body), buf

    def _handle(self, conn, req, l, crec):
        target = req.target
        if target.startswith("http://") or target.startswith("https://"):
            u = urllib.parse.urlsplit(target)
            req.target = target = (u.path or "/") + ("?" + u.query if u.query else "")
            req.path = u.path or "/"
            host = u.hostname or ""
        else:
            host = req.header("host") or crec["sni"] or l.ip
        host = host.lower()
        if host.startswith("["):
            host = host.split("]")[0] + "]"
        elif ":" in host:
            host = host.rsplit(":", 1)[0]
        with self._lock:
            self._seq += 1
            rec = {"seq": self._seq, "time": time.time(),
                   "t": round(time.monotonic() - self._t0, 4),
                   "listener": l.label, "tls": l.tls, "sni": crec["sni"],
                   "tls_version": crec["tls_version"], "client_port": crec["client_port"],
                   "method": req.method, "host": host, "path": target,
                   "headers": dict(req.headers), "accept": req.header("accept"),
                   "user_agent": req.header("user-agent"), "range": req.header("range"),
                   "route": None, "fault": None, "status": None, "sent": 0, "held": None,
                   "done": False}
            self._log.append(rec)
        rule = self._take_fault(host, req)
        rec["fault"] = rule
        if rule and rule.get("norange"):
            req.headers = {k: v for k, v in req.headers.items() if k != "range"}
        try:
            resp = self._route(host, req, l)
        except Exception as e:  # a bug here must show as a 500, not a silent close
            resp = _Response(500, ("fakegithub error: %r\n" % e).encode())
        rec["route"] = resp.route
        try:
            return self._send(conn, req, resp, rule or {}, rec)
        except OSError:
            return "close"
        finally:
            self._finish_record(rec)

    # --- routing

    def _route(self, host, req, l):
        scheme = "https" if l.tls else "http"
        with self._lock:
            for h, p, sch, resp in reversed(self._files):
                if (sch is None or sch == scheme) and _host_matches(h, host) and \
                        p in (req.path, req.target):
                    r = _Response(resp.status, resp.body, None, route="static")
                    r.headers = list(resp.headers)
                    return r
            if not l.tls and host in GITHUB_HOSTS:
                return _Response(301, b"", "text/html; charset=utf-8",
                                 {"Location": "https://%s%s" % (host, req.target)},
                                 route="http-upgrade")
            if host == GITHUB_HOST:
                return self._route_web(req)
            if host == API_HOST:
                return self._route_api(req)
            if host in STORAGE_HOSTS:
                return self._route_storage(req)
        return _Response(404, b"Not Found\n", route="none")

    def _split_repo(self, path, prefix=""):
        """Path segments after /<prefix>/<owner>/<repo>, or None for another repo."""
        segs = [urllib.parse.unquote(s) for s in path.split("/")[1:]]
        if prefix:
            if not segs or segs[0] != prefix:
                return None
            segs = segs[1:]
        if len(segs) < 2 or segs[0].lower() != self.owner.lower() or \
                segs[1].lower() != self.repo.lower():
            return None
        return segs[2:]

    def _web_404(self):
        return _Response(404, b"<!DOCTYPE html><html><body><h1>404</h1><p>Not Found</p>"
                              b"</body></html>\n", "text/html; charset=utf-8", route="web-404")

    def _html(self, title, items, route):
        lis = "".join("<li>%s</li>" % i for i in items)
        page = ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title></head>"
                "<body><h1>%s</h1><ul>%s</ul></body></html>\n"
                % (html.escape(title), html.escape(title), lis))
        return _Response(200, page.encode("utf-8"), "text/html; charset=utf-8", route=route)

    def _route_web(self, req):
        segs = self._split_repo(req.path)
        if not segs or segs[0] != "releases":
            return self._web_404()
        rest = segs[1:]
        base = self._repo_path()
        if not rest:
            items = []
            for rel in reversed(list(self._releases.values())):
                items.append('<a href="%s/releases/tag/%s">%s</a>' % (
                    base, html.escape(urllib.parse.quote(rel.tag)), html.escape(rel.name)))
            return self._html("Releases · %s/%s" % (self.owner, self.repo), items,
                              "web-releases")
        if rest == ["latest"]:
            if self._latest is None:
                return self._web_404()
            return self._redirect("https://github.com%s/releases/tag/%s" % (
                base, urllib.parse.quote(self._latest)), "web-latest")
        if len(rest) == 2 and rest[0] == "tag" and rest[1] in self._releases:
            rel = self._releases[rest[1]]
            items = ['<a href="%s">%s</a>' % (html.escape(self.download_url(a.name, rel.tag)),
                                              html.escape(a.name)) for a in rel.assets]
            return self._html(rel.name, items, "web-tag")
        if len(rest) == 3 and rest[0] == "latest" and rest[1] == "download":
            if self._latest is None:
                return self._web_404()
            rel = self._releases[self._latest]
            a = rel.asset(rest[2])
            if a is None:
                return self._web_404()
            if self.latest_via_tag:
                return self._redirect(self.download_url(a.name, rel.tag), "web-latest-download")
            return self._redirect(self._storage_url_for(a), "web-latest-download")
        if len(rest) == 3 and rest[0] == "download":
            rel = self._releases.get(rest[1])
            a = rel.asset(rest[2]) if rel else None
            if a is None:
                return self._web_404()
            return self._redirect(self._storage_url_for(a), "web-download")
        return self._web_404()

    @staticmethod
    def _redirect(url, route, code=302):
        return _Response(code, b"", "text/html; charset=utf-8", {"Location": url}, route=route)

    def _api_json(self, status, obj, req, route, raw=None):
        if raw is not None:
            status, ctype, body = raw
        else:
            ctype = "application/json; charset=utf-8"
            body = self._dumps(obj).encode("utf-8")
        etag = 'W/"%s"' % hashlib.sha256(body).hexdigest()[:40]
        headers = {"Cache-Control": "public, max-age=60, s-maxage=60",
                   "Vary": "Accept, Accept-Encoding, Accept, X-Requested-With",
                   "ETag": etag, "X-GitHub-Media-Type": "github.v3; format=json",
                   "X-GitHub-Api-Version-Selected": "2022-11-28"}
        if status == 200 and req.header("if-none-match") == etag:
            return _Response(304, b"", None, headers, route=route)
        return _Response(status, body, ctype, headers, route=route)

    def _api_404(self, req):
        return self._api_json(404, {"message": "Not Found",
                                    "documentation_url": "https://docs.github.com/rest/releases/releases",
                                    "status": "404"}, req, "api-404")

    def _route_api(self, req):
        segs = self._split_repo(req.path, "repos")
        if segs is not None and self._rate_remaining is not None:
            if self._rate_remaining <= 0:
                r = _Response(RATE_LIMITED["status"], RATE_LIMITED["body"],
                              RATE_LIMITED["content_type"], RATE_LIMITED["headers"],
                              route="api-rate-limited")
                r.set("X-RateLimit-Reset", int(time.time()) + 3600)
                return r
            self._rate_remaining -= 1
        if not segs or segs[0] != "releases":
            return self._api_404(req)
        rest = segs[1:]
        if not rest:
            rels = [self._release_obj(r) for r in reversed(list(self._releases.values()))]
            return self._api_json(200, rels, req, "api-releases")
        rel = None
        if rest == ["latest"]:
            rel = self._releases.get(self._latest) if self._latest else None
        elif len(rest) == 2 and rest[0] == "tags":
            rel = self._releases.get(rest[1])
        elif len(rest) == 1 and rest[0].isdigit():
            rel = next((r for r in self._releases.values() if r.id == int(rest[0])), None)
        elif len(rest) == 2 and rest[0] == "assets" and rest[1].isdigit():
            found = self._assets.get(int(rest[1]))
            if found is None:
                return self._api_404(req)
            rel, a = found
            if "application/octet-stream" in (req.header("accept") or ""):
                return self._redirect(self._storage_url_for(a), "api-asset-download")
            return self._api_json(200, self._asset_obj(rel, a), req, "api-asset")
        if rel is None:
            return self._api_404(req)
        return self._api_json(200, self._release_obj(rel), req, "api-release", rel.raw)

    def _route_storage(self, req):
        segs = req.path[len(STORAGE_PREFIX):].split("/") \
            if req.path.startswith(STORAGE_PREFIX) else []
        found = None
        if len(segs) == 2 and segs[0] == str(self.repo_id) and segs[1].isdigit():
            found = self._assets.get(int(segs[1]))
        if found is None:
            return _Response(404, b"<?xml version=\"1.0\" encoding=\"utf-8\"?><Error>"
                                  b"<Code>BlobNotFound</Code></Error>",
                             "application/xml", route="storage-404")
        _rel, a = found
        data = a.data
        headers = {"Content-Disposition": "attachment; filename=%s" % a.name,
                   "Last-Modified": email.utils.formatdate(a.updated_at, usegmt=True),
                   "ETag": '"0x%s"' % hashlib.md5(data).hexdigest()[:15].upper(),
                   "Accept-Ranges": "bytes"}
        rng = req.header("range")
        if rng and rng.startswith("bytes=") and "," not in rng:
            first, _, last = rng[6:].partition("-")
            try:
                if first == "":
                    start = max(0, len(data) - int(last))
                    end = len(data) - 1
                else:
                    start = int(first)
                    end = int(last) if last else len(data) - 1
            except ValueError:
                start, end = 0, -1
            end = min(end, len(data) - 1)
            if start >= len(data) or start > end:
                headers["Content-Range"] = "bytes */%d" % len(data)
                return _Response(416, b"", "application/octet-stream", headers,
                                 route="storage-416")
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, end, len(data))
            return _Response(206, data[start:end + 1], "application/octet-stream", headers,
                             route="storage")
        if req.method == "GET":
            a.download_count += 1
        return _Response(200, data, "application/octet-stream", headers, route="storage")

    # --- sending

    def _wait(self, seconds):
        self._stop.wait(max(0.0, float(seconds)))

    def _send(self, conn, req, resp, rule, rec):
        if "delay" in rule:
            self._wait(rule["delay"])
        hold_at = rule.get("hold_at") if "hold" in rule else None
        if "hold" in rule and hold_at is None:
            self._wait_at_hold(rule["hold"], rec)
            if self._stop.is_set():
                return "close"
        na = rule.get("noanswer")
        if na:
            return "reset" if na == "reset" else "close"
        partial = "cut" in rule or "reset" in rule
        if "hang" in rule and not partial:
            self._wait(rule["hang"])
            return "close"

        if "redirect" in rule:
            resp = self._redirect(rule["redirect"], "fault", rule.get("code", 302))
        elif "status" in rule:
            st = rule["status"]
            resp = _Response(st, ("%d %s\n" % (st, _REASONS.get(st, ""))).encode(),
                             route="fault")
        if rule.get("empty"):
            resp.status = 200
            resp.body = b""
        if "body" in rule:
            resp.body = bytes(rule["body"])
        if "content_type" in rule:
            resp.set("Content-Type", rule["content_type"])
        for k, v in (rule.get("headers") or {}).items():
            resp.set(k, v)

        body = resp.body
        no_body = req.method == "HEAD" or resp.status in (204, 304)
        keep = self.keep_alive and not rule and req.version == "HTTP/1.1" and \
            (req.header("connection") or "").lower() != "close"
        head = ["HTTP/1.1 %d %s" % (resp.status, _REASONS.get(resp.status, "Status")),
                "Date: " + email.utils.formatdate(usegmt=True),
                "Server: " + ("github.com" if rec["host"] in (GITHUB_HOST, API_HOST)
                              else "Windows-Azure-Blob/1.0")]
        head += ["%s: %s" % (k, v) for k, v in resp.headers]
        chunked = bool(rule.get("chunked"))
        if chunked:
            head.append("Transfer-Encoding: chunked")
        elif not rule.get("nolength"):
            head.append("Content-Length: %d" % (rule["length"] if "length" in rule
                                                 else len(body)))
        if not resp.get("Connection"):
            head.append("Connection: " + ("keep-alive" if keep else "close"))
        rec["status"] = resp.status
        conn.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
        if no_body:
            body = b""

        limit = rule.get("cut", rule.get("reset"))
        if limit is not None:
            body = body[:int(limit)]
        step = int(rule.get("chunk", 1024 if "chunk_delay" in rule else 1 << 20))
        pause = float(rule.get("chunk_delay", 0))
        starts = list(range(0, len(body), max(1, step)))
        if hold_at is not None and 0 < hold_at < len(body) and hold_at not in starts:
            starts = sorted(starts + [hold_at])
        for i, end in zip(starts, starts[1:] + [len(body)]):
            if i == hold_at:
                self._wait_at_hold(rule["hold"], rec)
                if self._stop.is_set():
                    return "close"
            if i and pause:
                self._wait(pause)
                if self._stop.is_set():
                    return "close"
            piece = body[i:end]
            if chunked:
                piece = b"%x\r\n%s\r\n" % (len(piece), piece)
            conn.sendall(piece)
            rec["sent"] += end - i
        if hold_at is not None and hold_at >= len(body):
            self._wait_at_hold(rule["hold"], rec)
        if chunked and limit is None and not no_body:
            conn.sendall(b"0\r\n\r\n")
        if "hang" in rule:
            self._wait(rule["hang"])
        if "reset" in rule:
            return "reset"
        return "keep" if keep else "close"

    @staticmethod
    def _reset(conn):
        # A reset throws away whatever the kernel has not sent yet, and under
        # some network stacks that is everything just written: let the bytes
        # the fault promised reach the peer first (bounded, for a peer that
        # stopped reading).
        end = time.monotonic() + 2.0
        while time.monotonic() < end:
            try:
                left = struct.unpack("i", fcntl.ioctl(conn.fileno(), termios.TIOCOUTQ,
                                                      b"\0\0\0\0"))[0]
            except (OSError, ValueError):
                break
            if left <= 0:
                break
            time.sleep(0.01)
        try:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        try:
            conn.close()
        except OSError:
            pass

    @staticmethod
    def _close_clean(conn, tls):
        """close_notify (TLS) and FIN right away, as a real server closes.

        unwrap() would then wait for the peer's close_notify; some clients
        only react to the TCP EOF, so a blocking unwrap delays what they see
        by its timeout.  Non-blocking, the second half just raises.
        """
        try:
            if tls and isinstance(conn, ssl.SSLSocket):
                try:
                    conn.setblocking(False)
                    conn.unwrap()
                except (ssl.SSLError, OSError, ValueError):
                    pass
            try:
                conn.shutdown(socket.SHUT_WR)   # SSLSocket: drops TLS, raw shutdown
            except OSError:
                pass
            # Unread input at close() makes the kernel send a reset; drain it.
            conn.settimeout(0.5)
            try:
                while conn.recv(65536):
                    pass
            except (OSError, ValueError):
                pass
        finally:
            try:
                conn.close()
            except OSError:
                pass
