#!/usr/bin/python3
"""Reads restartsrv --json output on standard input and checks it against the schema given
as the first argument: every line one valid object, the last one the result record.
Prints the result record (one line) when all is well, else what is wrong, exit 1."""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
validator = jsonschema.Draft202012Validator(schema)
lines = sys.stdin.read().splitlines()
problems = []
records = []
for n, line in enumerate(lines, 1):
    try:
        record = json.loads(line)
    except ValueError as e:
        problems.append(f"line {n} is not JSON ({e}): {line!r}")
        continue
    for error in validator.iter_errors(record):
        problems.append(f"line {n}: {error.message} at {list(error.absolute_path)}: {line}")
    records.append(record)
if not records or records[-1].get("type") != "result":
    problems.append("the output does not end with a result record")
if sum(1 for r in records if r.get("type") == "result") > 1:
    problems.append("more than one result record")
if problems:
    print("\n".join(problems))
    sys.exit(1)
print(json.dumps(records[-1]))
