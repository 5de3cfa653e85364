"""Scan a large list of files on a Dask cluster, one Quillmark engine per
worker process, and gather the records as JSON Lines.

    python3 -m quillmark.dask_scan --scheduler tcp://scheduler:8786 \\
        --files-from files.txt --output results.jsonl [--data DIR] [--batch 500]

Without --scheduler a local cluster of --workers processes is started. Every
worker must see the files under the same paths (a shared or replicated file
system) and have the library and knowledge files installed.
"""

import argparse
import json
import sys

import quillmark

_ENGINES = {}


def _engine(options):
    """The engine of this worker process for these options, made once."""
    key = json.dumps(options, sort_keys=True)
    engine = _ENGINES.get(key)
    if engine is None:
        engine = _ENGINES[key] = quillmark.Engine(**options)
    return engine


def scan_batch(paths, options):
    """Records of a batch of files as JSON lines (one engine per process)."""
    engine = _engine(options)
    return [json.dumps(engine.scan(path), ensure_ascii=False, separators=(",", ":")) for path in paths]


def batches(paths, size):
    for start in range(0, len(paths), size):
        yield paths[start:start + size]


def scan_files(client, paths, options=None, batch=500):
    """Scans every path on the cluster behind client; yields JSON lines as
    batches finish (in no particular order)."""
    from dask.distributed import as_completed
    options = dict(options or {})
    futures = [client.submit(scan_batch, chunk, options, pure=False) for chunk in batches(list(paths), batch)]
    for future in as_completed(futures):
        for line in future.result():
            yield line


def read_list(name, null):
    stream = sys.stdin.buffer if name == "-" else open(name, "rb")
    with stream:
        data = stream.read()
    separator = b"\0" if null else b"\n"
    return [item.decode("utf-8", "surrogateescape") for item in data.split(separator) if item]


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m quillmark.dask_scan", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="processes of the local cluster (default 2)")
    parser.add_argument("--files-from", required=True, help="file with one path per line, or - for stdin")
    parser.add_argument("-0", "--null", action="store_true", help="the list is separated by NUL characters")
    parser.add_argument("--output", "-o", default="-", help="JSON Lines output (default: stdout)")
    parser.add_argument("--data", help="knowledge folder on the workers")
    parser.add_argument("--batch", type=int, default=500, help="files per task (default 500)")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster
    paths = read_list(args.files_from, args.null)
    options = {"data_folder": args.data} if args.data else {}
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    out = sys.stdout if args.output == "-" else open(args.output, "w", encoding="utf-8")
    try:
        for line in scan_files(client, paths, options, args.batch):
            out.write(line + "\n")
    finally:
        if out is not sys.stdout:
            out.close()
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
