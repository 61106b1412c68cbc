#!/usr/bin/env python3
"""Tarvisk's benchmark: stores a manifest in generated images with Tarvisk and its peers, side by
side, and writes bench/results.md and bench/results.svg. Run it through bench/run.sh."""
import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import pe_check

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CASES = [
    # name, image, label, what the issue asks of Tarvisk there
    ("small", "small.exe", "95 KB image", "under 5 ms"),
    ("large", "large.exe", "400 MiB image (95 KB program + overlay)",
     "at most 1.2 x the floor, at most 32 MiB resident"),
    ("many", "many.exe", "50,000 resources (6 MB image)", "under 0.5 s"),
    # The large image again on file systems that share blocks between files, where the floor is
    # a copy that shares them (cp --reflink=always) and the copy's sync.
    ("large-xfs", "large.exe", "400 MiB image on XFS (reflink)", "at most 2 x the floor"),
    ("large-btrfs", "large.exe", "400 MiB image on btrfs", "at most 2 x the floor"),
    # The same images with a PE checksum, as signed programs and installers carry, run with a
    # cold cache for every tool (see COLD_CASES).
    ("large-sum", "large-sum.exe", "400 MiB image with a checksum, cold", "no slower than before"),
    ("large-sum-xfs", "large-sum.exe", "400 MiB image with a checksum on XFS (reflink), cold",
     "at most 1.2 x cp --reflink=always + sync + mv"),
    ("large-sum-btrfs", "large-sum.exe", "400 MiB image with a checksum on btrfs, cold",
     "at most 1.2 x cp --reflink=always + sync + mv"),
    ("many-sum", "many-sum.exe", "50,000 resources with a checksum (6 MB image), cold", "for information"),
]
# Cases whose floor shares blocks, and the file system each needs (given with --cow-work).
COW_CASES = {"large-xfs": "xfs", "large-btrfs": "btrfs", "large-sum-xfs": "xfs", "large-sum-btrfs": "btrfs"}
# Cases run with the page cache dropped before every timed run (as root): a checksum that is
# read back from the whole image costs most where the image is not cached, as after a download
# or a build on another machine.
COLD_CASES = {"large-sum", "large-sum-xfs", "large-sum-btrfs", "many-sum"}


class Tool:
    def __init__(self, name, label, runs, commands, in_place=True):
        self.name = name
        self.label = label
        self.runs = runs
        self.commands = commands  # (image, copy, manifest) -> list of argv
        self.in_place = in_place  # False: the result is `copy`, not the image itself


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def spawn(argv, log, env=None, cwd=None):
    """Runs argv to completion; returns (seconds, exit code, peak resident KiB of the process)."""
    old = os.getcwd()
    if cwd:
        os.chdir(cwd)
    try:
        actions = [(os.POSIX_SPAWN_OPEN, 1, log, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644),
                   (os.POSIX_SPAWN_DUP2, 1, 2)]
        t0 = time.perf_counter()
        pid = os.posix_spawnp(argv[0], argv, env if env is not None else os.environ, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        t1 = time.perf_counter()
    finally:
        os.chdir(old)
    return t1 - t0, os.waitstatus_to_exitcode(status), usage.ru_maxrss


def fresh_copy(image, dest):
    """A copy of the input that is cached but clean, so no run pays for the previous one's writeback."""
    for p in (dest, dest + ".copy"):
        if os.path.exists(p):
            os.unlink(p)
    subprocess.run(["cp", image, dest], check=True)
    subprocess.run(["sync", dest], check=True)


def median(xs):
    return statistics.median(xs) if xs else None


def fmt_time(s):
    if s is None:
        return "-"
    return "%.1f ms" % (s * 1e3) if s < 1 else "%.2f s" % s


def fmt_mib(kib):
    return "-" if kib is None else ("%.1f MiB" % (kib / 1024.0))


def version_of(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        return (out.stdout or out.stderr).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.SubprocessError):
        return "unknown"


def machine_facts(work, tools):
    facts = {}
    try:
        with open("/proc/cpuinfo") as f:
            models = [l.split(":", 1)[1].strip() for l in f if l.startswith("model name")]
        facts["cpu"] = "%s, %d logical CPUs" % (models[0] if models else platform.processor(), os.cpu_count())
    except OSError:
        facts["cpu"] = platform.processor()
    try:
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
        facts["memory"] = "%.1f GiB" % (kib / 1048576.0)
    except (OSError, ValueError, IndexError):
        pass
    facts["kernel"] = platform.release()
    facts["filesystem"] = version_of(["findmnt", "-no", "FSTYPE,SOURCE,OPTIONS", "-T", work])
    facts["os"] = version_of(["sh", "-c", ". /etc/os-release && echo $PRETTY_NAME"])
    rev = version_of(["git", "-C", ROOT, "describe", "--always", "--dirty"])
    facts["tarvisk"] = "%s (commit %s)" % (version_of(["git", "-C", ROOT, "show", "-s", "--format=%cs"]), rev)
    facts["compiler"] = version_of(["c++", "--version"])
    facts["cp"] = version_of(["cp", "--version"])
    if "resedit" in tools:
        try:
            with open(os.path.join(HERE, "node_modules", "resedit", "package.json")) as f:
                facts["resedit"] = "%s on node %s" % (json.load(f)["version"], version_of(["node", "--version"]))
        except (OSError, ValueError, KeyError):
            facts["resedit"] = "unknown"
    if "wine" in tools:
        facts["wine"] = version_of(["wine", "--version"])
    return facts


def make_tools(args, work, reflink=False):
    tools = {}
    cp = ["cp", "--reflink=always"] if reflink else ["cp"]
    cp_label = "cp --reflink=always" if reflink else "cp"
    tools["floor"] = Tool("floor", "floor (%s, then sync of the copy)" % cp_label, args.runs,
                          lambda img, man: [cp + [img, img + ".copy"], ["sync", img + ".copy"]], in_place=False)
    # What any atomic replacement must also do: rename over the original, which frees the old file.
    tools["replace"] = Tool("replace", "floor + mv (%s, sync, then mv of the copy over the image)" % cp_label, args.runs,
                            lambda img, man: [cp + [img, img + ".copy"], ["sync", img + ".copy"],
                                              ["mv", img + ".copy", img]])
    tools["tarvisk"] = Tool("tarvisk", "Tarvisk", args.runs, lambda img, man: [[args.tarvisk, img, man]])
    if args.baseline:
        tools["baseline"] = Tool("baseline", "Tarvisk before (%s)" % args.baseline_label, args.runs,
                                 lambda img, man: [[args.baseline, img, man]])
    if args.resedit:
        driver = os.path.join(HERE, "peers", "resedit-embed.mjs")
        tools["resedit"] = Tool("resedit", "resedit (npm)", args.slow_runs,
                                lambda img, man: [["node", driver, img, man]])
    if args.wine_exe:
        prefix = os.path.join(work, "wineprefix")
        exe = os.path.abspath(args.wine_exe)
        # Relative names: Wine maps the current directory, not a Unix path, to a drive.
        tools["wine"] = Tool("wine", "Tarvisk for Windows on Wine's resource service", args.slow_runs,
                             lambda img, man: [["wine", exe, os.path.basename(img), os.path.relpath(man, os.path.dirname(img))]])
        tools["wine"].env = wine_env(prefix)
    return tools


def run_tool(tool, image, log):
    """One timed run: seconds, exit code, peak KiB (the largest of its commands)."""
    total = 0.0
    peak = 0
    for argv in tool.commands(image, MANIFEST):
        secs, code, kib = spawn(argv, log, getattr(tool, "env", None), cwd=os.path.dirname(image))
        total += secs
        peak = max(peak, kib)
        if code != 0:
            return total, code, peak
    return total, 0, peak


def detached_peak_kib(name):
    """The largest VmHWM among running processes whose command line names `name`."""
    peak = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if name.encode() not in f.read():
                    continue
            with open("/proc/%s/status" % pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except (OSError, ValueError):
            pass
    return peak


def rss_run(tool, image, log):
    """Peak resident memory as /usr/bin/time -f %M reports it (KiB), the largest of the tool's commands.
    Under Wine the program runs in a process that the launcher does not wait for, so its own
    high-water mark is sampled from /proc while it runs."""
    peak = 0
    for argv in tool.commands(image, MANIFEST):
        out = image + ".rss"
        env = getattr(tool, "env", None)
        if tool.name == "wine":
            with open(log, "a") as lf:
                p = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", out] + argv, env=env,
                                     cwd=os.path.dirname(image), stdout=lf, stderr=subprocess.STDOUT)
                while p.poll() is None:
                    peak = max(peak, detached_peak_kib(os.path.basename(image)))
                    time.sleep(0.005)
            code = p.returncode
        else:
            _, code, _ = spawn(["/usr/bin/time", "-f", "%M", "-o", out] + argv, log, env, cwd=os.path.dirname(image))
        if code != 0:
            raise RuntimeError("%s failed (exit %d); see %s" % (tool.name, code, log))
        with open(out) as f:
            peak = max(peak, int(f.read().split()[-1]))
    return peak


MANIFEST = None
FAST_CASE_SCALE = 3


def drop_caches():
    """Writes back and drops the page cache, so the next run reads the image from the disk."""
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def bench_case(case, image, tools, work, log, order_seed, cold=False):
    results = {}
    run_dir = os.path.join(work, "run")
    os.makedirs(run_dir, exist_ok=True)
    names = list(tools)
    # A run of the small cases takes milliseconds, where one stray flush of the journal weighs as
    # much as the whole run: Tarvisk and the floors get more runs there for a steady median.
    scale = 1 if case.startswith("large") else FAST_CASE_SCALE
    runs_of = {n: tools[n].runs * (scale if n in ("floor", "replace", "tarvisk", "baseline") else 1) for n in names}
    rounds = max(runs_of.values())
    times = {n: [] for n in names}
    for r in range(rounds):
        # Turn the order each round so no tool always runs right after the same neighbour.
        k = (r + order_seed) % len(names)
        for name in names[k:] + names[:k]:
            tool = tools[name]
            if r >= runs_of[name]:
                continue
            target = os.path.join(run_dir, "%s-%s.exe" % (case, name))
            fresh_copy(image, target)
            if cold:
                drop_caches()
            secs, code, _ = run_tool(tool, target, log)
            if code != 0 and tool.name == "wine":
                # Now and then Wine cannot start the program at all with other Wine work about.
                print("  %-8s %-8s run %d failed (exit %d); once more" % (case, name, r + 1, code), flush=True)
                fresh_copy(image, target)
                secs, code, _ = run_tool(tool, target, log)
            if code != 0:
                raise RuntimeError("%s failed on %s (exit %d); see %s" % (name, case, code, log))
            times[name].append(secs)
            print("  %-8s %-8s run %d: %s" % (case, name, r + 1, fmt_time(secs)), flush=True)
    for name in names:
        tool = tools[name]
        target = os.path.join(run_dir, "%s-%s.exe" % (case, name))
        fresh_copy(image, target)
        peak = rss_run(tool, target, log)
        result = target + ".copy" if not tool.in_place else target
        problem = pe_check.check_output(image, result, MANIFEST_BYTES) if tool.name not in ("floor", "replace") else None
        results[name] = {"times": times[name], "median": median(times[name]), "rss_kib": peak, "problem": problem,
                         "label": tool.label}
        print("  %-8s %-8s median %s, peak %s%s" % (case, name, fmt_time(results[name]["median"]), fmt_mib(peak),
                                                  ", OUTPUT WRONG: " + problem if problem else ""), flush=True)
        for p in (target, target + ".copy", target + ".rss"):
            if os.path.exists(p):
                os.unlink(p)
    return results


MANIFEST_BYTES = b""


def run_micro(path, work):
    out = os.path.join(work, "micro.json")
    subprocess.run([path, "--benchmark_format=console", "--benchmark_out_format=json", "--benchmark_out=" + out,
                    "--benchmark_min_time=0.2", "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"],
                   check=True)
    with open(out) as f:
        return json.load(f)


def instruction_counts(path, work):
    """Instructions that measuring and encoding the tree execute, at each size, counted by callgrind.
    Unlike time, the count does not change when the data outgrows a cache or a neighbour is busy,
    so it shows how the work itself grows. {n: instructions}, or None without valgrind."""
    if not (shutil.which("valgrind") and shutil.which("callgrind_annotate")):
        return None
    counts = {}
    for n in (1000, 10000, 50000, 100000):
        out = os.path.join(work, "callgrind.%d" % n)
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        "--toggle-collect=resupdate::measure_tree*", "--toggle-collect=resupdate::encode_tree*",
                        path, "--benchmark_filter=BM_EncodeTree/%d$" % n, "--benchmark_min_time=0.01",
                        "--benchmark_out_format=json", "--benchmark_out=" + out + ".json"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        with open(out + ".json") as f:
            calls = sum(b.get("iterations", 0) for b in json.load(f)["benchmarks"])
        totals = subprocess.run(["callgrind_annotate", out], capture_output=True, text=True, check=True).stdout
        ir = next(int(line.split()[0].replace(",", "")) for line in totals.splitlines() if "PROGRAM TOTALS" in line)
        # Google Benchmark may call the function once more than it reports, to size its runs.
        counts[n] = ir / max(calls, 1)
    return counts


def profile(tarvisk, image, work, label):
    """Where one Tarvisk run on a fresh copy of `image` spends its time, as text lines: the system
    calls that took the most wall-clock time (strace -c -w), then perf's flat CPU profile."""
    target = os.path.join(work, "run", "profile-%s.exe" % label)
    lines = []
    if shutil.which("strace"):
        fresh_copy(image, target)
        out = os.path.join(work, "strace-%s.txt" % label)
        t0 = time.perf_counter()
        rec = subprocess.run(["strace", "-f", "-c", "-w", "-o", out, tarvisk, target, MANIFEST], capture_output=True)
        wall = time.perf_counter() - t0
        if rec.returncode == 0:
            with open(out) as f:
                rows = [l.split() for l in f if l.strip() and l.split()[0][0].isdigit()]
            lines.append("wall time under strace: %.1f ms; system calls by wall time:" % (wall * 1e3))
            for r in rows[:6]:
                lines.append("  %-16s %8.1f ms  %6s calls" % (r[-1], float(r[1]) * 1e3, r[3]))
    if shutil.which("perf"):
        fresh_copy(image, target)
        data = os.path.join(work, "perf-%s.data" % label)
        rec = subprocess.run(["perf", "record", "-q", "-F", "9999", "-g", "-o", data, tarvisk, target, MANIFEST],
                             capture_output=True, text=True)
        if rec.returncode == 0:
            rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "-g", "none",
                                  "--sort", "dso,sym", "--percent-limit", "2"], capture_output=True, text=True)
            lines.append("CPU profile (perf, share of samples):")
            lines.extend(l.rstrip()[:110] for l in rep.stdout.splitlines() if l.strip() and not l.startswith("#"))
    for p in (target, target + ".rss"):
        if os.path.exists(p):
            os.unlink(p)
    return lines[:24] or None


def write_svg(path, results, tools, facts, date):
    """Grouped horizontal bars of each tool's median time as a multiple of the floor, on a log scale."""
    import math
    colours = {"floor": "#9e9e9e", "replace": "#c8c8c8", "tarvisk": "#1b7f3b", "baseline": "#8fc79f", "resedit": "#c0392b",
               "wine": "#7d3c98"}
    names = [n for n in ["floor", "replace", "tarvisk", "baseline", "resedit", "wine"] if n in tools]
    short = {"floor": "floor: cp + sync", "replace": "cp + sync + mv", "tarvisk": "Tarvisk", "baseline": "Tarvisk before",
             "resedit": "resedit (npm)", "wine": "tarvisk.exe on Wine"}
    left, right, top, bar, gap = 250, 760, 70, 18, 26
    lo, hi = 0.5, 100.0
    for case in results.values():
        for r in case.values():
            ratio = r.get("ratio")
            if ratio:
                hi = max(hi, ratio * 1.5)
    decades = [10 ** e for e in range(int(math.floor(math.log10(lo))), int(math.ceil(math.log10(hi))) + 1)]
    hi = decades[-1]

    def x(v):
        return left + (right - left) * (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))

    height = top + len(results) * (len(names) * bar + gap + 20) + 80
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="1000" height="%d" font-family="sans-serif" font-size="12">' % height,
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="20" y="24" font-size="16" font-weight="bold">Storing a manifest: median wall time as a multiple of the copy floor (log scale)</text>',
           '<text x="20" y="44" fill="#555">%s; %s; %s</text>' % (date, facts.get("cpu", ""), facts.get("filesystem", ""))]
    axis_bottom = height - 60
    for t in [0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000]:
        if lo <= t <= hi:
            out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s"/>' % (x(t), top - 10, x(t), axis_bottom,
                                                                                  "#333" if t == 1 else "#ddd"))
            out.append('<text x="%.1f" y="%d" text-anchor="middle" fill="#555">%gx</text>' % (x(t), axis_bottom + 16, t))
    y = top
    for case_name, case in results.items():
        label = next(c[2] for c in CASES if c[0] == case_name)
        out.append('<text x="20" y="%d" font-weight="bold">%s</text>' % (y + 12, label))
        y += 20
        for n in names:
            r = case.get(n)
            if not r or not r.get("ratio"):
                y += bar
                continue
            w = max(1.0, x(r["ratio"]) - x(lo))
            out.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s"/>' % (left, y + 2, w, bar - 4, colours[n]))
            name = short[n]
            if case_name in COW_CASES and n in ("floor", "replace"):
                name = name.replace("cp", "cp --reflink", 1)
            out.append('<text x="%d" y="%d" text-anchor="end" fill="#333">%s</text>' % (left - 6, y + 13, name))
            out.append('<text x="%.1f" y="%d" fill="#333">%s (%.2fx), %s</text>' % (left + w + 4, y + 13, fmt_time(r["median"]),
                                                                                     r["ratio"], fmt_mib(r["rss_kib"])))
            y += bar
        y += gap
    out.append('<text x="20" y="%d" fill="#555">Bars: median of several runs on fresh copies; labels: median time (multiple of floor), peak resident memory.</text>'
               % (height - 20))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def write_markdown(path, results, tools, facts, date, loads, micro, profiles, args):
    L = []
    L.append("# Benchmark results")
    L.append("")
    L.append("Generated by `bench/run.sh` on %s. Each tool stores `bench/data/app.manifest` (%d bytes) as resource "
             "type 24, name 1, language 0 in a fresh, cached copy of each generated image. Times are medians of "
             "%d runs on the 400 MiB image and %d on the others (%d for the peers), taken side by side in turn; "
             "memory is the peak resident set from `/usr/bin/time -f %%M`. The floor is `cp` of the image followed "
             "by `sync` of the copy: every tool here must write the whole new image and flush it. On XFS and btrfs "
             "the floor is `cp --reflink=always` and `sync` of the copy, which shares the image's blocks instead of "
             "copying them; each of those file systems is made in a sparse 6 GiB file on the same disk and loop-mounted."
             % (date, len(MANIFEST_BYTES), args.runs, args.runs * FAST_CASE_SCALE, args.slow_runs))
    if any(c in COLD_CASES for c in results):
        L.append("")
        L.append("The cases marked cold are not cached: before every timed run, of every tool, the page cache is "
                 "written back and dropped (`sync`, then `echo 3 > /proc/sys/vm/drop_caches`).")
    L.append("")
    L.append("![Median time as a multiple of the floor](results.svg)")
    L.append("")
    L.append("| case | tool | median | ratio to floor | peak RSS | runs (s) |")
    L.append("|---|---|---:|---:|---:|---|")
    for case_name, case in results.items():
        label = next(c[2] for c in CASES if c[0] == case_name)
        for n, r in case.items():
            ratio = "%.2f" % r["ratio"] if r.get("ratio") else "-"
            runs = ", ".join("%.3f" % t for t in r["times"])
            wrong = " (output wrong: %s)" % r["problem"] if r.get("problem") else ""
            L.append("| %s | %s%s | %s | %s | %s | %s |" % (label, r.get("label", tools[n].label), wrong, fmt_time(r["median"]), ratio,
                                                          fmt_mib(r["rss_kib"]), runs))
    L.append("")
    L.append("## Targets")
    L.append("")
    L.append("| target | measured | met |")
    L.append("|---|---|---|")
    for row in targets(results, tools):
        L.append("| %s | %s | %s |" % row)
    L.append("")
    L.append("## Machine")
    L.append("")
    for k in ["cpu", "memory", "os", "kernel", "filesystem", "filesystem xfs", "filesystem btrfs", "compiler", "tarvisk",
              "cp", "resedit", "wine"]:
        if k in facts:
            L.append("- %s: %s" % (k, facts[k]))
    L.append("- load average (1 min) before the runs: %.2f, after: %.2f%s" % (
        loads[0], loads[1], " (the machine was shared while these figures were taken: expect noise)"
        if max(loads) >= 0.5 else ""))
    if "wine" not in tools:
        L.append("- Tarvisk for Windows on Wine: not measured (no Wine or no tarvisk.exe)")
    L.append("")
    if micro:
        L.append("## In-process costs (Google Benchmark)")
        L.append("")
        L.append("`build/bench/bench/tarvisk_micro`: the resource tree decoded from an image in memory, encoded, "
                 "and the whole new image planned, for n resources (RCDATA in two languages plus string tables, "
                 "as in the 50,000-resource image). CPU time per call, the median of 5 repetitions; the growth "
                 "columns compare each size with the previous one.")
        L.append("")
        L.extend(micro_table(micro))
        if micro.get("instructions"):
            import math
            counts = micro["instructions"]
            sizes = sorted(int(n) for n in counts)
            L.append("")
            L.append("Instructions executed by one measure-and-encode of the tree (callgrind), which no cache or "
                     "neighbour can sway:")
            L.append("")
            L.append("| n | instructions | per resource | growth from the previous size | n log n would allow |")
            L.append("|---:|---:|---:|---:|---:|")
            prev = None
            for n in sizes:
                c = counts[n] if n in counts else counts[str(n)]
                grown = "%.2fx" % (c / prev[1]) if prev else "-"
                allowed = "%.2fx" % (n * math.log(n) / (prev[0] * math.log(prev[0]))) if prev else "-"
                L.append("| %d | %.1f M | %.0f | %s | %s |" % (n, c / 1e6, c / n, grown, allowed))
                prev = (n, c)
        L.append("")
    if profiles:
        L.append("## Where Tarvisk's time goes (strace -c -w and perf, one run each)")
        L.append("")
        for label, lines in profiles.items():
            if not lines:
                continue
            L.append("%s:" % label)
            L.append("")
            L.append("```")
            L.extend(lines)
            L.append("```")
            L.append("")
    with open(path, "w") as f:
        f.write("\n".join(L).rstrip() + "\n")


def micro_table(micro):
    """CPU time per call (the machine is shared, so wall time would mostly measure the neighbours),
    and how much it grew from each size to the next against what n log n allows."""
    import math
    unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
    rows = {}
    fits = {}
    for b in micro.get("benchmarks", []):
        name = b.get("aggregate_name")
        if name in ("BigO", "RMS"):
            fits.setdefault(b["run_name"], {})[name] = b
            continue
        if b.get("run_type") == "aggregate" and name != "median":
            continue  # the median of the repetitions stands; neighbours on a shared machine skew the mean
        base, _, arg = b.get("run_name", b["name"]).partition("/")
        rows.setdefault(base, {})[int(arg)] = b["cpu_time"] * unit[b["time_unit"]]
    sizes = sorted({n for r in rows.values() for n in r})
    pairs = list(zip(sizes, sizes[1:]))
    out = ["| benchmark | " + " | ".join("n = %d" % n for n in sizes) + " | " +
           " | ".join("%dk -> %dk (n log n: %.1fx)" % (a // 1000, b // 1000, b * math.log(b) / (a * math.log(a)))
                      for a, b in pairs) + " | fitted | RMS |",
           "|---|" + "---:|" * (len(sizes) + len(pairs)) + "---|---:|"]
    for base, r in rows.items():
        cells = ["-" if n not in r else "%.2f ms" % r[n] for n in sizes]
        grown = ["%.1fx" % (r[b] / r[a]) if r.get(a) and r.get(b) else "-" for a, b in pairs]
        fit = fits.get(base, {})
        big = fit.get("BigO")
        rms = fit.get("RMS")
        fitted = "%.0f ns x %s" % (big["cpu_coefficient"] * unit[big.get("time_unit", "ns")] * 1e6, big["big_o"]) if big else "-"
        out.append("| %s | %s | %s | %s | %s |" % (base, " | ".join(cells), " | ".join(grown), fitted,
                                                  "%.0f %%" % (rms["rms"] * 100) if rms else "-"))
    return out


def targets(results, tools):
    rows = []
    small = results.get("small", {})
    large = results.get("large", {})
    many = results.get("many", {})

    def met(ok):
        return "yes" if ok else "**no**"

    def against_replace(case):
        """Tarvisk's median as a multiple of the floor plus mv, where that was measured."""
        return case["tarvisk"]["median"] / case["replace"]["median"] if "replace" in case else None

    if "tarvisk" in large and large["tarvisk"].get("ratio"):
        r = against_replace(large)
        if r is not None:
            rows.append(("400 MiB image: at most 1.0 x cp + sync + mv (the floor plus freeing the old file)",
                         "%.2f x" % r, met(r <= 1.0)))
        rows.append(("400 MiB image: against cp + sync (at most 1.2 x where the mount has no online discard: "
                     "bench/no-discard.sh)", "%.2f x" % large["tarvisk"]["ratio"], "(for information)"))
        m = large["tarvisk"]["rss_kib"] / 1024.0
        rows.append(("400 MiB image: peak RSS at most 8 MiB", "%.1f MiB" % m, met(m <= 8)))
    for case, fs in (("large-xfs", "XFS"), ("large-btrfs", "btrfs")):
        cow = results.get(case, {})
        if "tarvisk" in cow and cow["tarvisk"].get("ratio"):
            r = cow["tarvisk"]["ratio"]
            rows.append(("400 MiB image on %s: at most 2 x cp --reflink=always + sync" % fs, "%.2f x (%s)" % (
                r, fmt_time(cow["tarvisk"]["median"])), met(r <= 2.0)))
            r = against_replace(cow)
            if r is not None:
                # Replacing the image also drops the old file's cached pages, which mv pays too.
                rows.append(("400 MiB image on %s: against cp --reflink=always + sync + mv" % fs, "%.2f x" % r,
                             "(for information)"))
    for case, fs in (("large-sum-xfs", "XFS"), ("large-sum-btrfs", "btrfs")):
        cow = results.get(case, {})
        if "tarvisk" in cow and "replace" in cow:
            r = against_replace(cow)
            rows.append(("400 MiB image with a checksum on %s, cold: at most 1.2 x cp --reflink=always + sync + mv" % fs,
                         "%.2f x (%s)" % (r, fmt_time(cow["tarvisk"]["median"])), met(r <= 1.2)))
            if "baseline" in cow:
                rows.append(("the same before", "%.2f x (%s)" % (cow["baseline"]["median"] / cow["replace"]["median"],
                                                                 fmt_time(cow["baseline"]["median"])), "(for information)"))
    for case, what in (("large-sum", "400 MiB image with a checksum on ext4, cold"),
                       ("many-sum", "50,000 resources with a checksum, cold")):
        c = results.get(case, {})
        if "tarvisk" in c and "replace" in c:
            rows.append(("%s: against cp + sync + mv" % what, "%.2f x (%s)" % (against_replace(c), fmt_time(c["tarvisk"]["median"])),
                         "(for information)"))
        if "tarvisk" in c and "baseline" in c:
            r = c["tarvisk"]["median"] / c["baseline"]["median"]
            rows.append(("%s: no slower than before" % what, "%.2f x the time before (%s)" % (r, fmt_time(c["baseline"]["median"])),
                         met(r <= 1.0)))
    if "tarvisk" in many and many["tarvisk"].get("ratio"):
        r = many["tarvisk"]["ratio"]
        rows.append(("50,000 resources: at most 2 x the floor", "%.2f x (%s)" % (r, fmt_time(many["tarvisk"]["median"])),
                     met(r <= 2.0)))
        r = against_replace(many)
        if r is not None:
            rows.append(("50,000 resources: against cp + sync + mv", "%.2f x" % r, "(for information)"))
        m = many["tarvisk"]["rss_kib"] / 1024.0
        rows.append(("50,000 resources: peak RSS at most 16 MiB", "%.1f MiB" % m, met(m <= 16)))
    if "tarvisk" in small and small["tarvisk"].get("ratio"):
        r = small["tarvisk"]["ratio"]
        rows.append(("95 KB image: at or below the floor", "%.2f x (%s)" % (r, fmt_time(small["tarvisk"]["median"])),
                     met(r <= 1.0)))
    for peer in ("resedit", "wine"):
        if peer not in tools:
            continue
        slower = [c for c, case in results.items() if peer in case and case["tarvisk"]["median"] >= case[peer]["median"]]
        rows.append(("faster than %s in every case" % tools[peer].label,
                     ", ".join("%s %.1fx" % (c, case[peer]["median"] / case["tarvisk"]["median"])
                               for c, case in results.items() if peer in case),
                     met(not slower)))
    return rows


def main():
    global MANIFEST, MANIFEST_BYTES
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tarvisk", required=True)
    ap.add_argument("--manifest", default=os.path.join(HERE, "data", "app.manifest"))
    ap.add_argument("--work", default=os.path.join(HERE, "work"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--slow-runs", type=int, default=3)
    ap.add_argument("--overlay-mib", type=int, default=400)
    ap.add_argument("--cases", default="small,large,many,large-xfs,large-btrfs,large-sum,large-sum-xfs,large-sum-btrfs,many-sum")
    ap.add_argument("--baseline", help="another tarvisk, measured beside this one (an earlier commit)")
    ap.add_argument("--baseline-label", default="baseline", help="what --baseline is, for the tables")
    ap.add_argument("--resedit", action="store_true", help="measure the resedit package (installed in bench/node_modules)")
    ap.add_argument("--wine-exe", help="tarvisk.exe to run under Wine")
    ap.add_argument("--micro", help="the Google Benchmark binary")
    ap.add_argument("--profile", action="store_true", help="record a perf profile of Tarvisk per case")
    ap.add_argument("--results", default=HERE, help="folder for results.md and results.svg")
    ap.add_argument("--cow-work", action="append", default=[], metavar="FS=DIR",
                    help="a folder on a mounted xfs or btrfs that shares blocks, for the large-xfs and large-btrfs cases")
    args = ap.parse_args()
    cow_work = dict(w.split("=", 1) for w in args.cow_work)
    MANIFEST = os.path.abspath(args.manifest)
    with open(MANIFEST, "rb") as f:
        MANIFEST_BYTES = f.read()
    args.tarvisk = os.path.abspath(args.tarvisk)
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    if any(c in COLD_CASES for c in args.cases.split(",")) and os.geteuid() != 0:
        print("note: not root, the page cache cannot be dropped; the cold cases are skipped", flush=True)
        args.cases = ",".join(c for c in args.cases.split(",") if c not in COLD_CASES)
    work = os.path.abspath(args.work)
    os.makedirs(args.results, exist_ok=True)
    images = os.path.join(work, "images")
    os.makedirs(work, exist_ok=True)
    log = os.path.join(work, "tools.log")
    open(log, "w").close()

    subprocess.run([sys.executable, os.path.join(HERE, "gen", "make_images.py"), "--out", images, "--manifest",
                    MANIFEST, "--overlay-mib", str(args.overlay_mib)], check=True)

    tools = make_tools(args, work)
    cow_tools = make_tools(args, work, reflink=True)
    for name in ("resedit", "wine"):
        if name in tools:
            cow_tools[name] = tools[name]
    if "wine" in tools:
        print("preparing the Wine prefix (not timed)", flush=True)
        env = tools["wine"].env
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A persistent server, as a Windows machine has its services running before any tool starts.
        subprocess.run(["wineserver", "-p"], env=env)

    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    facts = machine_facts(work, tools)
    wanted = args.cases.split(",")
    results = {}
    load_before = os.getloadavg()[0]
    try:
        for i, (name, file, label, _) in enumerate(CASES):
            if name not in wanted:
                continue
            if name in COW_CASES:
                fs = COW_CASES[name]
                if fs not in cow_work:
                    print("%s: skipped (no %s file system to run on; bench/run.sh mounts one as root)" % (label, fs),
                          flush=True)
                    continue
                print("%s:" % label, flush=True)
                facts["filesystem " + fs] = version_of(["findmnt", "-no", "FSTYPE,SOURCE,OPTIONS", "-T", cow_work[fs]])
                results[name] = bench_case(name, os.path.join(images, file), cow_tools, cow_work[fs], log, i,
                                           name in COLD_CASES)
            else:
                print("%s:" % label, flush=True)
                results[name] = bench_case(name, os.path.join(images, file), tools, work, log, i, name in COLD_CASES)
            floor = results[name]["floor"]["median"]
            for r in results[name].values():
                r["ratio"] = r["median"] / floor if floor else None
    finally:
        if "wine" in tools:
            subprocess.run(["wineserver", "-k"], env=tools["wine"].env)
    load_after = os.getloadavg()[0]

    micro = run_micro(args.micro, work) if args.micro else None
    if micro is not None:
        micro["instructions"] = instruction_counts(args.micro, work)
    profiles = {}
    if args.profile:
        for name, file, label, _ in CASES:
            if name in results:
                where = cow_work[COW_CASES[name]] if name in COW_CASES else work
                profiles[label] = profile(args.tarvisk, os.path.join(images, file), where, name)

    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump({"date": date, "facts": facts, "results": results, "loads": [load_before, load_after]}, f, indent=1)
    write_markdown(os.path.join(args.results, "results.md"), results, tools, facts, date, (load_before, load_after),
                   micro, profiles, args)
    write_svg(os.path.join(args.results, "results.svg"), results, tools, facts, date)
    print("wrote %s and %s" % (os.path.join(args.results, "results.md"), os.path.join(args.results, "results.svg")))
    bad = [(c, n) for c, case in results.items() for n, r in case.items() if r.get("problem")]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
