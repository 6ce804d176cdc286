"""Runs image_bench several times and reports each image retrieval as a ratio to the memcpy of the
raw frame measured just before it in the same process, against its target. Usage: image_ratios.py <image_bench> [runs]"""
import json
import statistics
import subprocess
import sys

TARGETS = {  # benchmark name prefix -> (label, largest ratio allowed)
    "BM_ImageMono16/1": ("Mono16", 2.0),
    "BM_ImageMono8/1": ("Mono8, one thread", 4.0),
    "BM_ImageMono8/2": ("Mono8, two threads", 4.0),
    "BM_ImageBGR8Bayer/1": ("BGR8 from Bayer, one thread", 15.0),
    "BM_ImageBGR8Bayer/2": ("BGR8 from Bayer, two threads", 15.0),
}

program = sys.argv[1]
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5


def measure(prefix):
    """Real times in ms of the memcpy baseline and of one retrieval, measured one right after the other:
    the machine's speed drifts over the seconds a whole pass of the benchmarks takes, and a baseline
    from the start of the pass made later ratios swing with that drift."""
    out = subprocess.run([program, "--benchmark_format=json", f"--benchmark_filter=^(BM_MemcpyRawFrame|{prefix})/"],
                         check=True, capture_output=True, text=True).stdout
    times = {b["name"]: b["real_time"] for b in json.loads(out)["benchmarks"]}
    base = next(t for n, t in times.items() if n.startswith("BM_MemcpyRawFrame"))
    return base, next(t for n, t in times.items() if n.startswith(prefix + "/") or n == prefix)


ratios = {name: [] for name in TARGETS}
for run in range(runs):
    line = [f"run {run + 1}:"]
    for prefix in TARGETS:
        base, t = measure(prefix)
        ratios[prefix].append(t / base)
        line.append(f"{TARGETS[prefix][0]} {t:.2f} ms / memcpy {base:.3f} ms ({t / base:.1f}x)")
    print(" ".join(line[:1]) + " " + ", ".join(line[1:]))
for prefix, (label, target) in TARGETS.items():
    r = ratios[prefix]
    verdict = "met" if max(r) <= target else "NOT met"
    print(f"image {label}: ratio to memcpy min {min(r):.2f} median {statistics.median(r):.2f} max {max(r):.2f} "
          f"over {runs} runs, target <= {target:g} in every run: {verdict}")
