#!/usr/bin/env python3
"""The deployment guide's event table, made from the message file.

Each message of service/event_messages.mc gives one row: its id, its level (from its
Severity) and its summary, the comment line "; // Guide: ..." right above its MessageId
(or, without one, the message's first sentence). The rows stand in docs/deployment.md
between the two marker lines below, in the order of the ids.

  event_table.py          prints the table
  event_table.py --check  fails when the guide's table is not the one made here
  event_table.py --write  writes it into the guide
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
MESSAGES = ROOT / "service" / "event_messages.mc"
GUIDE = ROOT / "docs" / "deployment.md"
BEGIN = "<!-- event table: made by tools/event_table.py from service/event_messages.mc; edit the message file -->"
END = "<!-- end of the event table -->"
LEVELS = {"Informational": "information", "Success": "information", "Warning": "warning", "Error": "error"}


def rows():
    found, summary, message = {}, None, None
    lines = MESSAGES.read_text(encoding="utf-8").splitlines()
    for number, line in enumerate(lines):
        if line.startswith("; // Guide:"):
            summary = line.split(":", 1)[1].strip()
        elif line.startswith("MessageId="):
            message = {"id": int(line.split("=", 1)[1]), "summary": summary, "line": number + 1}
            summary = None
        elif message and line.startswith("Severity="):
            message["level"] = LEVELS[line.split("=", 1)[1].strip()]
        elif message and line.startswith("Language="):
            text = []
            for body in lines[number + 1:]:
                if body == ".":
                    break
                text.append(body)
            first = re.split(r"(?<=[.:])\s", " ".join(text), maxsplit=1)[0]
            if message["id"] in found:
                sys.exit(f"{MESSAGES}:{message['line']}: event {message['id']} is defined twice")
            found[message["id"]] = (message["level"], message["summary"] or first)
            message = None
    return [f"| {i} | {level} | {text} |" for i, (level, text) in sorted(found.items())]


def table():
    return "\n".join(["| ID | level | event |", "|---|---|---|"] + rows())


def main():
    made = table()
    if len(sys.argv) == 1:
        print(made)
        return 0
    guide = GUIDE.read_text(encoding="utf-8")
    if guide.count(BEGIN) != 1 or guide.count(END) != 1:
        sys.exit(f"{GUIDE}: the event table's two marker lines must each stand once")
    head, rest = guide.split(BEGIN + "\n", 1)
    current, tail = rest.split(END, 1)
    if sys.argv[1] == "--write":
        GUIDE.write_text(head + BEGIN + "\n" + made + "\n" + END + tail, encoding="utf-8")
        return 0
    if current.rstrip("\n") != made:
        want, have = made.splitlines(), current.rstrip("\n").splitlines()
        for line in [f"- {line}" for line in have if line not in want] + [f"+ {line}" for line in want if line not in have]:
            print(line, file=sys.stderr)
        sys.exit(f"{GUIDE}: the event table differs from {MESSAGES.name} (- in the guide, + made from the messages); "
                 "change the message file and run tools/event_table.py --write")
    return 0


if __name__ == "__main__":
    sys.exit(main())
