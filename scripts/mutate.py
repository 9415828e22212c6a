#!/usr/bin/env python3
"""Mutation testing: how many small faults put into src/ the native suite catches.

    python3 scripts/mutate.py [--n 40] [--seed 1] [--commit REV] [--keep]

It unpacks a commit (git archive) into build/mutate/: REV, or else the
working tree as it is (scripts/commit-to-build.sh). It builds it once with
the dev preset, and runs every test once to know the suite passes and how
long it takes. Then it picks --n mutants at random (--seed makes the pick
repeatable): one operator applied at one place of a line of src/ that the
native build compiles, such as `<` for `<=`, `-` for `+`, `||` for `&&`,
`!` dropped, a number one larger or smaller, `true` for `false`, a `break`
or a `return` that returns early. Each is built and tested in turn, the
unit label first, then the rest; the first failing test ends the run.

A mutant is killed when a test fails or the suite runs three times as long
as the clean run (a hang), survives when every test passes, and does not
count when it does not compile. The score is killed / (killed + survived).
Survivors are listed with their place and change, as `git diff` would show
them: each is a fault no test notices, or a change that alters nothing.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (name, pattern, replacement): each match of the pattern on a line is one
# place where the operator applies. Patterns keep clear of ->, <<, >>, ++,
# --, templates and includes, so most mutants compile.
OPERATORS = [
    ("< to <=", r"(?<![<\-])<(?![<=])(?=\s)", "<="),
    ("<= to <", r"<=", "<"),
    ("> to >=", r"(?<![>\-])>(?![>=])(?=\s)", ">="),
    (">= to >", r">=", ">"),
    ("== to !=", r"==", "!="),
    ("!= to ==", r"!=", "=="),
    ("&& to ||", r"&&", "||"),
    ("|| to &&", r"\|\|", "&&"),
    ("+ to -", r"(?<=\s)\+(?=\s)", "-"),
    ("- to +", r"(?<=\s)-(?=\s)", "+"),
    ("+= to -=", r"\+=", "-="),
    ("-= to +=", r"-=", "+="),
    ("* to /", r"(?<=\s)\*(?=\s)", "/"),
    ("! dropped", r"!(?=[\w(])", ""),
    ("true to false", r"\btrue\b", "false"),
    ("false to true", r"\bfalse\b", "true"),
    ("TRUE to FALSE", r"\bTRUE\b", "FALSE"),
    ("number + 1", r"(?<![\w.])(\d+)(?![\w.])", lambda m: str(int(m.group(1)) + 1)),
    ("number - 1", r"(?<![\w.])([1-9]\d*)(?![\w.])", lambda m: str(int(m.group(1)) - 1)),
    ("break to continue", r"\bbreak;", "continue;"),
    ("return early", r"^(\s*)(?=if \(|for \(|while \()", r"\1return {};"),
]

# Preprocessor lines and comments; the codebase writes its comments with //.
SKIPPED_LINE = re.compile(r"^\s*(#|//|static_assert|namespace|using |template)")


def run(command, cwd, timeout=None):
    """Runs `command` quietly; its exit status, or None when it ran past `timeout` seconds."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return None


def compiled_sources(tree, build):
    """The files under src/ that the build compiles, and the headers beside them."""
    with open(os.path.join(build, "compile_commands.json")) as f:
        units = sorted({os.path.relpath(entry["file"], tree) for entry in json.load(f)})
    sources = [u for u in units if u.startswith("src/")]
    for directory in sorted({os.path.dirname(u) for u in sources}):
        sources += [os.path.join(directory, name) for name in sorted(os.listdir(os.path.join(tree, directory)))
                    if name.endswith(".h")]
    return sources


def places(tree, sources):
    """Every mutant there is: (file, line index, operator name, the line as mutated)."""
    found = []
    for source in sources:
        with open(os.path.join(tree, source)) as f:
            lines = f.read().split("\n")
        for number, line in enumerate(lines):
            if SKIPPED_LINE.match(line):
                continue
            # Text in quotes is the program's messages, not its logic.
            code = re.sub(r'"(\\.|[^"\\])*"', lambda m: " " * len(m.group(0)), line.split("//")[0])
            for name, pattern, replacement in OPERATORS:
                for match in re.finditer(pattern, code, re.M):
                    new = replacement(match) if callable(replacement) else match.expand(replacement)
                    found.append((source, number, name, line[:match.start()] + new + line[match.end():]))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=40, help="how many mutants (default 40)")
    parser.add_argument("--seed", type=int, default=1, help="the random pick (default 1)")
    parser.add_argument("--commit", help="what to mutate (default: the working tree as it is)")
    parser.add_argument("--keep", action="store_true", help="leave build/mutate/ behind")
    args = parser.parse_args()

    scratch = os.path.join(ROOT, "build", "mutate")
    tree = os.path.join(scratch, "source")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(tree)
    commit = subprocess.run(["bash", "scripts/commit-to-build.sh"] + ([args.commit] if args.commit else []), cwd=ROOT,
                            check=True, capture_output=True, text=True).stdout.strip()[:12]
    archive = subprocess.run(["git", "archive", commit], cwd=ROOT, check=True, capture_output=True).stdout
    subprocess.run(["tar", "-xf", "-", "-C", tree], input=archive, check=True)
    build = os.path.join(tree, "build", "dev")
    jobs = str(os.cpu_count() or 2)
    if run(["cmake", "--preset", "dev", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"], tree) != 0 or \
            run(["cmake", "--build", "--preset", "dev", "-j", jobs], tree) != 0:
        sys.exit("mutate: the clean build failed; see: cmake --workflow --preset dev")
    test = ["ctest", "--test-dir", build, "-j", str(4 * int(jobs)), "--stop-on-failure"]
    started = time.monotonic()
    if run(test, tree) != 0:
        sys.exit("mutate: the suite fails without a mutant; see: cmake --workflow --preset dev")
    limit = 3 * (time.monotonic() - started) + 30

    sources = compiled_sources(tree, build)
    candidates = places(tree, sources)
    chosen = random.Random(args.seed).sample(candidates, min(args.n, len(candidates)))
    print(f"mutate: {len(chosen)} of {len(candidates)} places in {len(sources)} files, seed {args.seed}, "
          f"commit {commit}; the clean suite took {limit / 3 - 10:.0f} s")
    counts = {"killed": 0, "survived": 0, "no build": 0}
    survivors = []
    for i, (source, number, name, after) in enumerate(chosen, 1):
        path = os.path.join(tree, source)
        with open(path) as f:
            original = f.read()
        lines = original.split("\n")
        before, lines[number] = lines[number], after
        with open(path, "w") as f:
            f.write("\n".join(lines))
        try:
            if run(["cmake", "--build", build, "-j", jobs], tree) != 0:
                verdict = "no build"
            else:
                status = run(test + ["-L", "^unit$"], tree, limit)
                if status == 0:
                    status = run(test + ["-LE", "^unit$"], tree, limit)
                verdict = "survived" if status == 0 else "killed"
        finally:
            with open(path, "w") as f:
                f.write(original)
        counts[verdict] += 1
        print(f"[{i:3}/{len(chosen)}] {verdict:8}  {source}:{number + 1}  {name}", flush=True)
        if verdict == "survived":
            survivors.append((source, number + 1, before.strip(), after.strip()))
    # The last mutant's objects are rebuilt from the original before --keep leaves them.
    run(["cmake", "--build", build, "-j", jobs], tree)
    scored = counts["killed"] + counts["survived"]
    print()
    for source, number, before, after in survivors:
        print(f"survived {source}:{number}\n  - {before}\n  + {after}")
    score = counts["killed"] / scored if scored else 0
    print(f"\nscore {score:.2f}: {counts['killed']} killed, {counts['survived']} survived, "
          f"{counts['no build']} did not build (seed {args.seed}, {len(chosen)} mutants of {commit})")
    if not args.keep:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
