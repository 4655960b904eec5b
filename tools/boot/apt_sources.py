#!/usr/bin/env python3
"""Prints this machine's own apt sources of Debian's current release (and its
updates and security suites) as one-line entries, for building the test
system from the same mirrors apt uses here: nothing in the repository names
a package host."""
import glob
import re
import sys


def codename():
    with open("/etc/os-release") as f:
        for line in f:
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    sys.exit("apt_sources: no VERSION_CODENAME in /etc/os-release")


def one_line(path):
    with open(path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if not words or words[0] != "deb":
                continue
            options = []
            if words[1].startswith("["):
                while not words[1].endswith("]"):
                    options.append(words.pop(1))
                options.append(words.pop(1))
            yield " ".join(options).strip("[] "), words[1], [words[2]], words[3:]


def deb822(path):
    with open(path) as f:
        text = f.read()
    for stanza in re.split(r"\n\s*\n", text):
        fields, key = {}, None
        for line in stanza.splitlines():
            if line.startswith("#"):
                continue
            if line[:1] in (" ", "\t") and key:
                fields[key] += " " + line.strip()
            elif ":" in line:
                key, value = line.split(":", 1)
                key = key.strip().lower()
                fields[key] = value.strip()
        if "deb" not in fields.get("types", "").split() or fields.get("enabled", "yes") == "no":
            continue
        options = f"signed-by={fields['signed-by']}" if "signed-by" in fields else ""
        for uri in fields.get("uris", "").split():
            yield options, uri, fields.get("suites", "").split(), fields.get("components", "").split()


def main():
    release = codename()
    wanted = {release, release + "-updates", release + "-security"}
    entries = []
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        if glob.glob(path):
            entries += one_line(path)
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        entries += deb822(path)
    printed = 0
    for options, uri, suites, components in entries:
        for suite in suites:
            if suite in wanted and "main" in components:
                print(f"deb {'[' + options + '] ' if options else ''}{uri} {suite} main")
                printed += 1
    if not printed:
        sys.exit(f"apt_sources: no apt source of Debian {release} on this machine")


main()
