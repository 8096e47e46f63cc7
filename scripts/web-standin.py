#!/usr/bin/env python3
"""The stand-in for the platform's web application in the demo and the browser
test: serves the player page of web/ on 127.0.0.1 (strmd relays every request
outside its own stream paths here, so page and streams share strmd's origin),
gives the page's visitor the demo web session as the PHPSESSID cookie, and
answers strmd's own end-of-session notices.

usage: web-standin.py PORT WEB_DIR PHPSESSID
"""
import http.server
import os
import sys

# Only these files are served: the page, its script and style, and the
# player library from the npm install beside them.
FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/player.js": ("player.js", "text/javascript; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
    "/mpegts.js": ("node_modules/mpegts.js/dist/mpegts.js", "text/javascript; charset=utf-8"),
}


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    port, web_dir, session = int(sys.argv[1]), sys.argv[2], sys.argv[3]

    class Handler(http.server.BaseHTTPRequestHandler):
        server_version = "strmd-web-standin"

        def send_text(self, code, text):
            body = text.encode()
            self.send_response(code)
            self.send_header("Content-Type", "text/plain; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            if path == "/recorder/internalnew":
                self.send_text(200, "ok")
                return
            entry = FILES.get(path)
            if entry is None:
                self.send_text(404, "404 Not Found")
                return
            try:
                with open(os.path.join(web_dir, entry[0]), "rb") as f:
                    body = f.read()
            except OSError:
                self.send_text(404, "404 Not Found (run scripts/install-web.sh)")
                return
            self.send_response(200)
            self.send_header("Content-Type", entry[1])
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            if entry[0] == "index.html":
                # What the platform's login would have set.
                self.send_header("Set-Cookie", "PHPSESSID=%s; Path=/; HttpOnly; SameSite=Lax" % session)
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, fmt, *args):
            sys.stderr.write("web: %s\n" % (fmt % args))

    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    print("web: serving %s on 127.0.0.1:%d" % (web_dir, port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
