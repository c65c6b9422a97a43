#!/usr/bin/env python3
"""The tool's --json output: every run's document holds to the published
schema and says what the text lines say (results, dialogs, --changes).

json_test.py QVINST98 SCHEMA MACHINES_DIR TMPDIR HIVE_PLANT SYSTEM.xz DATA_DIR
"""
import json
import lzma
import shutil
import subprocess
import sys
from pathlib import Path

try:
    import jsonschema
except ImportError:
    sys.exit("FAIL: python3-jsonschema is not installed; the schema cannot be checked")

tool, schema_file, machines, tmp, plant, packed_hive, data = sys.argv[1:8]
tmp = Path(tmp)
shutil.rmtree(tmp, ignore_errors=True)
tmp.mkdir(parents=True)
schema = json.loads(Path(schema_file).read_text())
jsonschema.Draft7Validator.check_schema(schema)
validator = jsonschema.Draft7Validator(schema)
failures = []
checks = 0


def check(condition, what):
    global checks
    checks += 1
    if not condition:
        failures.append(what)


def run(*args):
    done = subprocess.run([tool, *args], capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")


def document(what, *args, status=0):
    """Runs the tool with --json; returns the JSON document when it is valid."""
    code, out, err = run("--json", *args)
    check(code == status, f"{what}: exit status {code}, expected {status}; {err[:300]}")
    try:
        doc = json.loads(out)
    except json.JSONDecodeError as e:
        check(False, f"{what}: standard output is not one JSON document ({e}): {out[:300]}")
        return None
    errors = sorted(validator.iter_errors(doc), key=str)
    check(not errors, f"{what}: not valid against the schema: {errors[:1]}")
    return doc


def text_lines(doc):
    """The text lines the same run prints without --json, with --changes."""
    lines = []
    for call in doc["calls"]:
        for dialog in call["dialogs"]:
            lines.append(("dialog", dialog["caption"], dialog["result"]))
        lines.append(f"{call['export']} -> {call['result']}")
    for change in doc["changes"]:
        value = "|" + change["valueName"] if "valueName" in change else ""
        lines.append(f"{change['kind']} {change['path']}{value}")
    return lines


def parsed_text(out):
    lines = []
    for line in out.splitlines():
        if line.startswith("dialog: "):
            caption = line.split('"')[1]
            lines.append(("dialog", caption, int(line.split(" -> ")[1].split()[0])))
        else:
            lines.append(line)
    return lines


def same_as_text(what, doc, *args):
    code, out, err = run("--changes", *args)
    check(code == 0, f"{what}: the text run failed: {err[:300]}")
    expected = parsed_text(out)
    check(text_lines(doc) == expected,
          f"{what}: the JSON document and the text lines differ:\n{text_lines(doc)}\n{expected}")
    return expected


# Every bundled machine, by name and as a file, through a whole product life:
# uninstall question, cleanup, root device created, counted, removed, the
# uninstaller's last callback (restart advice, driver database files).
life = ["UninstInitialize", "RemoveAuxDevices", "CreateRootDevice=C:\\Program Files\\QV",
        "RootDeviceCount", "RemoveRootDevice", "UninstUnInitialize"]
files = ["--file", "C:\\WINDOWS\\inf\\drvdata.bin", "--file", "C:\\WINDOWS\\inf\\drvidx.bin"]
kinds_seen = set()
for machine, os_name, family in [("win98", "win98", "9x"), ("win98-setup", "winme", "9x"),
                                 ("winxp", "winxp", "nt")]:
    for source in (["--machine", machine], ["--registry", f"{machines}/{machine}.reg"]):
        args = [*source, "--os", os_name, *files, *life]
        what = " ".join(source)
        doc = document(what, *args)
        if doc is None:
            continue
        same_as_text(what, doc, *args)
        kinds_seen.update(change["kind"] for change in doc["changes"])
        check(doc["windows"]["os"] == os_name and doc["windows"]["family"] == family,
              f"{what}: windows is {doc['windows']}")
        image = doc["image"]
        if source[0] == "--machine":
            check(image == {"kind": "bundled", "name": machine, "format": "REGEDIT4"},
                  f"{what}: image is {image}")
        else:
            header = Path(source[1]).read_bytes().lstrip(b"\xef\xbb\xbf").split(b"\r\n")[0]
            check(image["kind"] == "reg" and image["format"].startswith(header.decode()),
                  f"{what}: image is {image}, the file starts {header}")
        check(len(doc["calls"]) == len(life), f"{what}: {len(doc['calls'])} calls")
        check(doc["calls"][2]["text"] == "C:\\Program Files\\QV" and doc["calls"][0]["text"] is None,
              f"{what}: texts {[c['text'] for c in doc['calls']]}")
        check(doc["changes"], f"{what}: no change at all, so the comparison proves little")
check({"deleted key", "deleted value", "created key", "created node", "removed node",
       "deleted file"} <= kinds_seen, f"kinds of change never seen: {kinds_seen}")

# The XP road in a version 5 image, the answers of another dialog, 8-bit text.
doc = document("Windows Me, Esc, 8-bit text", "--os", "winme", "--answer", "esc",
               "UninstInitialize", "SetTargetDir=C:\\Programme\\\xe9")
if doc:
    check(doc["calls"][0]["result"] == -1 and doc["calls"][0]["dialogs"][0]["answer"] == "no",
          f"Esc: {doc['calls'][0]}")
saved = tmp / "xp5.reg"
run("--machine", "winxp", "--os", "winxp", "--save", str(saved))
doc = document("a version 5 image", "--registry", str(saved), "--os", "winxp", "RemoveUsbDevices")
if doc:
    check(doc["image"]["format"] == "Windows Registry Editor Version 5.00 (UTF-16LE)",
          f"version 5 image: {doc['image']}")
    same_as_text("a version 5 image", doc, "--registry", str(saved), "--os", "winxp",
                 "RemoveUsbDevices")

# Hive images: the real SYSTEM hive with the product's records planted, and a
# copy not written completely, whose warning goes into the JSON document.
real = tmp / "SYSTEM"
real.write_bytes(lzma.open(packed_hive).read())
planted = tmp / "planted"
unclean = tmp / "unclean"
subprocess.run([plant, "plant", str(real), str(planted), f"{data}/planted-winxp.reg"], check=True)
subprocess.run([plant, "unclean", str(real), str(unclean)], check=True)
doc = document("planted hive", "--hive", f"SYSTEM={planted}", "RemoveAuxDevices")
if doc:
    same_as_text("planted hive", doc, "--hive", f"SYSTEM={planted}", "RemoveAuxDevices")
    check(doc["image"]["kind"] == "hive" and doc["image"]["hives"][0]["format"].startswith("regf 1."),
          f"planted hive: image {doc['image']}")
    check(any(c["kind"] == "removed device" for c in doc["changes"]), "planted hive: no device removed")
    check(doc["warnings"] == [], f"planted hive: warnings {doc['warnings']}")
doc = document("unclean hive", "--hive", f"SYSTEM={unclean}", "RemoveAuxDevices")
if doc:
    check(len(doc["warnings"]) == 1 and "sequence numbers" in doc["warnings"][0],
          f"unclean hive: warnings {doc['warnings']}")

# Errors: exit status 2, the error as the one document, the line on stderr.
(tmp / "bad.reg").write_bytes(b'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"C"=dwrd:1\r\n')
for what, args, needle in [("unknown export", ["NoSuchExport"], "NoSuchExport"),
                           ("unknown option", ["--no-such-option", "IsAdmin"], "--no-such-option"),
                           ("malformed image", ["--registry", str(tmp / "bad.reg"), "IsAdmin"], "bad.reg:4"),
                           ("bad --fail", ["--fail", "NoSuchCall=5", "IsAdmin"], "NoSuchCall"),
                           ("unclean hive committed", ["--hive", f"SYSTEM={unclean}", "--commit",
                                                       "RemoveAuxDevices"], "refused")]:
    doc = document(what, *args, status=2)
    if doc:
        check("error" in doc and needle in doc["error"]["message"], f"{what}: {doc}")
    code, out, err = run("--json", *args)
    check(len(err.splitlines()) == 1 and needle in err, f"{what}: stderr {err!r}")

# The schema is strict enough to catch a document that drops a field.
broken = document("for the schema check", "RemoveUsbDevices")
if broken:
    value = next(c for c in broken["changes"] if c["kind"] == "deleted value")
    del value["valueName"]
    check(not validator.is_valid(broken), "the schema accepts a deleted value without its name")

print(f"{checks - len(failures)} passed, {len(failures)} failed")
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
