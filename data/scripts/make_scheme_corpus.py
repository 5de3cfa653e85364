#!/usr/bin/env python3
"""Rebuilds the corpus of ordinary file names behind Data/hwscheme.mdict.

Sources, both real and both from Debian:
  * the base names of the files that the installed Debian packages ship
    (/var/lib/dpkg/info/*.list), folders left out;
  * the words of a Debian word list (package wamerican:
    /usr/share/dict/american-english), possessive forms left out.

Every name is normalised as the harmony rule normalises a file name before it
scores it: the last extension removed, blanks trimmed, lower-cased. Names of
fewer than two characters, names that are long hexadecimal hashes (debug
build-ids and the like, which nobody chose) and names the TSV format cannot
carry (a leading "#", tabs, control characters) are left out, and every name
is kept once.

A fifth of the packages (by CRC-32 of the package name) and a tenth of the
words (by CRC-32 of the word) are held out: their names go to
evaluation/heldout-names.txt instead of the corpus, minus any name the corpus
already holds, so that the model can be measured on names it has not seen.

Usage (from the repository root):
    python3 data/scripts/make_scheme_corpus.py [--dpkg-info DIR] [--words FILE] [--out DIR]
"""
import argparse
import os
import re
import subprocess
import sys
import zlib

HEX_HASH = re.compile(r"^[0-9a-f]{16,}$")


def stem(name):
    dot = name.rfind(".")
    if dot >= 0:
        name = name[:dot]
    return name.strip(" \t\r\n\x0b\x0c").lower()


def usable(name):
    if len(name) < 2 or name.startswith("#") or HEX_HASH.match(name):
        return False
    return not any(ord(c) < 32 or ord(c) == 127 for c in name)


def held_out(key, share):
    return zlib.crc32(key.encode("utf-8")) % share == 0


def package_names(info_dir):
    """(package, set of stems) for every installed package's file list."""
    for entry in sorted(os.listdir(info_dir)):
        if not entry.endswith(".list"):
            continue
        package = entry[:-len(".list")]
        names = set()
        with open(os.path.join(info_dir, entry), encoding="utf-8", errors="replace") as f:
            for line in f:
                path = line.rstrip("\n")
                if not path or "/.build-id/" in path or os.path.isdir(path):
                    continue
                s = stem(path.rsplit("/", 1)[-1])
                if usable(s):
                    names.add(s)
        yield package, names


def installed_versions():
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f", "${binary:Package}\t${Version}\n"],
                             check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {}
    versions = {}
    for line in out.splitlines():
        package, _, version = line.partition("\t")
        versions[package] = version
    return versions


def write_names(path, header_comment, names):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for line in header_comment:
            f.write("# " + line + "\n")
        f.write("name\n")
        for name in sorted(names):
            f.write(name + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dpkg-info", default="/var/lib/dpkg/info")
    parser.add_argument("--words", default="/usr/share/dict/american-english")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scheme"))
    args = parser.parse_args()

    versions = installed_versions()
    train_files, held_files, packages = set(), set(), []
    for package, names in package_names(args.dpkg_info):
        base = package.split(":", 1)[0]
        held = held_out(base, 5)
        (held_files if held else train_files).update(names)
        packages.append((package, versions.get(package, versions.get(base, "")), "held-out" if held else "corpus"))

    train_words, held_words = set(), set()
    with open(args.words, encoding="utf-8", errors="replace") as f:
        for line in f:
            word = line.strip()
            if "'" in word:
                continue
            s = word.lower()
            if not usable(s):
                continue
            (held_words if held_out(s, 10) else train_words).add(s)

    corpus_files = train_files
    corpus_words = train_words - corpus_files
    corpus = corpus_files | corpus_words
    heldout = (held_files | held_words) - corpus

    os.makedirs(os.path.join(args.out, "evaluation"), exist_ok=True)
    write_names(os.path.join(args.out, "debian-file-names.tsv"),
                ["Base names of the files shipped by the installed Debian packages (corpus share),",
                 "normalised as the harmony rule normalises a file name. Made by",
                 "data/scripts/make_scheme_corpus.py; the packages are listed in evaluation/packages.txt."],
                corpus_files)
    write_names(os.path.join(args.out, "english-words.tsv"),
                ["Words of the Debian word list wamerican (/usr/share/dict/american-english),",
                 "corpus share, lower-cased, possessives and names already in debian-file-names.tsv left out.",
                 "Made by data/scripts/make_scheme_corpus.py."],
                corpus_words)
    with open(os.path.join(args.out, "evaluation", "heldout-names.txt"), "w", encoding="utf-8", newline="\n") as f:
        for name in sorted(heldout):
            f.write(name + "\n")
    with open(os.path.join(args.out, "evaluation", "packages.txt"), "w", encoding="utf-8", newline="\n") as f:
        f.write("# package\tversion\tshare\n")
        for package, version, share in packages:
            f.write(f"{package}\t{version}\t{share}\n")

    print(f"corpus: {len(corpus_files)} file names + {len(corpus_words)} words = {len(corpus)} names; "
          f"held out: {len(heldout)} names ({len(held_files - corpus)} file names, {len(held_words - corpus)} words); "
          f"packages: {len(packages)}", file=sys.stderr)


if __name__ == "__main__":
    main()
