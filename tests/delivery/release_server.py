"""A static HTTP host for release folders, on 127.0.0.1 only, with ranges and a log of what
it sent, and the faults of a hostile or broken server on request."""

import http.server
import re
import ssl
import threading
import time
from pathlib import Path

# How long a stalled or endless answer goes on at most: every request of a test ends.
FAULT_BOUND_SECONDS = 20
ENDLESS_CHUNK = b"x" * 65536


class ReleaseServer:
    """Serves folder at http://127.0.0.1:<port>/, or over TLS at https://localhost:<port>/
    with certificate (its PEM file and key file). faults maps a URL path to one of:
    404, 500, "html" (an error page under 200), "endless" (a body that never ends), "stall"
    (headers, then silence), "redirect-loop", ("break", n) (n bytes of the body, then the
    connection dropped), ("replace", bytes) (served instead of the file), ("delay", seconds)
    (the file, after that pause)."""

    def __init__(self, folder, certificate=None):
        self.folder = Path(folder)
        self.faults = {}
        self.seen = []  # each path as its request arrives
        self.proxied = []  # each URL asked for as of a proxy
        self.log = []  # (path, range start or None, body bytes sent)
        self.stop = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            timeout = FAULT_BOUND_SECONDS

            def log_message(self, *args):
                pass

            def do_GET(self):
                path = self.path.split("?")[0]
                # Asked as a proxy is (the whole URL): the server stands in for the proxy too.
                if path.startswith("http://"):
                    server.proxied.append(path)
                    path = "/" + path.split("/", 3)[3]
                server.seen.append(path)
                fault = server.faults.get(path)
                if isinstance(fault, tuple) and fault[0] == "delay":
                    server.stop.wait(min(fault[1], FAULT_BOUND_SECONDS))
                sent = self.answer(path, fault)
                server.log.append((path, self.range_start(), sent))

            def range_start(self):
                m = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
                return int(m.group(1)) if m else None

            def head(self, status, length=None, content_type="application/octet-stream", extra=()):
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                if length is not None:
                    self.send_header("Content-Length", str(length))
                for name, value in extra:
                    self.send_header(name, value)
                self.end_headers()

            def whole(self, status, body, content_type):
                self.head(status, len(body), content_type)
                self.wfile.write(body)
                return len(body)

            def answer(self, path, fault):
                if fault in (404, 500):
                    return self.whole(fault, f"error {fault}\n".encode(), "text/plain")
                if fault == "html":
                    return self.whole(200, b"<html><body>Sorry, this page is not available</body></html>\n",
                                      "text/html; charset=utf-8")
                if fault == "redirect-loop":
                    self.head(302, 0, extra=[("Location", path)])
                    return 0
                if fault in ("endless", "stall"):
                    self.close_connection = True
                    self.head(200)
                    sent = 0
                    deadline = time.monotonic() + FAULT_BOUND_SECONDS
                    try:
                        while time.monotonic() < deadline and not server.stop.is_set():
                            if fault == "stall":
                                time.sleep(0.1)
                                continue
                            self.wfile.write(ENDLESS_CHUNK)
                            sent += len(ENDLESS_CHUNK)
                    except OSError:
                        pass
                    return sent
                if isinstance(fault, tuple) and fault[0] == "replace":
                    data = fault[1]
                else:
                    file = self.served_file(path)
                    if file is None:
                        return self.whole(404, b"not found\n", "text/plain")
                    data = file.read_bytes()
                start = self.range_start()
                if start is not None and start < len(data):
                    body = data[start:]
                    self.head(206, len(body), extra=[("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")])
                else:
                    body = data
                    self.head(200, len(body))
                if isinstance(fault, tuple) and fault[0] == "break":
                    self.close_connection = True
                    body = body[:fault[1]]
                try:
                    self.wfile.write(body)
                except OSError:
                    return 0
                return len(body)

            def served_file(self, path):
                relative = path.lstrip("/")
                if ".." in relative.split("/"):
                    return None
                file = server.folder / relative
                return file if file.is_file() else None

        self.httpd = QuietServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        if certificate is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            # The handshake in each request's thread: a client refusing the certificate
            # never holds up the others.
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True,
                                                    do_handshake_on_connect=False)
            # Wine 8 checks a name, never an IP address, against the certificate (error 12038).
            self.url = f"https://localhost:{self.httpd.server_address[1]}/"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.httpd.shutdown()
        self.httpd.server_close()

    def bytes_sent(self, prefix="/files/"):
        return sum(sent for path, _, sent in self.log if path.startswith(prefix))


class QuietServer(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # a client that refused the certificate, or hung up: the test reads the client
