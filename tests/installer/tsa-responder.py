"""A time-stamp authority (RFC 3161) for the signing tests: answers each
POSTed request with `openssl ts -reply` under the given configuration.
Usage: tsa-responder.py OPENSSL_TS_CONFIG
Listens on a free loopback port and prints it on its first line."""
import http.server
import os
import subprocess
import sys
import tempfile

CONFIG = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.TemporaryDirectory() as tmp:
            query = os.path.join(tmp, "query.tsq")
            reply = os.path.join(tmp, "reply.tsr")
            with open(query, "wb") as f:
                f.write(body)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", CONFIG,
                                   "-queryfile", query, "-out", reply],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if done.returncode != 0:
                sys.stderr.write(done.stderr.decode(errors="replace"))
                self.send_error(500)
                return
            with open(reply, "rb") as f:
                answer = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
