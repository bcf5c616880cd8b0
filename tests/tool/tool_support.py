"""Fixtures shared by the tool's end-to-end tests: running the tool, reading a store without our code, and a
cloud service on 127.0.0.1 that hands out a package."""

import fcntl
import http.server
import json
import os
import pickle
import pty
import struct
import subprocess
import termios
import threading

import numpy as np

TOOL = None  # set by each test module's main from its first argument


def run(*args, check=True, env=None, timeout=600):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=timeout, env=env)
    if check and result.returncode != 0:
        raise AssertionError(f"{args} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def run_on_a_terminal(arguments, columns, on_output=None, timeout=300):
    """Runs the tool with its standard error on a terminal `columns` wide, so that it draws its progress, and
    returns its exit status and everything it showed. `on_output` is called with all that it has shown so far
    each time more arrives."""
    master, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    command = subprocess.Popen([TOOL, *arguments], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=terminal)
    os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal's other end is closed: the tool has ended
            break
        if not chunk:
            break
        shown += chunk
        if on_output:
            on_output(command, shown.decode(errors="replace"))
    os.close(master)
    return command.wait(timeout=timeout), shown.decode(errors="replace")


def load_json(store, *extra):
    return json.loads(run("load", "--store", store, "--json", *extra).stdout)


class PackageServer:
    """Serves a package zip and the cloud answer that points at it, on 127.0.0.1. `download_url` replaces the
    address handed out; every request's path and Authorization header are kept in `requests`."""

    def __init__(self, archive, download_url=None):
        with open(archive, "rb") as f:
            payload = f.read()
        owner = self
        self.requests = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                owner.requests.append((self.path, self.headers.get("Authorization")))
                if self.path == "/api/v1/backtest-data/benchmark-data":
                    body = json.dumps({"download_url": download_url or f"{owner.url}/files/package.zip",
                                       "content_type": "application/zip"}).encode()
                    kind = "application/json"
                elif self.path == "/files/package.zip":
                    body, kind = payload, "application/zip"
                else:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def read_store_with_numpy(store):
    """Every dataset of a store, read without our code: pickle for the metadata, numpy for the cells."""
    with open(os.path.join(store, "metadata.pkl"), "rb") as f:
        metadata = pickle.load(f)
    out = {}
    for key, entry in metadata["datasets"].items():
        cells = np.load(os.path.join(store, entry["file"]), mmap_mode="r")
        out[key] = (list(entry["index"]), list(entry["columns"]), np.array(cells))
    return metadata, out


def store_bytes(store):
    """Every file of a store directory with its bytes, to prove a store unchanged."""
    out = {}
    for root, _, files in os.walk(store):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, store)] = f.read()
    return out


def free_port():
    import socket
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port
