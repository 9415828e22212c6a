#!/usr/bin/env python3
"""Checks the hosted CI workflow, .github/workflows/ci.yml, without running it.

    python3 scripts/check-workflow.py

1. action-validator (setup.sh workflow installs it) checks it against the
   schema of GitHub Actions workflows.
2. Every name it uses is there: each script and file of the repository it
   names is tracked; each preset is in CMakePresets.json; each artifact a
   job downloads is uploaded by a job it needs; each file an upload takes
   has been made by the builds that the test command has just run (the
   Debian job runs that command); and each file a later job takes out of an
   artifact is in it.

Run it after the native, windows and release builds (the test command's
workflow leg waits for them). The workflow's own format is simple enough to
be read line by line, so no YAML reader is needed.
"""

import fnmatch
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKFLOW = ".github/workflows/ci.yml"
VALIDATOR = os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "dl2torrent",
                         "action-validator-0.6.0", "node_modules", "@action-validator", "cli", "cli.mjs")
# Names of the repository as the workflow's commands use them.
REPOSITORY_PATH = re.compile(r"(?<![\w/\\.-])((?:\.ci|scripts|tests|cmake|packaging|doc|src)/[\w./-]*\w)")

problems = []


def jobs(text):
    """Each job's name and its lines, in order."""
    found, name = {}, None
    in_jobs = False
    for line in text.split("\n"):
        if line.startswith("jobs:"):
            in_jobs = True
        elif in_jobs and re.match(r"^  [\w-]+:\s*$", line):
            name = line.strip()[:-1]
            found[name] = []
        elif in_jobs and name:
            found[name].append(line)
    return found


def steps_using(lines, action):
    """The `with:` values of each step of a job that uses `action`: its name, and its path as a list.
    Steps start at six blanks, their `with:` keys at ten."""
    steps = []
    for line in lines:
        if line.startswith("      - "):
            steps.append([line])
        elif steps:
            steps[-1].append(line)
    found = []
    for step in steps:
        if not any(re.search(r"uses: actions/%s@" % action, line) for line in step):
            continue
        values, key = {"path": []}, None
        for line in step[step.index(next(l for l in step if l.strip() == "with:")) + 1:]:
            match = re.match(r"^ {10}([\w-]+):\s*(.*)$", line)
            if match:
                key, value = match.groups()
                if key == "path":
                    values["path"] += [value] if value not in ("", "|") else []
                else:
                    values[key] = value
            elif key == "path" and line.strip():
                values["path"].append(line.strip())
        found.append(values)
    return found


def needs(lines):
    for line in lines:
        match = re.match(r"^\s+needs:\s*\[?([\w, -]+)\]?\s*$", line)
        if match:
            return [n.strip() for n in match.group(1).split(",")]
    return []


def artifact_files(paths):
    """What an upload of `paths` holds, relative to their common folder, as upload-artifact stores it."""
    files = []
    for pattern in paths:
        base = pattern.rstrip("/")
        if os.path.isdir(os.path.join(ROOT, base)):
            for folder, _, names in os.walk(os.path.join(ROOT, base)):
                files += [os.path.relpath(os.path.join(folder, n), ROOT) for n in names]
            continue
        matched = [f for f in files_in(os.path.dirname(base)) if fnmatch.fnmatch(f, base)]
        if not matched:
            problems.append(f"the upload of {pattern} finds no file: no build made it")
        files += matched
    if not files:
        return []
    common = os.path.commonpath([os.path.dirname(f) for f in files])
    return [os.path.relpath(f, common).replace(os.sep, "/") for f in files]


def files_in(folder):
    """The entries of `folder`, named from the repository's root."""
    full = os.path.join(ROOT, folder)
    return [os.path.join(folder, n) for n in os.listdir(full)] if os.path.isdir(full) else []


def main():
    if not os.path.exists(VALIDATOR):
        sys.exit("check-workflow: no action-validator (bash scripts/setup.sh workflow)")
    validated = subprocess.run(["node", VALIDATOR, os.path.join(ROOT, WORKFLOW)], capture_output=True, text=True)
    if validated.returncode != 0:
        problems.append("action-validator:\n" + validated.stdout + validated.stderr)

    with open(os.path.join(ROOT, WORKFLOW)) as f:
        text = f.read()
    tracked = set(subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True,
                                 check=True).stdout.split("\n"))
    folders = {os.path.dirname(t) for t in tracked}
    for name in sorted(set(REPOSITORY_PATH.findall(text))):
        if name not in tracked and name.rstrip("/") not in folders:
            problems.append(f"{name} is not a file of the repository")

    with open(os.path.join(ROOT, "CMakePresets.json")) as f:
        presets = json.load(f)
    for workflow, name in re.findall(r"cmake (--workflow )?--preset ([\w-]+)", text):
        kind = "workflowPresets" if workflow else "configurePresets"
        if name not in {p["name"] for p in presets.get(kind, [])}:
            problems.append(f"no {kind[:-1]} {name} in CMakePresets.json")

    all_jobs = jobs(text)
    uploads = {}
    for job, lines in all_jobs.items():
        for step in steps_using(lines, "upload-artifact"):
            uploads[step.get("name")] = (job, artifact_files(step["path"]))
    for job, lines in all_jobs.items():
        for step in steps_using(lines, "download-artifact"):
            name, where = step.get("name"), (step["path"] or [""])[0]
            if name not in uploads:
                problems.append(f"{job} downloads {name}, which no job uploads")
                continue
            if uploads[name][0] not in needs(lines):
                problems.append(f"{job} downloads {name} but does not need {uploads[name][0]}, which uploads it")
            held = uploads[name][1]
            held_folders = {"/".join(h.split("/")[:i]) for h in held for i in range(1, h.count("/") + 1)}
            body = "\n".join(lines)
            for used in re.findall(r"(?<![\w-])%s[\\/]([\w*.\\/-]+)" % re.escape(where), body):
                used = used.replace("\\", "/").rstrip("/")
                if not any(fnmatch.fnmatch(h, used) for h in held) and used not in held_folders:
                    problems.append(f"{job} takes {where}/{used} out of {name}, which does not hold it")

    for problem in problems:
        print("check-workflow: " + problem)
    print(f"check-workflow: {WORKFLOW}: {len(all_jobs)} jobs, {len(uploads)} artifacts, "
          f"{len(problems)} problems")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
