"""Many contracts on many machines: qel's functions on a Dask cluster.

Every qel function is a pure call from text to text, so a tree of contracts
or a pile of request logs spreads over workers without coordination. This
module does two jobs that way:

- check_tree: parse, normalize, hash and verify every ``*.qel`` file below a
  directory, one record per contract (four of qel's functions);
- replay_logs: run every request log against its contract (a log
  ``NAME.requests.json`` or ``NAME.requests.SUFFIX.json`` belongs to
  ``NAME.qel`` beside it), one audit record per log. A task compiles each
  of its contracts once (``qelkit.Contract``) and replays each log in a
  session of its own, whose state and sequence number after the run say
  how far the log got, so the result document is hashed and never read.

Both take a ``distributed.Client``; with ``client=None`` they run in this
process, which gives the same records. The client reads the files and ships
their bytes (decoded on the workers as UTF-8, line endings untouched), so
workers need no shared file system, only ``qel`` and ``qelkit`` installed;
this module reaches them through ``Client.upload_file``. Contracts travel in
batches (one task per ``batch_size`` files) and at most ``in_flight`` tasks
are pending at a time (by default two per worker thread), so the client's
memory stays bounded however large the tree. qel's functions hold the
interpreter lock while they run and qelkit's let go of it, so checks scale
with worker processes (``nthreads=1``, ``threads_per_worker=1``) and replays
with threads as well.

    python3 examples/dask_contracts.py [DIR] [--scheduler ADDRESS]

Without --scheduler, a LocalCluster of two worker processes on 127.0.0.1
is started for the run and stopped after it.
"""
import argparse
import hashlib
import itertools
import json
import os
import pathlib
import sys

import qel
import qelkit

HERE = pathlib.Path(__file__).resolve().parent


# ---- Work done on the workers: pure functions of texts ----------------------

def _text(data):
    """A file's bytes as qel's functions take them: decoded as UTF-8 and
    nothing else (no line-ending translation, which would change hashes)."""
    return data.decode("utf-8") if isinstance(data, bytes) else data


def contract_record(data):
    """What four of qel's calls say about one contract (bytes or text)."""
    try:
        text = _text(data)
        model = json.loads(qel.parse_contract(text))
    except ValueError as e:  # UnicodeDecodeError included
        return {"error": str(e)}
    identity = model["identity"]
    return {
        "stable_id": identity["stable_id"],
        "version": identity["version"],
        "semantic_hash": qel.semantic_hash(text),
        "canonical": qel.normalize(text) == text,
        "verdict": json.loads(qel.verify(text)),
    }


def replay_record(contract, requests):
    """An audit record of one request log replayed against its contract (a
    qelkit.Contract): how many requests the log holds and how many ran (a
    run stops at the first failing request, which is then the last that
    ran), the index of that failed request or None, the final state, and
    the SHA-256 of the whole execution result, the text qel.execute gives,
    which stays on the worker (it can be large)."""
    try:
        requests = _text(requests)
        session = contract.session()
        result_text = session.run(requests)
    except ValueError as e:
        return {"error": str(e)}
    # Read as execute reads it: white space around it dropped, and a text
    # that starts with an object is a list without its brackets.
    logged = requests.strip()
    if logged.startswith("{"):
        logged = f"[{logged}]"
    in_log = len(json.loads(logged))
    # Every request that succeeded got a sequence number; the first that
    # failed, if any, stopped the run after it.
    succeeded = session.next_sequence
    failed = None if succeeded == in_log else succeeded
    return {
        "contract_id": contract.stable_id,
        "requests_in_log": in_log,
        "requests_run": succeeded if failed is None else succeeded + 1,
        "failed": failed,
        "final_state": json.loads(session.state),
        "result_sha256": hashlib.sha256(result_text.encode()).hexdigest(),
    }


def _compiled(contracts, data):
    """The compiled contract of a file's bytes, compiled once per task (a
    batch holds many logs of few contracts); a ValueError for a contract
    that does not parse, kept so that it is raised once for each log."""
    text = _text(data)
    if text not in contracts:
        try:
            contracts[text] = qelkit.Contract(text)
        except ValueError as e:
            contracts[text] = e
    return contracts[text]


def _contract_batch(batch):
    return [(name, contract_record(text)) for name, text in batch]


def _replay_batch(batch):
    contracts, records = {}, []
    for name, contract, requests in batch:
        try:
            compiled = _compiled(contracts, contract)
        except ValueError as e:  # UnicodeDecodeError
            records.append((name, {"error": str(e)}))
            continue
        records.append((name, {"error": str(compiled)}
                        if isinstance(compiled, ValueError)
                        else replay_record(compiled, requests)))
    return records


# ---- On the client: finding the files, sharing out the work ----------------

def contract_files(root):
    """The *.qel files below root, as `qel check DIR` takes them: hidden
    entries skipped, links to directories not followed, in byte order of
    their paths."""
    root = pathlib.Path(root)
    found = []
    for directory, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        found += [pathlib.Path(directory, f) for f in files
                  if f.endswith(".qel") and len(f) > 4 and not f.startswith(".")]
    return sorted(found, key=lambda p: os.fsencode(p))


def request_logs(root):
    """(log, contract) path pairs below root: NAME.requests[.SUFFIX].json
    with NAME.qel in the same directory."""
    pairs = []
    for contract in contract_files(root):
        stem = contract.name[:-len(".qel")]
        for log in sorted(contract.parent.glob(f"{stem}.requests*.json")):
            rest = log.name[len(stem) + len(".requests"):]
            if rest == ".json" or (rest.startswith(".") and rest.count(".") == 2):
                pairs.append((log, contract))
    return pairs


def _run(client, work, items, batch_size, in_flight):
    """work over items in batches, on the cluster or (client None) here;
    the results of all batches, in no particular order."""
    it = iter(items)
    batches = iter(lambda: list(itertools.islice(it, batch_size)), [])
    if client is None:
        return [r for batch in batches for r in work(batch)]
    from distributed import as_completed
    client.upload_file(__file__)
    if in_flight is None:  # enough to keep every worker thread busy
        in_flight = 2 * max(1, sum(client.nthreads().values()))
    pending = as_completed()
    for batch in itertools.islice(batches, in_flight):
        pending.add(client.submit(work, batch, pure=False))
    results = []
    for future in pending:
        results += future.result()
        future.release()
        batch = next(batches, None)
        if batch is not None:
            pending.add(client.submit(work, batch, pure=False))
    return results


def check_tree(root, client=None, batch_size=256, in_flight=None):
    """{path relative to root: contract_record} for every contract below
    root, sorted by path."""
    root = pathlib.Path(root)
    items = ((str(p.relative_to(root)), p.read_bytes())
             for p in contract_files(root))
    return dict(sorted(_run(client, _contract_batch, items, batch_size,
                            in_flight)))


def replay_logs(root, client=None, batch_size=4, in_flight=None):
    """{log path relative to root: replay_record} for every request log
    below root, sorted by path."""
    root = pathlib.Path(root)
    items = ((str(log.relative_to(root)), contract.read_bytes(),
              log.read_bytes())
             for log, contract in request_logs(root))
    return dict(sorted(_run(client, _replay_batch, items, batch_size,
                            in_flight)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root", nargs="?", default=str(HERE))
    parser.add_argument("--scheduler", help="address of a running scheduler")
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster
    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1,
                               processes=True, host="127.0.0.1",
                               dashboard_address=None)
        client = Client(cluster)
    try:
        for path, r in check_tree(args.root, client).items():
            if "error" in r:
                print(f"{path}: {r['error']}")
                continue
            v = r["verdict"]
            print(f"{path}: {r['stable_id']} v{r['version']} "
                  f"{r['semantic_hash'][:16]}… "
                  f"{'valid' if v['valid'] else 'INVALID'}, "
                  f"{len(v['errors'])} errors, {len(v['warnings'])} warnings"
                  f"{'' if r['canonical'] else ', not canonical'}")
        for path, r in replay_logs(args.root, client).items():
            if "error" in r:
                print(f"{path}: {r['error']}")
                continue
            failed = ("none" if r["failed"] is None
                      else f"request {r['failed']}")
            print(f"{path}: {r['requests_run']} of {r['requests_in_log']} "
                  f"requests run against {r['contract_id']}, failed: "
                  f"{failed}, result {r['result_sha256'][:16]}…")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
