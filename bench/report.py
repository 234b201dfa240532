#!/usr/bin/env python3
"""Turns one run of the benchmarks into the Markdown table of scripts/bench.

Usage: report.py BENCH_JSON FIGURES_TXT STRACE_BASE STRACE_RUN IDLE_PASSES
                 EXE_SIZE ALLOCATION_VERDICT
"""
import json
import sys

(bench_json, figures_txt, strace_base, strace_run, idle_passes, exe_size,
 allocation_verdict) = sys.argv[1:8]
idle_passes = int(idle_passes)

with open(bench_json) as f:
    runs = json.load(f)["benchmarks"]

median = {}
rejected = set()
for run in runs:
    name = run.get("run_name", run["name"])
    if run.get("error_occurred"):
        rejected.add(name)
    elif run.get("aggregate_name") == "median":
        median[name] = run


def seconds(name):
    run = median[name]
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
    return run["real_time"] * scale


def mbps(name):
    if name not in median:
        return None
    return median[name]["bytes_per_second"] / 1e6


figures = {}
with open(figures_txt) as f:
    for line in f:
        key, value = line.split()
        figures[key] = float(value)


def syscall_counts(path):
    counts = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3])
    return counts


base = syscall_counts(strace_base)
run = syscall_counts(strace_run)
per_pass = {}
for name in sorted(run):
    extra = run[name] - base.get(name, 0)
    if extra > 0:
        per_pass[name] = extra / idle_passes
# One open, one size query, one read, one close and one wait per interval,
# nothing else (the size query shows as newfstatat or fstat, the wait as ppoll).
expected_calls = [{"openat"}, {"newfstatat", "fstat", "statx"}, {"read"}, {"close"},
                  {"ppoll", "poll"}]
syscalls_held = len(per_pass) == len(expected_calls) and all(
    sum(per_pass.get(name, 0) for name in group) == 1.0 for group in expected_calls)

rows = []


def row(measure, figure, budget="", verdict=""):
    rows.append(f"| {measure} | {figure} | {budget} | {verdict} |")


def held(ok):
    return "held" if ok else "MISSED"


# Idle pass.
helper = seconds("BM_IdlePass_Helper")
floor = seconds("BM_IdlePass_Floor")
floor_size = seconds("BM_IdlePass_FloorWithSizeQuery")
row("Idle pass (read, check, parse 30-byte command.json)", f"{helper * 1e9:.0f} ns")
row("Floor: open, read to end, close", f"{floor * 1e9:.0f} ns")
row("Floor with the size query the pass makes (a short read ends the file)", f"{floor_size * 1e9:.0f} ns")
row("Idle pass / floor", f"{helper / floor:.2f}", "<= 1.10", held(helper / floor <= 1.10))
row("Idle pass / floor with size query", f"{helper / floor_size:.2f}", "<= 1.10",
    held(helper / floor_size <= 1.10))
row("User-space instructions per pass (callgrind): idle pass, floor with size query",
    f"{figures['instructions_idle-pass']:.0f}, {figures['instructions_floor']:.0f}")
row(f"System calls per idle poll interval (strace -c, {idle_passes} intervals less none)",
    ", ".join(f"{name} {count:g}" for name, count in per_pass.items()),
    "open, size query, read, close, one wait", held(syscalls_held))
row("Heap allocations per idle pass after the first", allocation_verdict, "0",
    held(allocation_verdict == "0"))

# Reader throughput, in a table of its own, printed after the main one.
sizes = {}
for run in runs:
    if run.get("aggregate_name") == "median" and run["name"].startswith("BM_Read_Tarsel/"):
        arg = run["run_name"].split("/")[1]
        sizes[arg] = run["document_bytes"]
reader_rows = []
documents = [("0", "30-byte command"), ("1", "1 MiB of numbers"), ("2", "1 MiB of strings"),
             ("3", "400,000 levels deep")]
for arg, label in documents:
    ours = mbps(f"BM_Read_Tarsel/{arg}")
    rapid = mbps(f"BM_Read_RapidJSON/{arg}")
    simd = mbps(f"BM_Read_simdjson/{arg}")
    simd_text = f"{simd:.0f}" if simd is not None else "rejected"
    if simd is None:
        simd = mbps(f"BM_Read_simdjson_deep/{arg}")
        simd_text = f"rejected (depth > 1024); {simd:.0f} with depth raised"
    size = sizes[arg]
    instructions = {r: figures.get(f"instructions_{r}_{arg}", -1) for r in
                    ("tarsel", "rapidjson", "simdjson")}
    per_byte = ", ".join(f"{instructions[r] / size:.2f}" if instructions[r] > 0 else "n/a"
                         for r in ("tarsel", "rapidjson", "simdjson"))
    instruction_ratio = instructions["tarsel"] / instructions["rapidjson"]
    reader_rows.append(
        f"| {label} | {ours:.0f} | {rapid:.0f} | {simd_text} | {ours / rapid:.2f} "
        f"({held(ours / rapid >= 1.0)}) | {ours / simd:.2f} | {per_byte} | "
        f"{instruction_ratio:.2f} ({held(instruction_ratio <= 1.0)}) |")

# Answering.
answer = seconds("BM_Answer_Pass/real_time")
spawn = seconds("BM_Answer_SpawnAndReapOnly/real_time")
row("Answering pass (read, run stand-in, write result.json)", f"{answer * 1e6:.0f} us")
row("Starting and reaping the stand-in alone", f"{spawn * 1e6:.0f} us")
row("Ours beyond the child", f"{(answer - spawn) * 1e6:.0f} us")


def spread(prefix):
    return (f"median {figures[prefix + '_median_ms']:.1f} ms, p99 {figures[prefix + '_p99_ms']:.1f} ms, "
            f"max {figures[prefix + '_max_ms']:.1f} ms")


n = int(figures["answer_commands"])
row(f"Answer latency, rename to result.json, native, {n} commands", spread("answer"),
    "median <= 10 ms, p99 <= 50 ms",
    held(figures["answer_median_ms"] <= 10 and figures["answer_p99_ms"] <= 50))
row(f"Storm: another file in data_dir rewritten as fast as possible for "
    f"{figures['storm_seconds']:.1f} s ({figures['storm_writes_per_second']:.0f} rewrites/s): helper CPU",
    f"{figures['storm_cpu_percent']:.2f} % of one core", "<= 5 %",
    held(figures["storm_cpu_percent"] <= 5))
row(f"Storm: answer latency of {int(figures['storm_commands'])} commands sent during it",
    spread("storm_answer"), "median <= 10 ms, p99 <= 50 ms",
    held(figures["storm_answer_median_ms"] <= 10 and figures["storm_answer_p99_ms"] <= 50))
n = int(figures["wine_answer_commands"])
row(f"Answer latency, rename to result.json, Wine service, {n} commands", spread("wine_answer"),
    "median <= 100 ms", held(figures["wine_answer_median_ms"] <= 100))
row("Starting and reaping the stand-in under Wine", f"{figures['wine_spawn_median_ms']:.1f} ms")
n = int(figures["wine_tarselctl_runs"])
row(f"tarselctl.exe up under Wine, started from a Windows program ({n} runs)",
    spread("wine_tarselctl_up"))
row(f"tarselctl.exe check under Wine: its start alone ({n} runs)", spread("wine_tarselctl_check"))
row("Starts Wine failed (error 1359), left out", f"{figures['wine_start_failures']:.0f}")

# Footprint.
row("Native helper peak RSS, idle", f"{figures['idle_peak_rss_kib']:.0f} KiB")
row("Native helper peak RSS, after answering", f"{figures['answering_peak_rss_kib']:.0f} KiB")
row("tarsel-helper.exe, stripped, static", f"{int(exe_size)} bytes ({int(exe_size) / 1024:.0f} KiB)",
    "<= 1 MB (1,000,000 bytes)", held(int(exe_size) <= 1_000_000))
row(f"Stop to stopped while idle, native (SIGTERM, {int(figures['stop_runs'])} runs)",
    spread("stop"), "median <= 20 ms", held(figures["stop_median_ms"] <= 20))
row(f"STOP to stopped while idle, Wine service manager ({int(figures['wine_stop_runs'])} runs)",
    spread("wine_stop"), "median <= 100 ms", held(figures["wine_stop_median_ms"] <= 100))

print("| Measure | Figure | Budget | Verdict |")
print("|---|---|---|---|")
print("\n".join(rows))
print()
print("Reader throughput, MB/s (10^6 bytes), same bytes, same run. Budget: at least as fast as")
print("RapidJSON, in time and, where the machine is too noisy for time, in instructions")
print("(callgrind, simdjson with its depth limit raised for all four).")
print()
print("| Document | ours | RapidJSON | simdjson | ours / RapidJSON | ours / simdjson "
      "| instructions per byte: ours, RapidJSON, simdjson | ours / RapidJSON instructions |")
print("|---|---|---|---|---|---|---|---|")
print("\n".join(reader_rows))
