"""Hermetic network sandbox for the end-to-end tests.

A test script calls ``sandbox.enter()`` first thing.  Outside the sandbox that
call re-executes the script under ``unshare -m -n`` (private mount namespace,
empty network namespace) and exits with the child's exit code.  Inside, it:

* brings ``lo`` up (the new network namespace has nothing else: no traffic can
  leave the machine, and every name we care about resolves to loopback);
* makes a per-run directory with a test CA and certificates signed by it;
* bind-mounts a hosts file over /etc/hosts and a certificate directory whose
  bundle holds only the test CA over /etc/ssl/certs, so curl, Python, and the
  unmodified setup program under Wine all reach the fake servers through the
  real host names and trust nothing but the test CA.

Calling ``enter()`` again, in the same process or in a child process started
from inside the sandbox, does not nest: it just returns the same ``Info``.

Certificates (``info().certs[kind]`` -> ``(cert_path, key_path)``):

  good       signed by the test CA; SAN github.com, api.github.com,
             release-assets.githubusercontent.com,
             objects.githubusercontent.com, localhost,
             IP 127.0.0.1
  othername  signed by the test CA, only for othername.test (valid chain,
             wrong name when served for github.com)
  untrusted  self-signed, SAN untrusted.test plus the GitHub names (so only
             the trust check can fail)
  expired    signed by the test CA, GitHub names, validity ended yesterday

Hosts: the four GitHub names and localhost -> 127.0.0.1, wrongname.test ->
127.0.0.2 (serves the "good" cert: name mismatch), untrusted.test ->
127.0.0.3 (serves the self-signed cert).

Environment exported to everything started inside: TOLVAR_SANDBOX=1,
TOLVAR_SANDBOX_DIR, TOLVAR_SANDBOX_CA.  Set TOLVAR_SANDBOX_KEEP=1 to keep the
per-run directory after the run (its path is printed).

Importing this module has no side effects.
"""

import datetime
import hashlib
import importlib.util
import ipaddress
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

GITHUB_NAMES = (
    "github.com",
    "api.github.com",
    "release-assets.githubusercontent.com",
    "objects.githubusercontent.com",
)
MAIN_IP = "127.0.0.1"
WRONGNAME_IP = "127.0.0.2"
UNTRUSTED_IP = "127.0.0.3"
WRONGNAME_HOST = "wrongname.test"
UNTRUSTED_HOST = "untrusted.test"
OTHERNAME_HOST = "othername.test"

SYSTEM_HOSTS = "/etc/hosts"
SYSTEM_CERT_DIR = "/etc/ssl/certs"
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"

_ENV_FLAG = "TOLVAR_SANDBOX"
_ENV_DIR = "TOLVAR_SANDBOX_DIR"
_ENV_CA = "TOLVAR_SANDBOX_CA"
_ENV_OUTER_NS = "TOLVAR_SANDBOX_OUTER_NS"
_ENV_KEEP = "TOLVAR_SANDBOX_KEEP"
_INFO_FILE = "sandbox.json"


@dataclass
class Info:
    dir: str
    ca_cert: str
    ca_key: str
    bundle: str
    hosts_file: str
    certs: dict = field(default_factory=dict)  # kind -> (cert_path, key_path)
    main_ip: str = MAIN_IP
    wrongname_ip: str = WRONGNAME_IP
    untrusted_ip: str = UNTRUSTED_IP

    def cert(self, kind):
        return self.certs[kind][0]

    def key(self, kind):
        return self.certs[kind][1]


_info = None


def active():
    """True when this process already runs inside a sandbox set up by enter()."""
    # TOLVAR_SANDBOX_CA is exported only once the mounts are in place.
    return (os.environ.get(_ENV_FLAG) == "1" and bool(os.environ.get(_ENV_DIR))
            and bool(os.environ.get(_ENV_CA)))


def info():
    """The sandbox description; None outside a sandbox."""
    global _info
    if _info is None and active():
        _info = _load_info(os.environ[_ENV_DIR])
    return _info


def enter(argv=None):
    """Run the calling script inside the sandbox; returns Info once inside.

    argv defaults to sys.argv (script path first).  Outside the sandbox this
    never returns: it exits with the sandboxed run's exit code.
    """
    if info() is not None:
        return _info
    if os.environ.get(_ENV_FLAG) == "1":
        return _setup_inside()
    _run_outside(list(sys.argv if argv is None else argv))


# ----------------------------------------------------------------- outside

def _ns_id(kind, pid="self"):
    try:
        return os.readlink("/proc/%s/ns/%s" % (pid, kind))
    except OSError:
        return ""


def _digest(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError as e:
        return "error:%s" % e.errno


def _mounts_over(targets):
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            parts = line.split()
            if len(parts) > 4 and parts[4] in targets:
                found.append(parts[4])
    return found


def _run_outside(argv):
    if os.geteuid() != 0:
        sys.stderr.write("sandbox: must run as root (unshare -m -n)\n")
        sys.exit(2)
    if not argv or not argv[0]:
        sys.stderr.write("sandbox: need the script path in argv\n")
        sys.exit(2)
    watched = (SYSTEM_HOSTS, SYSTEM_BUNDLE)
    before = {p: _digest(p) for p in watched}
    mounts_before = _mounts_over(watched + (SYSTEM_CERT_DIR,))

    run_dir = tempfile.mkdtemp(prefix="tolvar-e2e-")
    env = dict(os.environ)
    env[_ENV_FLAG] = "1"
    env[_ENV_DIR] = run_dir
    env[_ENV_OUTER_NS] = _ns_id("mnt") + " " + _ns_id("net")
    env.pop(_ENV_CA, None)
    # The certificates need python3-cryptography, which Debian's Python has;
    # another interpreter on PATH may not.
    python = sys.executable
    if importlib.util.find_spec("cryptography") is None and os.path.exists("/usr/bin/python3"):
        python = "/usr/bin/python3"
    cmd = ["unshare", "--mount", "--net", "--propagation", "private",
           python, os.path.abspath(argv[0])] + argv[1:]
    child = subprocess.Popen(cmd, env=env)

    def forward(signum, _frame):
        try:
            child.send_signal(signum)
        except OSError:
            pass
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, forward)
    rc = child.wait()
    if rc < 0:
        rc = 128 - rc

    # The bind mounts must never have reached the host's namespace.
    after = {p: _digest(p) for p in watched}
    leaked = [p for p in watched if before[p] != after[p]]
    leaked += [m for m in _mounts_over(watched + (SYSTEM_CERT_DIR,))
               if m not in mounts_before]
    if leaked:
        sys.stderr.write("sandbox: host files changed or mounts leaked: %s\n"
                         % ", ".join(leaked))
        rc = rc or 3
    if os.environ.get(_ENV_KEEP) == "1":
        sys.stderr.write("sandbox: kept %s\n" % run_dir)
    else:
        shutil.rmtree(run_dir, ignore_errors=True)
    sys.exit(rc)


# ------------------------------------------------------------------ inside

def _setup_inside():
    global _info
    outer = os.environ.get(_ENV_OUTER_NS, "").split()
    mine = [_ns_id("mnt"), _ns_id("net")]
    if len(outer) == 2:
        if outer[0] == mine[0] or outer[1] == mine[1]:
            _die("TOLVAR_SANDBOX=1 but this process shares the caller's "
                 "mount or network namespace; refusing to touch /etc")
    else:
        # Started by hand with the flag set: compare with init's namespaces
        # where the kernel lets us; refuse when we cannot tell.
        init = [_ns_id("mnt", 1), _ns_id("net", 1)]
        if not init[0] or init[0] == mine[0] or init[1] == mine[1]:
            _die("TOLVAR_SANDBOX=1 is set but no separate mount/network "
                 "namespace could be confirmed; run the script without it")
    _check_private_propagation()

    run_dir = os.environ.get(_ENV_DIR) or tempfile.mkdtemp(prefix="tolvar-e2e-")
    os.makedirs(run_dir, exist_ok=True)
    _run(["ip", "link", "set", "lo", "up"])

    inf = _make_pki(run_dir)
    _write_hosts(inf.hosts_file)
    _mount_bind(inf.hosts_file, SYSTEM_HOSTS)
    _mount_bind(os.path.dirname(inf.bundle), SYSTEM_CERT_DIR)
    with open(SYSTEM_BUNDLE, "rb") as f, open(inf.ca_cert, "rb") as g:
        if f.read() != g.read():
            _die("bundle at %s is not the test CA after mounting" % SYSTEM_BUNDLE)
    _check_private_propagation()

    with open(os.path.join(run_dir, _INFO_FILE), "w") as f:
        json.dump(inf.__dict__, f, indent=1)
    os.environ[_ENV_DIR] = run_dir
    os.environ[_ENV_CA] = inf.ca_cert
    _info = inf
    return inf


def _die(msg):
    sys.stderr.write("sandbox: %s\n" % msg)
    sys.exit(2)


def _run(cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        _die("%s failed: %s" % (" ".join(cmd), r.stdout.decode(errors="replace")))


def _mount_bind(src, dst):
    _run(["mount", "--bind", src, dst])


def _check_private_propagation():
    with open("/proc/self/mountinfo") as f:
        for line in f:
            head = line.split(" - ")[0].split()
            # fields 6.. before the separator are optional tags such as shared:N
            if any(t.startswith("shared:") for t in head[6:]):
                _die("mount %s still has shared propagation" % head[4])


def _load_info(run_dir):
    with open(os.path.join(run_dir, _INFO_FILE)) as f:
        d = json.load(f)
    d["certs"] = {k: tuple(v) for k, v in d["certs"].items()}
    return Info(**d)


def _write_hosts(path):
    lines = ["127.0.0.1\tlocalhost"]
    try:
        me = socket.gethostname()
        if me and me != "localhost":
            lines.append("127.0.0.1\t%s" % me)
    except OSError:
        pass
    for name in GITHUB_NAMES:
        lines.append("%s\t%s" % (MAIN_IP, name))
    lines.append("%s\t%s" % (WRONGNAME_IP, WRONGNAME_HOST))
    lines.append("%s\t%s" % (UNTRUSTED_IP, UNTRUSTED_HOST))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def _make_pki(run_dir):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    day = datetime.timedelta(days=1)

    def new_key():
        return rsa.generate_private_key(public_exponent=65537, key_size=2048)

    def name(cn):
        return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Tolvar E2E"),
                          x509.NameAttribute(NameOID.COMMON_NAME, cn)])

    def save(stem, cert, key):
        cpath = os.path.join(run_dir, stem + ".crt")
        kpath = os.path.join(run_dir, stem + ".key")
        with open(cpath, "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))
        with open(kpath, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.TraditionalOpenSSL,
                                      serialization.NoEncryption()))
        return cpath, kpath

    ca_key = new_key()
    ca_name = name("Tolvar E2E Test CA")
    ca = (x509.CertificateBuilder()
          .subject_name(ca_name).issuer_name(ca_name)
          .public_key(ca_key.public_key())
          .serial_number(x509.random_serial_number())
          .not_valid_before(now - day).not_valid_after(now + 3650 * day)
          .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
          .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                       key_encipherment=False, data_encipherment=False,
                                       key_agreement=False, key_cert_sign=True,
                                       crl_sign=True, encipher_only=False,
                                       decipher_only=False), critical=True)
          .add_extension(x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key()),
                         critical=False)
          .sign(ca_key, hashes.SHA256()))
    ca_cert, ca_keyp = save("ca", ca, ca_key)

    def leaf(cn, dns, ips, signer_key, issuer, not_before, not_after, self_signed=False):
        key = new_key()
        sans = [x509.DNSName(d) for d in dns] + \
               [x509.IPAddress(ipaddress.ip_address(i)) for i in ips]
        b = (x509.CertificateBuilder()
             .subject_name(name(cn)).issuer_name(name(cn) if self_signed else issuer)
             .public_key(key.public_key())
             .serial_number(x509.random_serial_number())
             .not_valid_before(not_before).not_valid_after(not_after)
             .add_extension(x509.SubjectAlternativeName(sans), critical=False)
             .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
             .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                            critical=False)
             .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                            critical=False))
        if not self_signed:
            b = b.add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                ca_key.public_key()), critical=False)
        return b.sign(key if self_signed else signer_key, hashes.SHA256()), key

    github_dns = list(GITHUB_NAMES) + ["localhost"]
    certs = {}
    c, k = leaf("github.com", github_dns, [MAIN_IP], ca_key, ca_name, now - day, now + 90 * day)
    certs["good"] = save("server", c, k)
    c, k = leaf(OTHERNAME_HOST, [OTHERNAME_HOST], [], ca_key, ca_name, now - day, now + 90 * day)
    certs["othername"] = save("othername", c, k)
    c, k = leaf(UNTRUSTED_HOST, [UNTRUSTED_HOST] + github_dns, [UNTRUSTED_IP], None, None,
                now - day, now + 90 * day, self_signed=True)
    certs["untrusted"] = save("untrusted", c, k)
    c, k = leaf("github.com", github_dns, [MAIN_IP], ca_key, ca_name, now - 30 * day, now - day)
    certs["expired"] = save("expired", c, k)

    # The directory mounted over /etc/ssl/certs: the bundle plus the hashed
    # name OpenSSL's capath lookup uses, and nothing else.
    cert_dir = os.path.join(run_dir, "etc-ssl-certs")
    os.makedirs(cert_dir, exist_ok=True)
    bundle = os.path.join(cert_dir, "ca-certificates.crt")
    shutil.copyfile(ca_cert, bundle)
    h = subprocess.run(["openssl", "x509", "-noout", "-subject_hash", "-in", ca_cert],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if h.returncode == 0 and h.stdout.strip():
        os.symlink("ca-certificates.crt",
                   os.path.join(cert_dir, h.stdout.decode().strip() + ".0"))

    return Info(dir=run_dir, ca_cert=ca_cert, ca_key=ca_keyp, bundle=bundle,
                hosts_file=os.path.join(run_dir, "hosts"), certs=certs)
