# A policy server for the preferences' tests: Python's http.server over TLS
# with the given certificate and key, on three ports of 127.0.0.1 whose group
# list is a JSON object, an HTTP error, and a body that is no JSON. Prints
# "ok=P error=P notjson=P" once all listen, then serves until it is ended or
# the test program is gone.
import http.server
import os
import signal
import ssl
import sys
import threading
import time

GROUPS = "/KestrinServer/kvc/getGroups"
REPLIES = {
    "ok": (200, "application/json", b'{"zeta": "/groups/zeta.xml", "alpha": "/groups/alpha.xml"}'),
    "error": (404, "text/plain", b"no groups here"),
    "notjson": (200, "text/html", b"<html>busy</html>"),
}


def handler(kind):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            status, content_type, body = REPLIES[kind] if self.path == GROUPS else (404, "text/plain", b"")
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


def main():
    # The test program blocks its stop signals; its children inherit that.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    ports = []
    for kind in REPLIES:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler(kind))
        server.socket = context.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        ports.append("%s=%d" % (kind, server.server_address[1]))
    print(" ".join(ports), flush=True)
    # Ends with the test program, even when that one did not end it.
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(1)


main()
