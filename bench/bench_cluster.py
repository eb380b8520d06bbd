"""Packing shards on a Dask cluster against the serial loop, side by side in one run.

The standard library's UTF-8 sources, cut into shards of about equal size in their sorted
order, are packed in turns, run after run:

    serial   one compressor: encode_files for each shard, then save_dict
    cluster  qvc_cli.cluster on a local cluster of worker processes (started once, before the
             runs; its start-up is printed apart): the three steps, then everything moved into
             place

Each run gives the ratio cluster / serial of the elapsed times; the range over the runs is
printed with the absolute times, the load average before each run, and where the cluster's
time went: each step's elapsed time on the client, and the workers' computing and transfer
time by step from Dask's task stream.

Then the per-unit costs that decide how far it scales, measured in this process: steps 1 and 3
per MB of text, the merge and the client's other serial work per distinct token, and the bytes
that travel per distinct token. From them, and a vocabulary that grows as it grows here
(Heaps' law fitted to growing prefixes of the corpus), it computes for 8, 64 and 512 workers,
each given one shard of --model-shard-mb, which share of the wall time the serial part takes.

Usage: python bench/bench_cluster.py [--runs N] [--shards N] [--workers N] [--model-shard-mb MB]
                                     [--network-mb-per-s MB] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pickle
import sys
import tempfile
import time
from functools import partial

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import distributed  # noqa: E402

import corpus  # noqa: E402
from qvc_cli import cluster  # noqa: E402
from qvc_cli.pack_shards import shard_starts  # noqa: E402
from qvc_compressor import QVCompressor  # noqa: E402

MB = 1e6


def shards_of(files: list[str], count: int) -> list[list[str]]:
    starts = shard_starts([os.path.getsize(path) for path in files], count, None) + [len(files)]
    return [files[begin:end] for begin, end in zip(starts, starts[1:])]


def serial_loop(shards: list[list[str]], work: str) -> float:
    started = time.perf_counter()
    compressor = QVCompressor(os.path.join(work, "serial.dict"))
    for k, files in enumerate(shards):
        compressor.encode_files(files, os.path.join(work, f"serial-{k}.qvc"))
        compressor.save_dict()
    elapsed = time.perf_counter() - started
    os.unlink(compressor.dict_path)  # each run starts from an empty vocabulary
    return elapsed


def cluster_run(client, shards: list[list[str]], work: str) -> tuple[float, dict, dict]:
    """Elapsed time, the client's time by step, and the workers' time by step and kind."""
    outputs = [os.path.join(work, f"cluster-{k}.qvc") for k in range(len(shards))]
    encode = partial(cluster.encode_files_into, level=6, threads=4)
    steps: dict[str, float] = {}
    with distributed.get_task_stream(client) as stream:
        started = time.perf_counter()
        cluster.pack_prepared(client, shards, shards, outputs, os.path.join(work, "cluster.dict"), encode,
                              force=True, timings=steps)
        elapsed = time.perf_counter() - started
    workers: dict[str, float] = {}
    for task in stream.data:
        step = "step 1" if str(task["key"]).startswith("distinct-tokens") else "step 3"
        for piece in task["startstops"]:
            name = f"{step} {piece['action']}"
            workers[name] = workers.get(name, 0.0) + piece["stop"] - piece["start"]
    os.unlink(os.path.join(work, "cluster.dict"))
    return elapsed, steps, workers


def heaps_fit(files: list[str]) -> tuple[float, float]:
    """K and beta of distinct = K * bytes**beta, fitted to eight growing prefixes."""
    points = []
    for eighth in range(1, 9):
        prefix = files[: len(files) * eighth // 8]
        size = sum(os.path.getsize(path) for path in prefix)
        points.append((math.log(size), math.log(len(cluster.distinct_tokens(prefix)))))
    mean_x = sum(x for x, _ in points) / len(points)
    mean_y = sum(y for _, y in points) / len(points)
    beta = sum((x - mean_x) * (y - mean_y) for x, y in points) / sum((x - mean_x) ** 2 for x, _ in points)
    return math.exp(mean_y - beta * mean_x), beta


def unit_costs(shards: list[list[str]], work: str) -> dict:
    """Per MB and per distinct token, in this process, one worker's view."""
    text = sum(os.path.getsize(path) for shard in shards for path in shard) / MB
    started = time.perf_counter()
    lists = [cluster.distinct_tokens(shard) for shard in shards]
    step1 = time.perf_counter() - started
    results = [pickle.dumps(tokens, protocol=pickle.HIGHEST_PROTOCOL) for tokens in lists]
    in_lists = sum(len(tokens) for tokens in lists)
    started = time.perf_counter()
    lists = [pickle.loads(result) for result in results]
    unpickle = time.perf_counter() - started
    started = time.perf_counter()
    merged = cluster.merge_vocabularies({}, 1, lists)
    merge = time.perf_counter() - started
    distinct = len(merged.tokens)
    started = time.perf_counter()
    vocabulary = cluster.shipped(merged.tokens)
    ship = time.perf_counter() - started
    started = time.perf_counter()
    tokens, ids = pickle.loads(vocabulary)
    unpickle_vocabulary = time.perf_counter() - started
    started = time.perf_counter()
    cluster.prefix_compressor(tokens, ids, distinct, merged.next_id)
    prefix = time.perf_counter() - started
    final = QVCompressor(os.path.join(work, "units.dict"))
    final.global_dict, final.next_id = merged.tokens, merged.next_id
    started = time.perf_counter()
    final.save_dict()
    save = time.perf_counter() - started
    os.unlink(os.path.join(work, "units.dict"))
    encode = 0.0
    for k, shard in enumerate(shards):
        compressor = cluster.prefix_compressor(tokens, ids, merged.prefix_entries[k], merged.prefix_next_ids[k])
        started = time.perf_counter()
        compressor.encode_files(shard, os.path.join(work, "units.qvc"))
        encode += time.perf_counter() - started
    return {
        "text_mb": text, "distinct": distinct, "distinct_in_shard_lists": in_lists,
        "step1_s_per_mb": step1 / text, "step3_s_per_mb": encode / text,
        "result_bytes_per_token": sum(map(len, results)) / in_lists,
        "client_ns_per_listed_token": (unpickle + merge) / in_lists * 1e9,
        "merge_ns_per_listed_token": merge / in_lists * 1e9,
        "client_ns_per_distinct_token": (ship + save) / distinct * 1e9,
        "shipped_bytes_per_token": len(vocabulary) / distinct,
        "worker_unpickle_ns_per_token": unpickle_vocabulary / distinct * 1e9,
        "worker_prefix_ns_per_token": prefix / distinct * 1e9,
    }


def scaling(units: dict, heaps: tuple[float, float], shard_mb: float, network: float) -> list[dict]:
    """One shard of `shard_mb` per worker. Parallel: steps 1 and 3 of one shard, plus each
    worker's unpickling of the whole vocabulary (once) and building of its prefix, whose last shard's prefix is nearly all of it.
    Serial: the client's unpickling and merging of every shard's list, pickling the vocabulary
    and saving the dictionary, and the bytes that pass the client's link."""
    k, beta = heaps
    rows = []
    for workers in (8, 64, 512):
        per_shard = k * (shard_mb * MB) ** beta
        listed = workers * per_shard
        distinct = min(listed, k * (workers * shard_mb * MB) ** beta)
        parallel = shard_mb * (units["step1_s_per_mb"] + units["step3_s_per_mb"])
        per_task_vocabulary = distinct * (units["worker_unpickle_ns_per_token"] + units["worker_prefix_ns_per_token"]) / 1e9
        serial = (listed * units["client_ns_per_listed_token"] + distinct * units["client_ns_per_distinct_token"]) / 1e9
        transfer = (listed * units["result_bytes_per_token"] + distinct * units["shipped_bytes_per_token"]) / (network * MB)
        total = parallel + per_task_vocabulary + serial + transfer
        rows.append({"workers": workers, "corpus_gb": workers * shard_mb / 1000, "distinct_per_shard": per_shard,
                     "distinct": distinct, "parallel_s": parallel, "per_task_vocabulary_s": per_task_vocabulary,
                     "serial_s": serial, "transfer_s": transfer, "total_s": total,
                     "serial_share": (serial + transfer) / total,
                     "shipped_mb_per_worker": distinct * units["shipped_bytes_per_token"] / MB})
    return rows


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--model-shard-mb", type=float, default=256.0)
    parser.add_argument("--network-mb-per-s", type=float, default=1000.0, help="the client's link (10 Gbit/s: 1000)")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()

    files = corpus.utf8_files(corpus.stdlib_sources())
    shards = shards_of(files, args.shards)
    size = sum(map(os.path.getsize, files)) / MB
    print(f"standard library: {len(files):,} files, {size:.1f} MB, {len(shards)} shards; "
          f"{args.workers} worker processes of one thread")
    report: dict = {"files": len(files), "mb": size, "shards": len(shards), "workers": args.workers, "runs": []}
    with tempfile.TemporaryDirectory(prefix="bench-cluster-") as work:
        started = time.perf_counter()
        with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=50) as local, \
                distributed.Client(local) as client:
            report["cluster_start_s"] = time.perf_counter() - started
            print(f"cluster start-up {report['cluster_start_s']:.2f} s (not counted below)")
            cluster_run(client, shards, work)  # the workers import what the tasks need
            for run in range(args.runs):
                load = os.getloadavg()[0]
                serial = serial_loop(shards, work)
                elapsed, steps, workers = cluster_run(client, shards, work)
                report["runs"].append({"load": load, "serial_s": serial, "cluster_s": elapsed,
                                       "ratio": elapsed / serial, "steps": steps, "workers": workers})
                print(f"run {run + 1}: load {load:.1f}; serial {serial:.2f} s, cluster {elapsed:.2f} s, "
                      f"ratio {elapsed / serial:.2f}")
                print("  client: " + ", ".join(f"{name} {seconds:.2f} s" for name, seconds in steps.items()))
                print("  workers: " + ", ".join(f"{name} {seconds:.2f} s" for name, seconds in sorted(workers.items())))
        ratios = [run["ratio"] for run in report["runs"]]
        print(f"ratio cluster / serial: {min(ratios):.2f} to {max(ratios):.2f} over {len(ratios)} runs")

        units = unit_costs(shards, work)
        heaps = heaps_fit(files)
    report["units"], report["heaps"] = units, heaps
    print(f"per unit: step 1 {units['step1_s_per_mb']:.3f} s/MB, step 3 {units['step3_s_per_mb']:.3f} s/MB; "
          f"merge {units['merge_ns_per_listed_token']:.0f} ns and client in all "
          f"{units['client_ns_per_listed_token']:.0f} ns per token of the shards' lists "
          f"({units['distinct_in_shard_lists']:,} listed, {units['distinct']:,} distinct), "
          f"{units['client_ns_per_distinct_token']:.0f} ns per distinct token (vocabulary pickled, dictionary saved); "
          f"{units['result_bytes_per_token']:.1f} bytes per listed token to the client, "
          f"{units['shipped_bytes_per_token']:.1f} bytes per distinct token to each worker, "
          f"{units['worker_unpickle_ns_per_token']:.0f} ns per token to unpickle it there (once a worker) and "
          f"{units['worker_prefix_ns_per_token']:.0f} ns per token to make a task's prefix")
    print(f"vocabulary growth: distinct = {heaps[0]:.2f} * bytes^{heaps[1]:.3f}")
    rows = scaling(units, heaps, args.model_shard_mb, args.network_mb_per_s)
    report["scaling"] = rows
    print(f"model: one {args.model_shard_mb:.0f} MB shard per worker, client link {args.network_mb_per_s:.0f} MB/s")
    for row in rows:
        print(f"  {row['workers']:>3} workers, {row['corpus_gb']:.1f} GB: {row['distinct'] / 1e6:.1f} M distinct "
              f"({row['shipped_mb_per_worker']:.0f} MB to each worker); shard {row['parallel_s']:.1f} s + "
              f"vocabulary per task {row['per_task_vocabulary_s']:.1f} s, client {row['serial_s']:.1f} s + "
              f"transfers {row['transfer_s']:.1f} s: serial share {row['serial_share']:.0%}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
