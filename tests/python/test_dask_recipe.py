"""The Dask recipe (examples/dask_contracts.py) on a real cluster of two
worker processes gives exactly the records of a run in this process, and
those records agree with the qel command and functions."""
import hashlib
import json
import pathlib
import shutil
import subprocess
import sys

import pytest

distributed = pytest.importorskip("distributed")

import qel  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import dask_contracts  # noqa: E402


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """The examples and the conformance corpus, in subdirectories, with a
    hidden directory that must be passed over and small batches, so that
    every worker gets several tasks."""
    root = tmp_path_factory.mktemp("contracts")
    shutil.copytree(ROOT / "examples", root / "examples")
    shutil.copytree(ROOT / "tests/corpus/contracts", root / "corpus")
    shutil.copytree(ROOT / "examples", root / ".hidden")
    return root


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True,
                                  threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


def test_checks_on_the_cluster_equal_those_in_process(tree, client):
    here = dask_contracts.check_tree(tree)
    there = dask_contracts.check_tree(tree, client, batch_size=16, in_flight=4)
    assert there == here
    # The same files as the qel command finds in the tree, in its order.
    qel_cmd = shutil.which("qel")
    if qel_cmd:
        out = subprocess.run([qel_cmd, "check", "--format", "json", "."],
                             cwd=tree, capture_output=True, text=True).stdout
        assert [f["path"].removeprefix("./") for f in json.loads(out)["files"]] \
            == list(here)
    # A line ending is part of the text: no translation on the way.
    path = "corpus/escapes_in_texts.qel"
    assert here[path]["semantic_hash"] == qel.semantic_hash(
        (tree / path).read_bytes().decode())
    errors = [r["error"] for r in here.values() if "error" in r]
    assert errors and all(e.startswith("Parse error") for e in errors)


def test_replays_on_the_cluster_equal_those_in_process(tree, client):
    here = dask_contracts.replay_logs(tree)
    there = dask_contracts.replay_logs(tree, client, batch_size=3, in_flight=4)
    assert there == here
    assert len(here) == len(list((tree).rglob("*.requests*.json"))) - len(
        list((tree / ".hidden").glob("*.requests*.json")))
    # The fourth of five requests fails and the fifth is not run.
    log = "examples/account_transfers.requests.json"
    assert (here[log]["requests_in_log"], here[log]["requests_run"],
            here[log]["failed"]) == (5, 4, 3)
    # Each record says what qel.execute's result says of the same log.
    outcomes = set()
    for path, record in here.items():
        contract = tree / (path.split(".requests")[0] + ".qel")
        try:
            text = qel.execute(contract.read_bytes().decode(),
                               (tree / path).read_bytes().decode())
        except ValueError as e:
            assert record == {"error": str(e)}, path
            outcomes.add("error")
            continue
        result = json.loads(text)
        ran = len(result["operations"])
        assert record["contract_id"] == result["contract_id"], path
        assert record["requests_run"] == ran, path
        assert record["failed"] == (None if result["success"] else ran - 1), path
        assert record["requests_in_log"] >= ran, path
        if result["success"]:
            assert record["requests_in_log"] == ran, path
        assert record["final_state"] == result["final_state"], path
        assert record["result_sha256"] == hashlib.sha256(
            text.encode()).hexdigest(), path
        outcomes.add("failed" if record["failed"] is not None else "passed")
    assert outcomes == {"error", "failed", "passed"}
