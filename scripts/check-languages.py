#!/usr/bin/env python3
"""Checks the shipped language files.

Every file in the languages folder must be valid UTF-8 without a byte-order mark, use LF line
endings, hold only comments, blank lines and KEY=text entries, begin with its INFO_LANGUAGE
entry, and define each key once with a non-empty text. Every other language must define
exactly the keys of english.ini, with the same number of "%s" placeholders per key, since the
program fills those texts as formats and a missing or extra placeholder garbles the sentence.

Usage: check-languages.py [languages-folder]   (default: the repository's languages/)
Exit status 0 when every file passes, 1 otherwise.
"""

import re
import sys
from pathlib import Path

BASE = "english.ini"
FIRST_KEY = "INFO_LANGUAGE"
KEY_PATTERN = re.compile(r"[A-Z][A-Z0-9]*(_[A-Z0-9]+)*")
# Any "%" that does not start "%s" would be read as another directive by the formatter.
OTHER_DIRECTIVE = re.compile(r"%(?!s)")


class LanguageFile:
    def __init__(self, path):
        self.path = path
        self.entries = {}  # key -> text, in file order
        self.problems = []
        self.readable = True

    def problem(self, line_number, message):
        where = f"{self.path.name}:{line_number}" if line_number else self.path.name
        self.problems.append(f"{where}: {message}")


def read_language_file(path):
    result = LanguageFile(path)
    data = path.read_bytes()
    if data.startswith(b"\xef\xbb\xbf"):
        result.problem(0, "starts with a byte-order mark")
    if b"\r" in data:
        result.problem(0, "contains carriage returns (use LF line endings)")
    if data and not data.endswith(b"\n"):
        result.problem(0, "last line has no line feed")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        result.problem(0, f"not valid UTF-8 ({error})")
        result.readable = False
        return result

    seen_lower = {}
    for number, line in enumerate(text.split("\n"), start=1):
        line = line.rstrip("\r")
        stripped = line.lstrip(" \t")
        if not stripped.strip() or stripped[0] in "#;":
            continue
        if stripped != line:
            result.problem(number, "entry does not start at the beginning of the line")
        if "=" not in stripped:
            result.problem(number, "line is neither a comment nor a KEY=text entry")
            continue
        key, value = stripped.split("=", 1)
        if not KEY_PATTERN.fullmatch(key):
            result.problem(number, f"malformed key {key!r} (upper case, digits, underscores; "
                                   "no blanks around '=')")
            continue
        if not result.entries and key != FIRST_KEY:
            result.problem(number, f"first entry must be {FIRST_KEY}, found {key}")
        if not value.strip():
            result.problem(number, f"{key} has no text")
        if value != value.lstrip():
            result.problem(number, f"{key}: text starts with a blank")
        if OTHER_DIRECTIVE.search(value):
            result.problem(number, f"{key}: '%' other than a '%s' placeholder")
        if key.lower() in seen_lower:
            result.problem(number, f"{key} already defined on line {seen_lower[key.lower()]}")
            continue
        seen_lower[key.lower()] = number
        result.entries[key] = value
    if not result.entries:
        result.problem(0, "defines no key")
    return result


def compare_with_base(base, other):
    problems = []
    name = other.path.name
    for key in base.entries.keys() - other.entries.keys():
        problems.append(f"{name}: missing {key}")
    for key in other.entries.keys() - base.entries.keys():
        problems.append(f"{name}: {key} is not in {BASE}")
    for key in base.entries.keys() & other.entries.keys():
        expected = base.entries[key].count("%s")
        found = other.entries[key].count("%s")
        if expected != found:
            problems.append(f"{name}: {key} has {found} '%s' placeholders, {BASE} has {expected}")
    return sorted(problems)


def main(argv):
    folder = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "languages"
    files = sorted(folder.glob("*.ini"))
    if not (folder / BASE).is_file():
        print(f"{folder / BASE}: not found", file=sys.stderr)
        return 1

    parsed = {path.name: read_language_file(path) for path in files}
    problems = [p for language in parsed.values() for p in language.problems]
    base = parsed[BASE]
    for name, language in parsed.items():
        # An undecodable file has no keys; listing every one as missing would bury the cause.
        if name != BASE and base.readable and language.readable:
            problems += compare_with_base(base, language)

    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"{len(files)} language files, {len(base.entries)} keys each: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
