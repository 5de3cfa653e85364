"""The README's "use it from C" and "use it from Python" examples, run as
written against the built library."""

import os
import re
import shutil
import subprocess

import pytest

SOURCE = os.environ["QUILLMARK_SOURCE_DIR"]
LIBRARY = os.environ["QUILLMARK_LIBRARY"]
EXAMPLES = os.environ["QUILLMARK_EXAMPLES"]


def example(language):
    text = open(os.path.join(SOURCE, "README.md"), encoding="utf-8").read()
    match = re.search(r"<!-- example: %s -->\s*```%s\n(.*?)```" % (language, language), text, re.S)
    assert match, "README has no %s example" % language
    return match.group(1)


def test_c_example(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("no C compiler")
    source = tmp_path / "example.c"
    source.write_text(example("c"))
    program = tmp_path / "example"
    libdir = os.path.dirname(LIBRARY)
    subprocess.run([compiler, "-std=c99", "-Wall", "-Werror", str(source), "-I", os.path.join(SOURCE, "include"),
                    "-L", libdir, "-lquillmark", "-Wl,-rpath," + libdir, "-o", str(program)], check=True)
    hello = os.path.join(EXAMPLES, "hello.exe")
    run = subprocess.run([str(program), hello], capture_output=True, check=True)
    assert re.fullmatch(r" *\d+\.\d % " + re.escape(hello) + "\n", run.stdout.decode())


def test_python_example(tmp_path):
    script = tmp_path / "example.py"
    script.write_text(example("python"))
    hello = os.path.join(EXAMPLES, "hello.exe")
    text_file = os.path.join(SOURCE, "README.md")
    run = subprocess.run(["/usr/bin/python3" if os.path.exists("/usr/bin/python3") else "python3", str(script),
                          hello, text_file], capture_output=True, check=True)
    lines = run.stdout.decode().splitlines()
    assert re.fullmatch(r" *\d+\.\d % " + re.escape(hello) + " ?", lines[0])
    assert lines[1].endswith("README.md not a PE image")
