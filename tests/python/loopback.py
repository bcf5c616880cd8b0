"""A real HTTP server on 127.0.0.1 for the download tests: fixed answers by path, served from a thread."""

import http.server
import json
import threading


class Loopback:
    def __init__(self):
        self.routes = {}  # path -> (status, content type, body bytes)
        routes = self.routes

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                status, kind, body = routes.get(self.path, (404, "text/plain", b"not found"))
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def answer_json(self, path, value):
        self.routes[path] = (200, "application/json", json.dumps(value).encode())

    def answer_bytes(self, path, body, status=200):
        self.routes[path] = (status, "application/zip", body)

    def close(self):
        self.server.shutdown()
        self.server.server_close()
