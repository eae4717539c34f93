#!/usr/bin/env python3
"""Checks an OpenAPI 3.0 document: valid against the OpenAPI 3.0 JSON
schema, and every local $ref pointing at something.

Usage: openapi_check.py SCHEMA DOCUMENT
Exit status 0 when the document is valid, 1 with one line per problem.
"""

import json
import sys

import jsonschema


def dangling_refs(document):
    """The local $ref values that name nothing in the document."""

    def resolve(pointer):
        node = document
        for part in pointer[2:].split("/"):
            part = part.replace("~1", "/").replace("~0", "~")
            if isinstance(node, dict) and part in node:
                node = node[part]
            else:
                return False
        return True

    found = []

    def walk(node):
        if isinstance(node, dict):
            ref = node.get("$ref")
            if isinstance(ref, str) and ref.startswith("#/") and not resolve(ref):
                found.append(ref)
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)

    walk(document)
    return found


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    with open(argv[2], encoding="utf-8") as f:
        document = json.load(f)
    validator = jsonschema.validators.validator_for(schema)(schema)
    problems = [
        "/".join(str(p) for p in error.absolute_path) + ": " + error.message
        for error in validator.iter_errors(document)
    ]
    problems += ["dangling $ref: " + ref for ref in dangling_refs(document)]
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
