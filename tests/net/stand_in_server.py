#!/usr/bin/env python3
"""A scripted HTTP server on 127.0.0.1 for the web-client tests.

    stand_in_server.py -- COMMAND [ARGS...]

starts the server on a free port, runs COMMAND with
DELVARO_NET_SERVER=127.0.0.1:PORT, DELVARO_NET_LOG=<log folder as a
Windows path> and DELVARO_NET_SITES=<site folder as a Windows path>, stops
the server and exits with COMMAND's exit code.

A request path "/t/<options>/<rest>" scripts the reply (other paths take
them from the query); options are "key=value" pairs separated by ";":
  tag=NAME      log the request as NAME.json (NAME.2.json ... if repeated)
  status=N      status code (200)
  body=TEXT     reply body (percent-decoded; "1" by default)
  bodylen=N     a body of N bytes instead
  ctype=TEXT    Content-Type (text/html)
  echo=1        the body is a JSON record of the request itself
  site=NAME     the body is the file <rest> of the folder NAME in the site
                folder (404 when missing); a file "<rest>.opts" beside it
                holds more options for that file ("mode=early;status=500")
  declare=N     Content-Length N whatever the body is (then close)
  stallafter=N  sends the head and N bytes of the body, then nothing for
                wait=MS (default 60 s) before the rest; the connection
                stays open meanwhile
  trickle=MS    sends the body in pieces of 4 KiB, MS apart
  wait=MS       wait before replying
  mode=...      normal | nolen (no Content-Length, close) | chunked |
                early (declares more than it sends, closes) | repeat
                (repeated X-Multi headers) | huge (Content-Length 4000000000,
                a short body, close) | slow (body byte by byte, wait=MS apart)
                | stall (answers nothing for wait=MS, default 60 s, or
                until the client closes; the connection stays open) |
                drop (closes without answering) | reset (resets the
                connection as soon as the request headers are in)
Every request is logged before it is answered: method, target, headers,
body, the declared length, the body decrypted as a report (Base64 of
AES-128-ECB/PKCS#7 under the report key) by an independent AES, and a
strict parse of a multipart body (each file part compared with the file
its filename names). A TLS hello on the port is logged as tls-N.json.
"""
import base64
import binascii
import json
import os
import shutil
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

REPORT_KEY = b"Rpt#Key#0000#XYZ"
LOG_DIR = None
SITE_DIR = None
_lock = threading.Lock()
_seq = [0]


def aes_ecb_decrypt(data):
    """Independent AES: Python's cryptography package, or the openssl command."""
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        d = Cipher(algorithms.AES(REPORT_KEY), modes.ECB()).decryptor()
        plain = d.update(data) + d.finalize()
    except ImportError:
        r = subprocess.run(["openssl", "enc", "-d", "-aes-128-ecb", "-nopad", "-K",
                            binascii.hexlify(REPORT_KEY).decode()], input=data,
                           capture_output=True)
        if r.returncode != 0:
            return None
        plain = r.stdout
    if not plain:
        return None
    n = plain[-1]
    if n < 1 or n > 16 or plain[-n:] != bytes([n]) * n:
        return None
    return plain[:-n]


def decrypt_report(body):
    try:
        raw = base64.b64decode(body, validate=True)
    except (binascii.Error, ValueError):
        return None
    if not raw or len(raw) % 16:
        return None
    return aes_ecb_decrypt(raw)


def unix_path(win_path):
    """A drive path of the Wine prefix the tests run in, as a Linux path."""
    if len(win_path) > 2 and win_path[1] == ":" and win_path[0].isalpha():
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        drive = os.path.join(prefix, "dosdevices", win_path[0].lower() + ":")
        return drive + win_path[2:].replace("\\", "/")
    return None


def parse_multipart(body, content_type):
    """Strict parse of the body layout the uploader must produce."""
    out = {"ok": False, "parts": []}
    if "boundary=" not in content_type:
        out["error"] = "no boundary"
        return out
    b = content_type.split("boundary=", 1)[1].encode()
    out["boundary"] = b.decode()
    if body == b"\r\n--" + b + b"--\r\n":
        out["ok"] = True
        return out
    pos = 0
    delim = b"--" + b + b"\r\n"
    while True:
        if not body.startswith(delim, pos):
            out["error"] = "missing delimiter at %d" % pos
            return out
        pos += len(delim)
        end_headers = body.find(b"\r\n\r\n", pos)
        if end_headers < 0:
            out["error"] = "no header end"
            return out
        headers = body[pos:end_headers].decode("latin-1").split("\r\n")
        pos = end_headers + 4
        nxt = body.find(b"\r\n--" + b, pos)
        if nxt < 0:
            out["error"] = "no closing delimiter"
            return out
        data = body[pos:nxt]
        part = {"headers": headers, "data_len": len(data)}
        disp = headers[0]
        for key in ("name", "filename"):
            marker = '; %s="' % key
            if marker in disp:
                v = disp.split(marker, 1)[1]
                part[key] = v[:v.index('"')]
        if len(headers) > 1 and headers[1].startswith("Content-Type: "):
            part["ctype"] = headers[1][len("Content-Type: "):]
        if "filename" in part:
            p = unix_path(part["filename"])
            try:
                with open(p, "rb") as f:
                    part["file_match"] = f.read() == data
            except (OSError, TypeError):
                part["file_match"] = len(data) == 0
        else:
            part["value"] = data.decode("latin-1")
        out["parts"].append(part)
        pos = nxt + 2
        if body[pos:] == b"--" + b + b"--\r\n":
            out["ok"] = True
            return out


def write_log(name, record):
    with _lock:
        _seq[0] += 1
        base = name or "req-%d" % _seq[0]
        n, path = 1, os.path.join(LOG_DIR, base + ".json")
        while os.path.exists(path):
            n += 1
            path = os.path.join(LOG_DIR, "%s.%d.json" % (base, n))
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(record, f)
        os.replace(tmp, path)


class Handler(socketserver.BaseRequestHandler):
    def recv_until(self, buf, marker, limit=1 << 20):
        while marker not in buf:
            chunk = self.request.recv(65536)
            if not chunk:
                return buf, False
            buf += chunk
            if len(buf) > limit:
                return buf, False
        return buf, True

    def recv_exact(self, buf, n):
        while len(buf) < n:
            chunk = self.request.recv(min(1 << 20, n - len(buf)))
            if not chunk:
                break
            buf += chunk
        return buf

    def handle(self):
        self.request.settimeout(120)
        buf = b""
        try:
            while True:
                if not buf:
                    first = self.request.recv(65536)
                    if not first:
                        return
                    buf = first
                if buf[:1] == b"\x16":
                    write_log("tls", {"tls": True})
                    return
                buf, ok = self.recv_until(buf, b"\r\n\r\n")
                if not ok:
                    return
                head, buf = buf.split(b"\r\n\r\n", 1)
                lines = head.decode("latin-1").split("\r\n")
                method, target, version = (lines[0].split(" ") + ["", "", ""])[:3]
                headers = [l.split(":", 1) for l in lines[1:] if ":" in l]
                headers = [[k.strip(), v.strip()] for k, v in headers]
                hmap = {k.lower(): v for k, v in headers}
                if "mode=reset" in target:
                    self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
                    write_log(None, {"reset": target})
                    return
                declared = None
                if "content-length" in hmap:
                    declared = int(hmap["content-length"])
                    buf = self.recv_exact(buf, declared)
                    body, buf = buf[:declared], buf[declared:]
                else:
                    body = b""
                if not self.answer(method, target, headers, hmap, body, declared):
                    return
        except (ConnectionError, socket.timeout, OSError):
            return

    def answer(self, method, target, headers, hmap, body, declared):
        path, _, query = target.partition("?")
        opts, rest = {}, path
        if path.startswith("/t/"):
            seg, _, rest = path[3:].partition("/")
            rest = "/" + rest
            for kv in seg.split(";"):
                if "=" in kv:
                    k, v = kv.split("=", 1)
                    opts[k] = urllib.parse.unquote(v, encoding="latin-1")
        else:
            # Requests for "/" script their reply in the query instead.
            opts = {k: v[0] for k, v in urllib.parse.parse_qs(query, encoding="latin-1").items()}
        site_body = None
        if "site" in opts:
            site_body = self.site_file(opts, rest)
        record = {"method": method, "target": target, "path": rest, "query": query,
                  "headers": headers, "body_b64": base64.b64encode(body).decode(),
                  "body_len": len(body), "declared_len": declared}
        plain = decrypt_report(body) if body else None
        record["plain_b64"] = base64.b64encode(plain).decode() if plain is not None else None
        ctype = hmap.get("content-type", "")
        if ctype.startswith("multipart/form-data"):
            record["multipart"] = parse_multipart(body, ctype)
        write_log(opts.get("tag"), record)

        mode = opts.get("mode", "normal")
        wait = int(opts.get("wait", "0")) / 1000.0
        if mode == "stall":
            self.hold(wait or 60)
            return False
        if mode == "drop":
            return False
        if wait and mode != "slow" and "stallafter" not in opts:
            time.sleep(wait)
        status = int(opts.get("status", "200"))
        if site_body is not None:
            payload = site_body
        elif opts.get("echo"):
            payload = json.dumps(record).encode()
        elif "bodylen" in opts:
            payload = bytes((48 + i % 10) for i in range(int(opts["bodylen"])))
        else:
            payload = opts.get("body", "1").encode("latin-1")
        reason = {200: "OK", 404: "Not Found", 500: "Internal Server Error"}.get(status, "Status")
        head = ["HTTP/1.1 %d %s" % (status, reason),
                "Content-Type: " + opts.get("ctype", "text/html")]
        keep = hmap.get("connection", "").lower() != "close"
        if not keep:
            head.append("Connection: close")
        if mode == "repeat":
            head += ["X-Multi: one", "X-Multi: two", "X-Multi: three"]
        if mode == "chunked":
            head.append("Transfer-Encoding: chunked")
            half = len(payload) // 2
            data = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in (payload[:half], payload[half:]) if p)
            data += b"0\r\n\r\n"
        elif mode == "nolen":
            head.append("Connection: close")
            keep, data = False, payload
        elif mode == "early":
            head += ["Content-Length: %d" % (len(payload) + 100), "Connection: close"]
            keep, data = False, payload
        elif mode == "huge":
            head += ["Content-Length: 4000000000", "Connection: close"]
            keep, data = False, payload
        elif "declare" in opts:
            head += ["Content-Length: " + opts["declare"], "Connection: close"]
            keep, data = False, payload
        else:
            head.append("Content-Length: %d" % len(payload))
            data = payload
        self.request.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
        if "trickle" in opts:
            for i in range(0, len(data), 4096):
                self.request.sendall(data[i:i + 4096])
                time.sleep(int(opts["trickle"]) / 1000.0)
        elif "stallafter" in opts:
            n = int(opts["stallafter"])
            self.request.sendall(data[:n])
            if not self.hold(wait or 60):
                return False
            self.request.sendall(data[n:])
        elif mode == "slow":
            for i in range(len(data)):
                self.request.sendall(data[i:i + 1])
                time.sleep(wait or 0.05)
        else:
            self.request.sendall(data)
        if not keep:
            self.request.shutdown(socket.SHUT_RDWR)
        return keep


    def hold(self, seconds):
        """Keeps the connection open and silent for seconds; False when the
        client closed it first."""
        end = time.time() + seconds
        try:
            while time.time() < end:
                self.request.settimeout(max(0.05, min(0.5, end - time.time())))
                try:
                    if not self.request.recv(65536):
                        return False
                except socket.timeout:
                    continue
        except OSError:
            return False
        finally:
            self.request.settimeout(120)
        return True

    @staticmethod
    def site_file(opts, rest):
        """The bytes of a site file (b"" and status 404 when missing); its
        ".opts" file adds options."""
        parts = [p for p in rest.split("/") if p]
        name = opts["site"]
        if (not parts or any(p in (".", "..") or "\\" in p for p in parts)
                or name in (".", "..") or "/" in name):
            opts["status"] = "404"
            return b""
        path = os.path.join(SITE_DIR, name, *parts)
        try:
            with open(path + ".opts", encoding="latin-1") as f:
                for kv in f.read().strip().split(";"):
                    if "=" in kv:
                        k, v = kv.split("=", 1)
                        opts[k.strip()] = v.strip()
        except OSError:
            pass
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError:
            opts.setdefault("status", "404")
            return b""


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global LOG_DIR, SITE_DIR
    if "--" not in sys.argv:
        sys.exit("usage: stand_in_server.py -- COMMAND [ARGS...]")
    cmd = sys.argv[sys.argv.index("--") + 1:]
    LOG_DIR = tempfile.mkdtemp(prefix="dlv-net-")
    SITE_DIR = tempfile.mkdtemp(prefix="dlv-site-")
    server = Server(("127.0.0.1", 0), Handler)
    port = server.server_address[1]
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    env = dict(os.environ)
    env["DELVARO_NET_SERVER"] = "127.0.0.1:%d" % port
    env["DELVARO_NET_LOG"] = "Z:" + LOG_DIR.replace("/", "\\")
    env["DELVARO_NET_UNIX_LOG"] = LOG_DIR
    env["DELVARO_NET_SITES"] = "Z:" + SITE_DIR.replace("/", "\\")
    try:
        rc = subprocess.call(cmd, env=env)
    finally:
        server.shutdown()
        server.server_close()
        shutil.rmtree(SITE_DIR, ignore_errors=True)
    if rc == 0:
        for name in os.listdir(LOG_DIR):
            os.remove(os.path.join(LOG_DIR, name))
        os.rmdir(LOG_DIR)
    sys.exit(rc)


if __name__ == "__main__":
    main()
