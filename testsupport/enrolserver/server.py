#!/usr/bin/python3
"""Test enrolment server, started by the C++ fixture of the tests.

    server.py FOLDER

Makes a test CA in FOLDER, listens on 127.0.0.1 (ports chosen by the system)
and writes one line "name port-or-path" per service to standard output,
ending with "ready". It runs until it is killed.

- one HTTPS port per server certificate kind (good, wrongname, cnonly,
  noserverauth, expired, unknownca) and "denied" (a good certificate, but the
  handshake ends with the alert access_denied); "clientcert" (a good
  certificate, and the client must show one of the test CA, such as the
  PKCS#12 file "client", with an empty password);
- "admin": plain HTTP; POST /queue {"path", "status", "reason", "headers",
  "body_b64" or "raw_b64"} queues one reply for a path; GET /requests lists
  each request (server, method, target, headers in order, body_b64); GET
  /proxy lists the targets of CONNECT; GET /spnego lists the principals whose
  tokens were accepted, with the tokens; POST /reset forgets all;
- the protocol 1.0 dialogue on every path that holds "/kestrin/" (server
  version 1) or "KestrinServer/kvc1/" (server version 2); below "/negotiate/"
  every request must carry a SPNEGO token in "Authorization";
- protocols 3.0 ("/KestrinServer/kvc3/doLogin" and "getCertificate") and 2.0
  ("/KestrinServer/kvc2/..."), see FormDialogue; a session is the cookie
  "FSESSION";
- "/pages/NAME" (every port, the admin port included): the file NAME of the
  folder named by $KESTRIN_TEST_PAGES, for browser tests;
- POST "/issue" (every port but the admin port): the Base64 PKCS#10 request
  of the body issued, answered as Base64 PKCS#7, as a browser page's own
  server does; 400 for a request that does not verify;
- "silent": accepts and never answers; "blackhole": never accepts (its
  queue is full, so a connect waits); "proxy": an HTTP CONNECT proxy.
"""

import base64
import json
import os
import select
import socket
import ssl
import sys
import threading
import uuid
import urllib.parse
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from testca import SERVER_KINDS, TestCA

try:
    import gssapi
except ImportError:  # SPNEGO paths answer 500 without it
    gssapi = None


class State:
    def __init__(self, ca):
        self.ca = ca
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with getattr(self, "lock", threading.Lock()):
            self.requests = []
            self.queued = {}
            self.proxy_targets = []
            self.spnego = []
            self.sessions = {}


STATE = None

PASSWORDS = {"alice": "secret", "j\u00f6rg": "p\u00e4ssw\u00f6rd \u20ac", "otp": "111111"}
NEXT_CODE = "222222"
PIN_USERS = {"pin-user": "USER_SELECTABLE", "pin-must": "MUST_CHOOSE_PIN", "pin-cannot": "CANNOT_CHOOSE_PIN"}
PIN_START = "1234"
SERVER_PIN = "13579"


def el(parent, name, text=None):
    node = ET.SubElement(parent, name)
    if text is not None:
        node.text = text
    return node


def reply_xml(version, action, data):
    root = ET.Element("ZaravAduvIzer")
    control = el(root, "Control")
    el(control, "Version", version)
    el(control, "ServerBuild", "$Name: TEST-1 $")
    el(control, "ActionRequest", action)
    if data:
        d = el(el(root, "Content"), "Data")
        for name, value in data:
            el(d, name, value)
    return ET.tostring(root, encoding="unicode")


class Dialogue:
    """One protocol 1.0 request and its reply."""

    def __init__(self, path, body, cookies):
        self.version = "Quillmoss 1.0.0" if "/kestrin/" in path else "Quillmoss 2.0.0"
        self.legacy = self.version.endswith("1.0.0")
        self.body = body
        self.cookies = cookies

    def parse(self):
        text = self.body.decode("cp1252" if self.legacy and not self.body.startswith(b"<?xml") else "utf-8")
        if text.startswith("<?xml"):
            text = text[text.index("?>") + 2:]
        return ET.fromstring(text)

    def answer(self):
        try:
            root = self.parse()
        except (ET.ParseError, UnicodeDecodeError, ValueError):
            return None, self.reply("ERROR_ACTION", [("Status", "INVALID_MESSAGE_FORMAT")])
        action = root.findtext("Control/ActionRequest") or ""
        data = root.find("Content/Data")
        if action == "INIT_ACTION":
            sid = uuid.uuid4().hex
            with STATE.lock:
                STATE.sessions[sid] = {"init": root.findtext("Control/ClientID"), "pkcs10": None, "user": None}
            return sid, self.reply("CONFIG_ACTION", [("Disclaimer", "  Test disclaimer\nsecond line  ")])
        if action in ("EXIT_ACTION", "CANCEL_ACTION"):
            return None, ""
        session = STATE.sessions.get(self.cookies.get("KSESSION", ""))
        if session is None or data is None:
            return None, self.reply("ERROR_ACTION", [("Status", "INVALID_MESSAGE_FORMAT")])
        if action == "AUTH_ACTION":
            return None, self.auth(session, data)
        if action == "NEXT_CODE_ACTION":
            if session["user"] == "otp" and data.findtext("Tokencode") == NEXT_CODE:
                return None, self.issue(session)
            return None, self.reply("AUTH_RESULT_ACTION", [("Status", "ACM_ACCESS_DENIED")])
        if action == "NEW_PIN_ACTION":
            return None, self.new_pin(session, data.findtext("PIN") or "")
        return None, self.reply("ERROR_ACTION", [("Status", "INVALID_MESSAGE_FORMAT")])

    def reply(self, action, data):
        return reply_xml(self.version, action, data)

    def auth(self, session, data):
        user = data.findtext("Username") or ""
        password = data.findtext("Passcode") or ""
        session["pkcs10"] = data.findtext("PKCS10") or ""
        session["user"] = user
        if user == "kerberos:":
            principal = accept_token(password)
            if principal is None:
                return self.reply("AUTH_RESULT_ACTION", [("Status", "ACM_ACCESS_DENIED")])
            return self.issue(session)
        if user in PIN_USERS:
            if password == session.get("pin"):
                return self.issue(session)
            if password != PIN_START:
                return self.reply("AUTH_RESULT_ACTION", [("Status", "ACM_ACCESS_DENIED")])
            rows = [("PINSelectMode", PIN_USERS[user]), ("MinPINLength", "4"), ("MaxPINLength", "8"),
                    ("Alphanumeric", "false")]
            if PIN_USERS[user] == "CANNOT_CHOOSE_PIN":
                rows.append(("ServerPIN", SERVER_PIN))
            return self.reply("NEW_PIN_REQUIRED_ACTION", rows)
        if user not in PASSWORDS:
            return self.reply("AUTH_RESULT_ACTION", [("Status", "ACE_UNDEFINED_USERNAME")])
        if password != PASSWORDS[user]:
            return self.reply("AUTH_RESULT_ACTION", [("Status", "ACM_ACCESS_DENIED"), ("Message", ""),
                                                     ("MessageCode", "E17")])
        if user == "otp":
            return self.reply("SEND_NEXT_CODE_ACTION", [("Message", "Enter the next code")])
        return self.issue(session)

    def new_pin(self, session, pin):
        mode = PIN_USERS.get(session["user"])
        ok = mode is not None and 4 <= len(pin) <= 8 and pin.isdigit()
        if mode == "CANNOT_CHOOSE_PIN":
            ok = pin == SERVER_PIN
        if not ok:
            return self.reply("NEW_PIN_REPLY_ACTION", [("Status", "ACM_NEW_PIN_REJECTED")])
        session["pin"] = pin
        return self.reply("NEW_PIN_REPLY_ACTION", [("Status", "ACM_NEW_PIN_ACCEPTED"), ("Message", "PIN set")])

    def issue(self, session):
        try:
            p7, _ = STATE.ca.issue(base64.b64decode(session["pkcs10"]))
        except Exception:  # a request that does not verify
            return self.reply("AUTH_RESULT_ACTION", [("Status", "INTERNAL_SERVER_ERROR")])
        return self.reply("AUTH_RESULT_ACTION", [("Status", "ACM_OK"), ("Message", "Welcome %s" % session["user"]),
                                                 ("Certificate", p7)])


def der(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + content


def der_oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    out = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        out += bytes(chunk)
    return der(0x06, out)


def der_items(data):
    """The (tag, whole encoding, content) of each element of one level."""
    items, i = [], 0
    while i < len(data):
        tag, n = data[i], data[i + 1]
        start = i + 2
        if n & 0x80:
            k = n & 0x7F
            n = int.from_bytes(data[start:start + k], "big")
            start += k
        items.append((tag, data[i:start + n], data[start:start + n]))
        i = start + n
    return items


def template_for(user):
    """The subject and extensions (DER) the server wants in the request of `user`."""
    rdn = lambda oid, value: der(0x31, der(0x30, der_oid(oid) + der(0x0C, value.encode())))
    subject = der(0x30, rdn("2.5.4.10", "Kestrin Test") + rdn("2.5.4.3", user))
    san = der(0x30, der(0x82, ("%s.example.org" % user.replace(" ", "-")).encode()) +
              der(0x81, ("%s@example.org" % user.replace(" ", ".")).encode()))
    key_usage = der(0x03, bytes([0x05, 0xA0]))
    extensions = der(0x30, der(0x30, der_oid("2.5.29.17") + der(0x04, san)) +
                     der(0x30, der_oid("2.5.29.15") + der(0x01, b"\xff") + der(0x04, key_usage)))
    return subject, extensions


def request_matches(csr_der, subject, extensions):
    """Whether the request's subject and extension request are these bytes."""
    try:
        info = der_items(der_items(csr_der)[0][2])[0][2]
        fields = der_items(info)
        if fields[1][1] != subject:
            return False
        for tag, _, content in fields[3:]:
            if tag != 0xA0:
                continue
            for _, _, attribute in der_items(content):
                oid, values = der_items(attribute)[:2]
                if oid[1] == der_oid("1.2.840.113549.1.9.14"):
                    return der_items(values[2])[0][1] == extensions
        return False
    except (IndexError, ValueError):
        return False


class FormDialogue:
    """Protocols 2.0 and 3.0: URL-encoded posts answered by JSON.

    3.0 users: "alice" (password "secret", then the one-time code "222222",
    then a new PIN of digits with a confirmation field) and "bob" (password
    "secret", then the template). Every post after the first must carry the
    session salt of the last reply (a new one each time) as its field.
    2.0 users: "alice"/"secret"; "pin-user"/"1234" then a new PIN; "otp"/
    "111111" then "222222"; and SPNEGO (a token in "Authorization" and
    nothing else). A refused step answers view "Auth" with type "2".
    getCertificate issues for a session whose user is authenticated, for 3.0
    only when the request holds the template's subject and extensions.
    """

    def __init__(self, handler, version, body, cookies):
        self.handler = handler
        self.version = version
        self.form = dict(urllib.parse.parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True))
        self.raw = body
        self.sid = cookies.get("FSESSION")
        self.session = STATE.sessions.get("form-" + (self.sid or ""))

    def new_session(self):
        self.sid = uuid.uuid4().hex
        self.session = {"step": "credentials", "user": None, "ready": False}
        STATE.sessions["form-" + self.sid] = self.session

    def json(self, document):
        headers = [("Content-Type", "application/json")]
        if self.sid:
            headers.append(("Set-Cookie", "FSESSION=%s; Path=/" % self.sid))
        self.handler.send(200, "OK", headers, json.dumps(document))

    # Protocol 3.0.
    def v3(self, certificate):
        if certificate:
            return self.certificate()
        if self.session is None:
            self.new_session()
            return self.json(self.v3_reply("Welcome", 1))
        salt = self.session.get("salt")
        if salt is None or self.form.get(salt["field"]) != salt["value"]:
            return self.json(self.v3_reply("The session salt is missing", 2))
        step, form = self.session["step"], self.form
        if step == "credentials":
            user = form.get("username", "")
            if user in ("alice", "bob") and form.get("password") == "secret":
                self.session["user"] = user
                self.session["step"] = "otp" if user == "alice" else "done"
            else:
                return self.json(self.v3_reply("Wrong user name or password", 2))
        elif step == "otp":
            if form.get("otp") != NEXT_CODE:
                return self.json(self.v3_reply("Wrong code", 2))
            self.session["step"] = "pin"
        elif step == "pin":
            pin = form.get("newpin", "")
            if not (pin.isdigit() and 4 <= len(pin) <= 8):
                return self.json(self.v3_reply("The PIN must be 4 to 8 digits", 2))
            self.session["step"] = "done"
        return self.json(self.v3_reply(None, 0))

    def v3_reply(self, text, kind):
        salt = {"field": "salt_" + uuid.uuid4().hex[:6], "value": "s+/=" + uuid.uuid4().hex[:8]}
        self.session["salt"] = salt
        reply = {"sessionSalt": salt, "clientConfig": {"networkTimeout": 17, "kestrinTestText": "from server"}}
        if text is not None:
            reply["clientMessage"] = {"messageType": kind, "messageText": text, "disclaimer": "Test disclaimer"}
        step = self.session["step"]
        if step == "credentials":
            reply["userInput"] = [{"field": "username", "type": "text", "userprompt": "User name:"},
                                  {"field": "password", "type": "password", "userprompt": "Password:"}]
        elif step == "otp":
            reply["userInput"] = [{"field": "otp", "type": "password", "userprompt": "One-time code:"}]
        elif step == "pin":
            reply["userInput"] = [{"field": "newpin", "type": "password", "userprompt": "New PIN:",
                                   "confirmField": "Repeat the PIN:"}]
        else:
            self.session["ready"] = True
            subject, extensions = template_for(self.session["user"])
            reply["certificateTemplate"] = {"subjectNameDER": base64.b64encode(subject).decode(),
                                            "extensionsDER": base64.b64encode(extensions).decode()}
        return reply

    # Protocol 2.0.
    def v2(self, certificate):
        if certificate:
            return self.certificate()
        auth = self.handler.headers.get("Authorization", "")
        if self.session is None:
            self.new_session()
            self.session["salt"] = "s\u00e4lt+/="
            return self.json({"view": "Auth", "status": "ACM_OK", "text": "Please log in",
                              "salt": self.session["salt"], "config": {"networkTimeout": 19},
                              "init": {"salutory": "Hello", "disclaimer": "Test disclaimer"},
                              "input": [{"field": "j_username", "type": "text"},
                                        {"field": "j_password", "type": "password"}]})
        form = self.form
        if form.get("j_salt") != self.session["salt"]:
            return self.json({"view": "Auth", "status": "ACM_ACCESS_DENIED", "type": "2", "text": "No salt"})
        if auth.startswith("Negotiate ") and "j_username" not in form:
            if accept_token(auth[10:]) is None:
                return self.json({"view": "Auth", "status": "ACM_ACCESS_DENIED", "type": "2", "text": "Bad token"})
            return self.sso("kerberos")
        if "j_qev_current_password" in form:
            if (form["j_qev_current_password"] != self.session.get("password") or
                    form.get("j_qev_password") != form.get("j_qev_again") or
                    not form.get("j_qev_password", "").isdigit()):
                return self.json({"view": "NewPin", "status": "ACM_OK", "type": "2", "text": "PIN refused"})
            return self.sso(self.session["user"])
        if "j_username" not in form and "j_qev_password" in form:
            if self.session.get("user") == "otp" and form["j_qev_password"] == NEXT_CODE:
                return self.sso("otp")
            return self.json({"view": "Auth", "status": "ACM_ACCESS_DENIED", "type": "2", "text": "Wrong code"})
        user, password = form.get("j_username", ""), form.get("j_password", "")
        self.session["user"], self.session["password"] = user, password
        if user == "alice" and password == "secret":
            return self.sso(user)
        if user == "pin-user" and password == PIN_START:
            return self.json({"view": "NewPin", "status": "ACM_OK", "type": "1", "text": "Choose a PIN"})
        if user == "otp" and password == "111111":
            return self.json({"view": "NextToken", "status": "ACM_OK", "type": "1", "text": "Next code"})
        return self.json({"view": "Auth", "status": "ACM_ACCESS_DENIED", "type": "2", "text": "Wrong password"})

    def sso(self, user):
        self.session["user"], self.session["ready"] = user, True
        return self.json({"view": "SSO", "status": "ACM_OK", "type": "1", "text": "Welcome %s" % user})

    def certificate(self):
        auth = self.handler.headers.get("Authorization", "")
        if auth.startswith("Negotiate ") and accept_token(auth[10:]) is None:
            return self.handler.send(401, "Unauthorized", [("Content-Type", "message/plain; charset=utf-8")],
                                     "The token was refused")
        if self.session is None or not self.session.get("ready"):
            return self.handler.send(403, "Forbidden", [("Content-Type", "message/plain; charset=utf-8")],
                                     "Not logged in")
        try:
            request = base64.b64decode(self.raw, validate=True)
        except ValueError:
            request = b""
        if self.version == 3 and not request_matches(request, *template_for(self.session["user"])):
            return self.handler.send(400, "Bad Request", [("Content-Type", "message/plain; charset=utf-8")],
                                     "The request does not follow the template")
        try:
            p7, _ = STATE.ca.issue(request)
        except Exception:
            return self.handler.send(400, "Bad Request", [("Content-Type", "message/plain; charset=utf-8")],
                                     "The request does not verify")
        self.handler.send(200, "OK", [("Content-Type", "application/pkcs7-mime")], base64.b64decode(p7))


def accept_token(token_b64):
    """The initiator's name when the SPNEGO token is accepted, else None."""
    if gssapi is None:
        return None
    try:
        creds = gssapi.Credentials(usage="accept")
        ctx = gssapi.SecurityContext(creds=creds, usage="accept")
        ctx.step(base64.b64decode(token_b64))
        if not ctx.complete:
            return None
        name = str(ctx.initiator_name)
    except Exception:
        return None
    with STATE.lock:
        STATE.spnego.append({"principal": name, "token": token_b64})
    return name


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.handle_any()

    def do_POST(self):
        self.handle_any()

    def read_body(self):
        n = int(self.headers.get("Content-Length", "0") or 0)
        return self.rfile.read(n) if n > 0 else b""

    def send(self, status, reason, headers, body):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status, reason)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def serve_page(self):
        """A file of the pages folder; False when the path is not below "/pages/"."""
        path = self.path.split("?", 1)[0]
        folder = os.environ.get("KESTRIN_TEST_PAGES")
        if not folder or not path.startswith("/pages/"):
            return False
        name = path[len("/pages/"):]
        if not name or "/" in name or name.startswith("."):
            self.send(404, "Not Found", [], "")
            return True
        try:
            with open(os.path.join(folder, name), "rb") as f:
                page = f.read()
        except OSError:
            self.send(404, "Not Found", [], "")
            return True
        self.send(200, "OK", [("Content-Type", "text/html; charset=utf-8")], page)
        return True

    def handle_any(self):
        if self.command == "GET" and self.serve_page():
            return
        body = self.read_body()
        path = self.path.split("?", 1)[0]
        with STATE.lock:
            peer = self.connection.getpeercert() if hasattr(self.connection, "getpeercert") else None
            client = dict(part[0] for part in peer["subject"]).get("commonName") if peer else None
            STATE.requests.append({"server": self.server.name, "method": self.command, "target": self.path,
                                   "client": client,
                                   "version": self.request_version,
                                   "headers": [[k, v] for k, v in self.headers.items()],
                                   "body_b64": base64.b64encode(body).decode()})
            queue = STATE.queued.get(path)
            queued = queue.pop(0) if queue else None
        if queued is not None:
            if "raw_b64" in queued:
                self.wfile.write(base64.b64decode(queued["raw_b64"]))
                self.close_connection = True
                return
            self.send(queued.get("status", 200), queued.get("reason", "OK"),
                      queued.get("headers", []), base64.b64decode(queued.get("body_b64", "")))
            return
        if path.startswith("/negotiate/"):
            auth = self.headers.get("Authorization", "")
            if not auth.startswith("Negotiate ") or accept_token(auth[10:]) is None:
                self.send(401, "Unauthorized", [("WWW-Authenticate", "Negotiate")], "")
                return
        cookies = {}
        for part in (self.headers.get("Cookie") or "").split(";"):
            if "=" in part:
                k, v = part.split("=", 1)
                cookies[k.strip()] = v.strip()
        for version in (2, 3):
            prefix = "/KestrinServer/kvc%d/" % version
            if path in (prefix + "doLogin", prefix + "getCertificate"):
                dialogue = FormDialogue(self, version, body, cookies)
                getattr(dialogue, "v%d" % version)(path.endswith("getCertificate"))
                return
        if self.command == "POST" and path == "/issue":
            try:
                p7, _ = STATE.ca.issue(base64.b64decode(body, validate=True))
            except Exception:  # not Base64, or a request that does not verify
                self.send(400, "Bad Request", [], "")
                return
            self.send(200, "OK", [("Content-Type", "text/plain")], p7)
            return
        if "/kestrin/" in path or "KestrinServer/kvc1/" in path:
            sid, text = Dialogue(path, body, cookies).answer()
            headers = [("Content-Type", "text/xml")]
            if sid:
                headers += [("Set-Cookie", "KSESSION=%s; Path=/; HttpOnly" % sid), ("Set-Cookie", "route=n1")]
            self.send(200, "OK", headers, text)
            return
        self.send(404, "Not Found", [], "")


class AdminHandler(Handler):
    def handle_any(self):
        if self.command == "GET" and self.serve_page():
            return
        body = self.read_body()
        if self.command == "POST" and self.path == "/queue":
            queued_reply = json.loads(body)
            with STATE.lock:
                STATE.queued.setdefault(queued_reply["path"], []).append(queued_reply)
            out = {}
        elif self.command == "POST" and self.path == "/reset":
            STATE.reset()
            out = {}
        elif self.path == "/requests":
            with STATE.lock:
                out = list(STATE.requests)
        elif self.path == "/proxy":
            with STATE.lock:
                out = list(STATE.proxy_targets)
        elif self.path == "/spnego":
            with STATE.lock:
                out = list(STATE.spnego)
        else:
            self.send(404, "Not Found", [], "")
            return
        self.send(200, "OK", [("Content-Type", "application/json")], json.dumps(out))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, name, handler, context=None):
        self.name = name
        self.context = context
        super().__init__(("127.0.0.1", 0), handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread, so a client that
        # stalls it holds up no one else.
        if self.context is not None:
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)


def tls_context(kind, ca):
    chain, key = ca.server_files(kind)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(chain, key)
    return ctx


def client_cert_context(ca):
    ctx = tls_context("good", ca)
    ctx.verify_mode = ssl.CERT_REQUIRED
    ctx.load_verify_locations(ca.root)
    return ctx


def denying_context(ca):
    ctx = tls_context("good", ca)
    ctx.sni_callback = lambda sock, name, c: ssl.ALERT_DESCRIPTION_ACCESS_DENIED
    return ctx


def serve_silent(sock):
    held = []
    while True:
        conn, _ = sock.accept()
        held.append(conn)


def pump(a, b):
    try:
        while True:
            ready, _, _ = select.select([a, b], [], [], 30)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                (b if s is a else a).sendall(data)
    except OSError:
        pass
    finally:
        a.close()
        b.close()


def proxy_client(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            conn.close()
            return
        data += chunk
    line = data.split(b"\r\n", 1)[0].decode("latin-1")
    parts = line.split()
    with STATE.lock:
        STATE.proxy_targets.append(line)
    if len(parts) < 2 or parts[0] != "CONNECT":
        conn.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
        conn.close()
        return
    host, _, port = parts[1].rpartition(":")
    try:
        upstream = socket.create_connection((host, int(port)), timeout=10)
    except (OSError, ValueError):
        conn.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
        conn.close()
        return
    conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    pump(conn, upstream)


def serve_proxy(sock):
    while True:
        conn, _ = sock.accept()
        threading.Thread(target=proxy_client, args=(conn,), daemon=True).start()


def listener(backlog):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(backlog)
    return s


def blackhole():
    # Backlog 0 holds one finished connection; once the queue is full the
    # kernel drops further handshakes, so a new connect waits.
    s = listener(0)
    fillers = []
    for _ in range(3):
        f = socket.socket()
        f.setblocking(False)
        try:
            f.connect(s.getsockname())
        except BlockingIOError:
            pass
        fillers.append(f)
    return s, fillers


def main():
    global STATE
    folder = sys.argv[1]
    STATE = State(TestCA(folder))
    out = []
    servers = [Server("admin", AdminHandler)]
    for kind in SERVER_KINDS:
        servers.append(Server(kind, Handler, tls_context(kind, STATE.ca)))
    servers.append(Server("denied", Handler, denying_context(STATE.ca)))
    servers.append(Server("clientcert", Handler, client_cert_context(STATE.ca)))
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
        out.append("%s %d" % (s.name, s.server_address[1]))
    silent = listener(16)
    threading.Thread(target=serve_silent, args=(silent,), daemon=True).start()
    hole, keep = blackhole()
    proxy = listener(16)
    threading.Thread(target=serve_proxy, args=(proxy,), daemon=True).start()
    out += ["silent %d" % silent.getsockname()[1], "blackhole %d" % hole.getsockname()[1],
            "proxy %d" % proxy.getsockname()[1], "root %s" % STATE.ca.root, "inter %s" % STATE.ca.inter,
            "inter.key %s" % STATE.ca.inter_key,
            "other %s" % os.path.join(folder, "other.pem"), "client %s" % STATE.ca.client_p12, "ready"]
    sys.stdout.write("\n".join(out) + "\n")
    sys.stdout.flush()
    threading.Event().wait()


if __name__ == "__main__":
    main()
