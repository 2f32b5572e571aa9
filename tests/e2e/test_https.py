"""-B and -G over HTTPS: the certificate must chain to the system's CA bundle
(a test CA bound over it) and name the URL's host (an /etc/hosts bound too)."""
import subprocess

import pytest

from conftest import HOST_IP

HOST = "updates.keystrand.test"
SERIAL = "0001ABCD"
# Server certificate: issuing CA and the name it is made out to.
CERTS = {"good": ("ca", HOST), "foreign": ("other-ca", HOST), "other-name": ("ca", "other.keystrand.test")}


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    d = tmp_path_factory.mktemp("pki")

    def req(name, subject, *extra):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "2", "-keyout", name + ".key", "-out", name + ".pem",
                        "-subj", "/CN=" + subject, *extra], cwd=d, check=True, capture_output=True, timeout=60)

    for ca in ("ca", "other-ca"):
        req(ca, "Keystrand test " + ca)
    for name, (ca, host) in CERTS.items():
        req(name, host, "-CA", ca + ".pem", "-CAkey", ca + ".key", "-addext", "subjectAltName=DNS:" + host)
    (d / "hosts").write_text("127.0.0.1 localhost\n%s %s\n" % (HOST_IP, HOST))
    return d


@pytest.mark.parametrize("cert", CERTS)
def test_https_server_is_verified(cert, pki, updater, sims):
    server = sims.server(tls=(pki / (cert + ".pem"), pki / (cert + ".key")))
    path = server.add_build(SERIAL, 1200, "1.2.0")
    updater.wrapper = ["sh", "-c", 'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt && '
                       'mount --bind "$1" /etc/hosts && shift && exec "$@"', pki / "ca.pem", pki / "hosts"]
    url = "https://%s:%d/cgi/u" % (HOST, server.port)
    listed = updater("-B", "-d", SERIAL, "-u", url)
    got = updater("-G", "-d", SERIAL, "-u", url)
    stored = updater.store / SERIAL / "1200.bird"
    if cert == "good":
        assert (listed.status, listed.stderr, got.status, got.stderr) == (0, "", 0, "")
        assert listed.out_lines[-1] == "1200           \t1.2.0          "
        assert stored.read_bytes() == path.read_bytes()
        assert server.ops() == ["hi", "builds", "hi", "qu", "builds", "bird"]
    else:
        failed = ["Server request failed for " + url, "  10.231.0.1 port %d: %s" % (server.port, {
            "foreign": "SSL certificate problem: unable to get local issuer certificate",
            "other-name": "SSL: no alternative certificate subject name matches target host name '%s'" % HOST}[cert])]
        assert (listed.status, listed.err_lines, got.status, got.err_lines) == (0, failed, 1, failed)
        assert listed.out_lines[-1] == "No builds found for device [%s]" % SERIAL
        assert not stored.exists()
        # The handshake failed: no request reached the server.
        assert server.ops() == []
