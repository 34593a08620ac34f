#!/usr/bin/env python3
"""Runs the report tool once per kind against stand_in_server.py and checks
what the server received: the page, one request per report, the body
decrypted there with an independent AES and laid out exactly as a styled
JSON writer lays it out (keys in order, three blanks, a final line break),
the multipart upload of a crash dump, and the verdict the tool prints.

    report_tool_check.py WINE REPORT_EXE   (run under stand_in_server.py)
"""
import base64
import json
import os
import subprocess
import sys

wine, exe = sys.argv[1], sys.argv[2]
server = os.environ["DELVARO_NET_SERVER"]
log_dir = os.environ["DELVARO_NET_UNIX_LOG"]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def run(kind, opts, *extra):
    base = "%s/t/%s" % (server, opts)
    r = subprocess.run([wine, exe, kind, base] + list(extra), capture_output=True, timeout=300)
    return r.returncode, r.stdout.decode("latin-1").replace("\r\n", "\n")


def record(tag):
    path = os.path.join(log_dir, tag + ".json")
    check(os.path.exists(path), "%s: no request" % tag)
    check(not os.path.exists(os.path.join(log_dir, tag + ".2.json")), "%s: sent twice" % tag)
    with open(path) as f:
        return json.load(f)


def styled(obj):
    return json.dumps(obj, indent=3, sort_keys=True, separators=(",", " : "), ensure_ascii=False) + "\n"


def report_body(tag):
    rec = record(tag)
    check(rec["plain_b64"] is not None, "%s: body does not decrypt" % tag)
    text = base64.b64decode(rec["plain_b64"]).decode("latin-1")
    obj = json.loads(text)
    check(text == styled(obj), "%s: layout differs:\n%s" % (tag, text))
    return rec, obj


pages = {"first": "action", "uninstall": "action", "start": "action", "update": "action",
         "events": "event", "error": "error", "feedback": "feedback"}
types = {"first": 1, "uninstall": 2, "start": 3, "update": 4}
for kind, page in pages.items():
    tag = "tool-" + kind
    rc, out = run(kind, "tag=" + tag)
    check(rc == 0, "%s: exit code %d" % (kind, rc))
    check("page: http://%s/t/tag=%s/report/%s\n" % (server, tag, page) in out, "%s: page line: %r" % (kind, out))
    check("verdict: accepted" in out, "%s: verdict: %r" % (kind, out))
    rec, obj = report_body(tag)
    check(rec["path"] == "/report/" + page, "%s: posted to %s" % (kind, rec["path"]))
    check(obj["AppId"] == 1 and obj["OsBit"] == 64, "%s: AppId/OsBit %r" % (kind, obj))
    if kind in types:
        check(obj["TypeId"] == types[kind], "%s: TypeId" % kind)
        check(sorted(obj) == ["AppId", "ChannelCode", "MachineCode", "Os", "OsBit", "TypeId", "Version"],
              "%s: members %r" % (kind, sorted(obj)))
        check(len(obj["MachineCode"]) >= 1, "%s: no machine code" % kind)
    elif kind == "events":
        check([e["Code"] for e in obj["Logs"]] == ["Mode_Standard", "OnRecoverDeletedFile", "RecoverFormat",
                                                  "RecoverCount"], "events: %r" % obj["Logs"])
        check(obj["Logs"][2] == {"Code": "RecoverFormat", "Value": "jpg", "Times": 2, "Mode": 2},
              "events: %r" % obj["Logs"][2])
    elif kind == "error":
        check(obj["Content"] == "report tool: sample error", "error: %r" % obj)
    elif kind == "feedback":
        check(obj["Contact"] == "tester@example.org", "feedback: %r" % obj)

# A crash dump goes up as the one file part of a multipart body.
dump = os.path.join(log_dir, "Error.tmp")
with open(dump, "wb") as f:
    f.write(bytes(range(256)) * 12)
rc, out = run("crashdump", "tag=tool-dump;ctype=text%2Fplain", "Z:" + dump.replace("/", "\\"))
check(rc == 0 and "verdict: accepted" in out, "crashdump: %d %r" % (rc, out))
rec = record("tool-dump")
check(rec["path"] == "/report/crashdump", "crashdump path %s" % rec["path"])
check(rec["declared_len"] == rec["body_len"], "crashdump: declared %s, sent %s" % (rec["declared_len"], rec["body_len"]))
mp = rec.get("multipart", {})
check(mp.get("ok") and len(mp["parts"]) == 1 and mp["parts"][0].get("file_match"), "crashdump: %r" % mp)

# A refusing server: the verdict says so, nothing is sent again.
rc, out = run("start", "tag=tool-refused;body=0")
check(rc == 1 and "verdict: refused" in out, "refused: %d %r" % (rc, out))
record("tool-refused")
rc, out = run("bogus", "tag=tool-bogus")
check(rc == 2, "bogus kind: exit code %d" % rc)

print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
