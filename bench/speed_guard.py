"""The speed guard: the decoder's instruction counts per byte of frame text,
against a committed baseline, so that a slower decoder fails the tests.

    .venv/bin/python bench/speed_guard.py [--binary build/release/speed_guard] [--update]

Time on a shared machine moves by more than the slowdowns worth catching;
the instructions a program executes do not: callgrind counts the same
number for the same binary and inputs. The guard's corpus is made here
(bench_decode.py's generator, in the shapes the game writes, with fixed
seeds), one group per mode as bench_decode.py has them, and decoded by
bench/speed_guard.cpp under callgrind twice:

- the decoder's own work: the whole decode of each group with liblzma's
  entry points left uncounted. What liblzma's decompression costs depends on
  its version (5.4 and 5.8 differ), so this is the guarded figure, per byte
  of frame text;
- the whole decode and the floor (liblzma alone decompressing the same
  blocks into a touched buffer), reported as their ratio.

The baseline (bench/speed_baseline.json) holds the own-work counts per
compiler and version: the same source compiles to other instructions under
another compiler. A count more than --tolerance (3%) above its baseline
fails. A compiler without a baseline is compared with the nearest version of
the same compiler at a wide tolerance (20%): a gross slowdown still fails,
the small drift between compiler releases does not, and the output says that
the guard ran that way until a baseline for the compiler is committed.

A deliberate change of the counts (a feature that costs instructions, a
faster parser) updates the baseline with --update, committed with a message
that says why the figure moved.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_decode import DECIMAL_DRUMS, MODE_NAMES, Play  # noqa: E402
from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
BASELINE = ROOT / "bench" / "speed_baseline.json"
TOLERANCE = 0.03
FOREIGN_TOLERANCE = 0.20  # against the nearest compiler's baseline

# Group -> (mode, decimal drum x, frames per play). Three plays each, seeds
# chosen so every group has older- and newer-client plays and a 4-byte id:
# about 0.6 to 0.9 MB of frame text per group, a few seconds under callgrind.
GROUPS = {
    MODE_NAMES[MODE_STD]: (MODE_STD, False, 8_000),
    MODE_NAMES[MODE_TAIKO]: (MODE_TAIKO, False, 20_000),
    MODE_NAMES[MODE_CTB]: (MODE_CTB, False, 12_000),
    MODE_NAMES[MODE_MANIA]: (MODE_MANIA, False, 15_000),
    DECIMAL_DRUMS: (MODE_TAIKO, True, 15_000),
}
SEEDS = (2, 3, 4)  # 2: the newer client's; 4: a 4-byte online id
# liblzma's entry points that the decoder calls: uncounted in the own-work run.
LIBLZMA_CALLS = ("lzma_alone_decoder", "lzma_code", "lzma_end", "lzma_raw_decoder_memusage")


def write_corpus(folder: pathlib.Path) -> pathlib.Path:
    """The corpus files and the manifest speed_guard reads."""
    lines = []
    for group, (mode, decimal_x, frames) in GROUPS.items():
        for seed in SEEDS:
            play = Play(mode, frames, 100 * mode + seed + (50 if decimal_x else 0), folder, decimal_x=decimal_x)
            offset = play.data.index(play.block)
            lines.append(f"{group}\t{play.path}\t{offset}\t{len(play.block)}\t{len(play.text)}\n")
    manifest = folder / "manifest.tsv"
    manifest.write_text("".join(lines))
    return manifest


def callgrind(binary: str, manifest: pathlib.Path, out: pathlib.Path, kind: str) -> subprocess.Popen:
    """Starts one counted run; `kind` "decode" counts the decoder without
    liblzma (collection toggled off inside its entry points), "both" the floor
    and the whole decode of every group. speed_guard zeroes the counters
    before each measured part and dumps them after it, by name."""
    options = ["--tool=callgrind", f"--callgrind-out-file={out}/{kind}.%p"]
    if kind == "decode":
        options += [f"--toggle-collect={name}" for name in LIBLZMA_CALLS]
    options.append("--collect-atstart=yes")  # after the toggles, each of which turns it off
    return subprocess.Popen(
        ["valgrind", *options, binary, str(manifest), kind], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )


def dumped_counts(out: pathlib.Path, kind: str) -> dict[str, int]:
    """The instruction count of each named dump of one run ("floor cursor": ...)."""
    counts = {}
    for dump in out.glob(f"{kind}.*"):
        text = dump.read_text()
        name = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
        total = re.search(r"^summary: (\d+)", text, re.M)
        if name and total:
            counts[name.group(1)] = int(total.group(1))
    return counts


def finished(run: subprocess.Popen, what: str) -> str:
    stdout, stderr = run.communicate()
    if run.returncode != 0:
        raise SystemExit(f"speed guard: the {what} run failed (exit {run.returncode}):\n{stderr}{stdout}")
    return stdout


def measure(binary: str) -> tuple[dict, dict]:
    """Per group: own instructions per text byte, and the whole decode's and the floor's per text byte."""
    with tempfile.TemporaryDirectory(prefix="kadenzo-guard-") as name:
        folder = pathlib.Path(os.environ.get("GUARD_KEEP", name))
        manifest = write_corpus(folder)
        out = folder / "callgrind"
        out.mkdir()
        runs = {kind: callgrind(binary, manifest, out, kind) for kind in ("decode", "both")}
        printed = {kind: finished(run, kind) for kind, run in runs.items()}
        own, both = dumped_counts(out, "decode"), dumped_counts(out, "both")
    counts, ratios = {}, {}
    for line in printed["decode"].splitlines():
        group, _files, _frames, text_bytes = line.split("\t")
        size = int(text_bytes)
        try:
            counts[group] = round(own[f"decode {group}"] / size, 3)
            ratios[group] = {"floor": both[f"floor {group}"] / size, "whole": both[f"decode {group}"] / size}
        except KeyError as missing:
            raise SystemExit(f"speed guard: callgrind wrote no count for {missing}") from None
    return counts, ratios


def version_key(compiler: str) -> tuple[str, tuple[int, ...]]:
    family, _, version = compiler.partition(" ")
    return family, tuple(int(part) for part in re.findall(r"\d+", version))


def reference(baseline: dict, compiler: str) -> tuple[str | None, float]:
    """The baseline entry to compare with and the tolerance that applies."""
    if compiler in baseline:
        return compiler, TOLERANCE
    family, version = version_key(compiler)
    same = [name for name in baseline if version_key(name)[0] == family]
    if not same:
        return None, FOREIGN_TOLERANCE

    def distance(name: str) -> tuple[int, ...]:
        other = version_key(name)[1]
        return tuple(abs(a - b) for a, b in zip(version + (0,) * 3, other + (0,) * 3))

    # Of two as near, the later version: compilers move forward.
    return min(
        same, key=lambda name: (distance(name), tuple(-part for part in version_key(name)[1]))
    ), FOREIGN_TOLERANCE


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", default=str(ROOT / "build" / "release" / "speed_guard"))
    parser.add_argument("--baseline", default=str(BASELINE))
    parser.add_argument("--update", action="store_true", help="write this compiler's counts into the baseline")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("speed guard: valgrind is not installed (scripts/setup.sh test installs it)")
    if not os.access(args.binary, os.X_OK):
        raise SystemExit(f"speed guard: no {args.binary}; build with -DKADENZO_BUILD_BENCH=ON (scripts/setup.sh test)")
    compiler = subprocess.run([args.binary, "--compiler"], capture_output=True, text=True, check=True).stdout.strip()
    counts, ratios = measure(args.binary)

    path = pathlib.Path(args.baseline)
    baseline = json.loads(path.read_text()) if path.exists() else {}
    entries = baseline.get("counts", {})
    if args.update:
        entries[compiler] = counts
        baseline = {
            "about": "Instructions of the decoder's own work per byte of frame text, per compiler "
            "(bench/speed_guard.py). Update with --update and say in the commit why they moved.",
            "counts": dict(sorted(entries.items())),
        }
        path.write_text(json.dumps(baseline, indent=2) + "\n")
        print(f"speed guard: wrote the counts of {compiler} to {path}")

    name, tolerance = reference(entries, compiler)
    old = entries.get(name, {}) if name else {}
    print(f"speed guard: {compiler}; instructions per frame-text byte (callgrind), baseline {name or 'none'}")
    print(f"{'group':10} {'baseline':>9} {'now':>9} {'change':>8}   {'whole':>7} {'floor':>7} {'whole/floor':>11}")
    worse = []
    for group, count in counts.items():
        before = old.get(group)
        change = f"{count / before - 1:+8.1%}" if before else f"{'new':>8}"
        if before and count > before * (1 + tolerance):
            worse.append(group)
        r = ratios[group]
        print(
            f"{group:10} {before or float('nan'):9.3f} {count:9.3f} {change}   "
            f"{r['whole']:7.2f} {r['floor']:7.2f} {r['whole'] / r['floor']:11.3f}"
        )
    if name != compiler and name is not None:
        print(
            f"speed guard: no baseline for {compiler}; compared with {name} at {tolerance:.0%} instead of "
            f"{TOLERANCE:.0%}. Commit a baseline for it: .venv/bin/python bench/speed_guard.py --update"
        )
    elif name is None:
        print(f"speed guard: no baseline for {compiler} or its kind; nothing compared (add one with --update)")
    if worse:
        print(
            f"speed guard: FAILED: {', '.join(worse)} past {tolerance:.0%} above the baseline. If the cost is "
            "deliberate, run `.venv/bin/python bench/speed_guard.py --update` and commit bench/speed_baseline.json "
            "with a message that says why the decoder does more work."
        )
        sys.exit(1)
    print("speed guard: passed")


if __name__ == "__main__":
    main()
