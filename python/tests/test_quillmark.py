"""The Python package over the real library, the CLI and a local Dask cluster.

Run by ctest with QUILLMARK_LIBRARY (the built libquillmark.so),
QUILLMARK_CLI, QUILLMARK_DATA and QUILLMARK_EXAMPLES set."""

import json
import os
import subprocess

import pytest

import quillmark

CLI = os.environ["QUILLMARK_CLI"]
DATA = os.environ["QUILLMARK_DATA"]
EXAMPLES = os.environ["QUILLMARK_EXAMPLES"]


def example_files():
    return sorted(os.path.join(EXAMPLES, name) for name in os.listdir(EXAMPLES)
                  if os.path.isfile(os.path.join(EXAMPLES, name)))


def cli_records(paths):
    run = subprocess.run([CLI, "scan", "--json", "--no-progress", "--no-summary", "--data", DATA] + paths,
                         capture_output=True, check=False)
    assert run.returncode in (0, 1), run.stderr
    return sorted(line for line in run.stdout.decode().splitlines() if line)


def as_line(record):
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"))


@pytest.fixture
def engine():
    with quillmark.Engine(data_folder=DATA, strict=True) as e:
        yield e


def test_version_matches_the_cli():
    out = subprocess.run([CLI, "--version"], capture_output=True, check=True).stdout.decode()
    assert quillmark.version() in out


def test_scan_gives_the_record_the_cli_prints(engine):
    paths = example_files()
    records = [engine.scan(path) for path in paths]
    assert all(set(r) >= {"file", "analyzed", "percent", "flagged", "sha256", "size", "threat", "rules", "error",
                          "warnings"} for r in records)
    # Same keys in the same order and the same values as the CLI's JSON Lines.
    assert sorted(as_line(r) for r in records) == cli_records(paths)


def test_scan_folder_walks_every_file(engine):
    records = list(engine.scan_folder(EXAMPLES))
    assert [r["file"] for r in records] == example_files()


@pytest.mark.parametrize("name, content, error", [
    ("notes.txt", b"just text", "not a PE image"),
    ("empty.exe", b"", "not a PE image"),
])
def test_files_without_a_verdict_give_a_record_with_error(engine, tmp_path, name, content, error):
    path = tmp_path / name
    path.write_bytes(content)
    record = engine.scan(path)
    assert record["analyzed"] is False and record["flagged"] is False
    assert record["error"] == error


def test_unreadable_paths_give_a_record_not_an_exception(engine, tmp_path):
    record = engine.scan(tmp_path / "missing.exe")
    assert record["analyzed"] is False and record["error"]


@pytest.mark.parametrize("kwargs, exception", [
    ({"rules": ["no-such-rule"]}, quillmark.QuillmarkError),
    ({"threshold": 250}, quillmark.QuillmarkError),
    ({"data_folder": "/nonexistent-quillmark-data", "strict": True}, quillmark.KnowledgeError),
])
def test_bad_options_raise(kwargs, exception):
    with pytest.raises(exception):
        quillmark.Engine(**kwargs)


def test_missing_knowledge_is_said_in_every_record_when_not_strict():
    with quillmark.Engine(data_folder="/nonexistent-quillmark-data") as e:
        assert any("cannot be used" in w for w in e.warnings)
        record = e.scan(example_files()[0])
        assert record["warnings"] == e.warnings


def test_a_closed_engine_raises():
    e = quillmark.Engine(data_folder=DATA)
    e.close()
    with pytest.raises(quillmark.QuillmarkError):
        e.scan(example_files()[0])


def test_rule_selection(engine):
    with quillmark.Engine(data_folder=DATA, rules=["entropy"]) as e:
        record = e.scan(example_files()[0])
    assert [r["rule"] for r in record["rules"]] in ([], ["mhRuleEntropy"])


def test_dask_cluster_scan_matches_the_cli(tmp_path):
    """The documented recipe on a local cluster of two worker processes."""
    paths = example_files() * 3
    listing = tmp_path / "files.txt"
    listing.write_text("\n".join(paths) + "\n")
    output = tmp_path / "out.jsonl"
    env = dict(os.environ)
    run = subprocess.run(["python3" if not os.path.exists("/usr/bin/python3") else "/usr/bin/python3",
                          "-m", "quillmark.dask_scan", "--workers", "2", "--batch", "4", "--files-from",
                          str(listing), "--data", DATA, "-o", str(output)],
                         capture_output=True, env=env, timeout=300, check=False)
    assert run.returncode == 0, run.stderr.decode()
    lines = sorted(line for line in output.read_text().splitlines() if line)
    assert lines == sorted(cli_records(example_files()) * 3)
