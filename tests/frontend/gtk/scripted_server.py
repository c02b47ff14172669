"""An update server that answers with whatever a test or a benchmark scripts:
replies the reference server never sends (a hostile table, a new update on
every request). It listens on 127.0.0.1 on a port of its own choosing, reads
the scrambled request fields with quon-wire, and hands them to the script,
which returns the reply body.

    server = ScriptedServer(quon_wire, answer)   # answer(function, fields, n)
    ... server.port ...
    server.close()

`fields` maps names to values (bytes); `n` counts the requests of that
function so far, from 0. The script returns the reply's body, or (status,
[(header, bytes value)], body) for another status or headers of its own.
Only the standard library is used.
"""
import http.server
import struct
import subprocess
import threading
import urllib.parse

FUNCTIONS = (b"GetUpgradeList", b"GetUpgradeFile")


def fields_text(fields):
    """The plain fields text of (name, value) pairs, in their order."""
    return b"&".join(urllib.parse.quote_from_bytes(n, safe=b"").encode() + b"=" +
                     urllib.parse.quote_from_bytes(v, safe=b"").encode() for n, v in fields)


def list_reply(code, rows, cols=4, dbdata=b""):
    """A GetUpgradeList reply: `dbdata` as it stands (bytes), not escaped
    cell by cell, so that a test can send any table."""
    return b"GetUpgradeList" + fields_text([(b"code", code), (b"status", b"ACCEPTED"), (b"rows", b"%d" % rows),
                                             (b"cols", b"%d" % cols)]) + b"&dbdata=" + dbdata


def file_reply(code, version, data):
    """A GetUpgradeFile reply carrying the archive bytes `data`."""
    header = b"GetUpgradeFile" + fields_text([(b"code", code), (b"status", b"ACCEPTED"), (b"updateversion", version),
                                               (b"filepos", b"0"), (b"downloadlength", b"%d" % len(data))])
    return b"BytesCount" + struct.pack("<I", len(header)) + header + data


class ScriptedServer:
    def __init__(self, quon_wire, answer):
        self.quon_wire = quon_wire
        self.answer = answer
        self.requests = []  # (function, fields) in the order they came
        self.lock = threading.Lock()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                function = next((f for f in FUNCTIONS if body.startswith(f)), None)
                if function is None:
                    self.send_error(400)
                    return
                fields = server.decode(body[len(function):])
                with server.lock:
                    n = sum(1 for f, _ in server.requests if f == function)
                    server.requests.append((function, fields))
                reply = server.answer(function, fields, n)
                status, headers, body = reply if isinstance(reply, tuple) else (200, [], reply)
                # Written as bytes: a script's header may hold any byte.
                head = b"HTTP/1.0 %d Scripted\r\nContent-Length: %d\r\n" % (status, len(body))
                head += b"".join(name.encode() + b": " + value + b"\r\n" for name, value in headers)
                try:
                    self.wfile.write(head + b"\r\n" + body)
                except OSError:
                    pass

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def decode(self, scrambled):
        out = subprocess.run([self.quon_wire, "decode", "--unscramble"], input=scrambled, capture_output=True,
                             check=True).stdout
        fields = {}
        for line in out.splitlines():
            name, _, value = line.partition(b"=")
            fields[urllib.parse.unquote_to_bytes(name)] = urllib.parse.unquote_to_bytes(value)
        return fields

    def count(self, function):
        with self.lock:
            return sum(1 for f, _ in self.requests if f == function)

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
