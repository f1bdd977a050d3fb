"""The test CA of the enrolment server, made with the openssl tool.

A root and an intermediate; server certificates for each way a TLS peer can
fail the client's checks; issuing from a PKCS#10 request and the PKCS#7 reply.
"""

import base64
import os
import subprocess
import threading

SERVER_KINDS = ("good", "wrongname", "cnonly", "noserverauth", "expired", "unknownca")


def _run(args, **kwargs):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)


class TestCA:
    def __init__(self, folder):
        self.folder = folder
        self._serial = 1000
        self._lock = threading.Lock()
        self.root = self._path("root.pem")
        self.root_key = self._path("root.key")
        self.inter = self._path("inter.pem")
        self.inter_key = self._path("inter.key")
        self._make_ca("root", "/CN=Kestrin Test Root", None, None)
        self._make_ca("inter", "/CN=Kestrin Test Issuing CA", self.root, self.root_key)
        self._make_ca("other", "/CN=Unknown Test Root", None, None)
        for kind in SERVER_KINDS:
            self._make_server(kind)
        self.client_p12 = self._make_client()

    def _path(self, name):
        return os.path.join(self.folder, name)

    def _ext(self, name, text):
        path = self._path(name + ".ext")
        with open(path, "w") as f:
            f.write(text)
        return path

    def _make_ca(self, name, subject, issuer, issuer_key):
        key, pem = self._path(name + ".key"), self._path(name + ".pem")
        if issuer is None:
            _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                  "-days", "365", "-subj", subject,
                  "-addext", "basicConstraints=critical,CA:TRUE",
                  "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
            return
        csr = self._path(name + ".csr")
        _run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
              "-subj", subject])
        ext = self._ext(name, "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
        _run(["openssl", "x509", "-req", "-in", csr, "-CA", issuer, "-CAkey", issuer_key, "-set_serial",
              str(self._next_serial()), "-days", "365", "-extfile", ext, "-out", pem])

    def _make_server(self, kind):
        cn, san, eku = "localhost", "DNS:localhost,IP:127.0.0.1", "serverAuth"
        if kind == "good":
            # Browser tests reach it under two site names mapped to 127.0.0.1.
            san += ",DNS:enrol.test,DNS:other.test"
        if kind == "wrongname":
            cn, san = "wrong.example", "DNS:wrong.example"
        elif kind == "cnonly":
            san = None
        elif kind == "noserverauth":
            eku = "clientAuth"
        ext_text = "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
        ext_text += "extendedKeyUsage=%s\n" % eku
        if san:
            ext_text += "subjectAltName=%s\n" % san
        ext = self._ext("server-" + kind, ext_text)
        key, csr, pem = (self._path("server-%s.%s" % (kind, s)) for s in ("key", "csr", "pem"))
        _run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
              "-subj", "/CN=" + cn])
        issuer, issuer_key = (self._path("other.pem"), self._path("other.key")) if kind == "unknownca" else (
            self.inter, self.inter_key)
        if kind == "expired":
            self._sign_expired(csr, issuer, issuer_key, ext, pem)
        else:
            _run(["openssl", "x509", "-req", "-in", csr, "-CA", issuer, "-CAkey", issuer_key, "-set_serial",
                  str(self._next_serial()), "-days", "30", "-extfile", ext, "-out", pem])
        chain = self._path("server-%s.chain" % kind)
        with open(chain, "w") as out:
            for part in (pem, issuer):
                with open(part) as f:
                    out.write(f.read())

    def _make_client(self):
        """A TLS client identity of the intermediate as PKCS#12 with an empty password."""
        key, csr, pem, p12 = (self._path("client." + s) for s in ("key", "csr", "pem", "p12"))
        _run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
              "-subj", "/CN=Kestrin Test Client"])
        ext = self._ext("client", "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n")
        _run(["openssl", "x509", "-req", "-in", csr, "-CA", self.inter, "-CAkey", self.inter_key, "-set_serial",
              str(self._next_serial()), "-days", "30", "-extfile", ext, "-out", pem])
        _run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-certfile", self.inter, "-passout",
              "pass:", "-out", p12])
        return p12

    def _sign_expired(self, csr, issuer, issuer_key, ext, pem):
        # "openssl ca" is the tool that sets both dates of a certificate.
        db = self._path("ca-db")
        os.makedirs(db, exist_ok=True)
        open(os.path.join(db, "index.txt"), "w").close()
        with open(os.path.join(db, "serial"), "w") as f:
            f.write("%04X\n" % self._next_serial())
        conf = self._path("ca.cnf")
        with open(conf, "w") as f:
            f.write("[ca]\ndefault_ca=d\n[d]\ndatabase=%s/index.txt\nserial=%s/serial\nnew_certs_dir=%s\n"
                    "default_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n" % (db, db, db))
        _run(["openssl", "ca", "-batch", "-config", conf, "-in", csr, "-cert", issuer, "-keyfile", issuer_key,
              "-startdate", "20200101000000Z", "-enddate", "20200201000000Z", "-extfile", ext,
              "-notext", "-out", pem])

    def _next_serial(self):
        with self._lock:
            self._serial += 1
            return self._serial

    def server_files(self, kind):
        return self._path("server-%s.chain" % kind), self._path("server-%s.key" % kind)

    def issue(self, pkcs10_der):
        """Certificate from a DER request, signed by the intermediate; the request's
        extensions are copied. Answers (Base64 PKCS#7 of leaf, intermediate, root;
        the leaf's PEM), or raises CalledProcessError for a request that does not verify."""
        serial = self._next_serial()
        csr, pem = self._path("req-%d.der" % serial), self._path("cert-%d.pem" % serial)
        with open(csr, "wb") as f:
            f.write(pkcs10_der)
        _run(["openssl", "req", "-inform", "DER", "-in", csr, "-verify", "-noout"])
        _run(["openssl", "x509", "-req", "-inform", "DER", "-in", csr, "-CA", self.inter, "-CAkey",
              self.inter_key, "-set_serial", str(serial), "-days", "30", "-copy_extensions", "copy",
              "-out", pem])
        p7 = subprocess.run(["openssl", "crl2pkcs7", "-nocrl", "-certfile", pem, "-certfile", self.inter,
                             "-certfile", self.root, "-outform", "DER"], check=True, capture_output=True).stdout
        with open(pem) as f:
            return base64.b64encode(p7).decode(), f.read()
