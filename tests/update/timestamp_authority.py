#!/usr/bin/env python3
"""A time-stamping authority on loopback for the package-signing test:
RFC 3161 requests posted over HTTP are answered by `openssl ts -reply`.
   timestamp_authority.py DIR
DIR holds tsa.cnf and the authority's certificate and key (made by the
test); the chosen port is written to DIR/port once the server listens."""
import http.server
import os
import subprocess
import sys

work = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length <= 0 or length > 65536:
            self.send_error(400)
            return
        query = os.path.join(work, "query.tsq")
        reply = os.path.join(work, "reply.tsr")
        with open(query, "wb") as f:
            f.write(self.rfile.read(length))
        done = subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(work, "tsa.cnf"),
                               "-queryfile", query, "-out", reply], cwd=work, capture_output=True)
        if done.returncode != 0:
            self.send_error(500)
            return
        with open(reply, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(os.path.join(work, "port.tmp"), "w") as f:
    f.write(str(server.server_address[1]))
os.rename(os.path.join(work, "port.tmp"), os.path.join(work, "port"))
server.serve_forever()
