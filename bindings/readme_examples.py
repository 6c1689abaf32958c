#!/usr/bin/env python3
"""Runs the README's host examples as a newcomer would, against the simulator.

Each example is the fenced block after a line "<!-- example: NAME -->" in the
README; it is written out under NAME in a fresh folder and run there with the
simulator's address and port, and must download the simulator's files into
./upload/ of that folder.

    readme_examples.py README.md
Environment: DCJSIM, DCJ_DRIVER, DCJ_JAVA, DCJ_CLASSPATH, DCJ_TEST_TMP.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

FILES = 3


def examples(readme: str) -> dict:
    found = {}
    for match in re.finditer(r"<!-- example: (\S+) -->\n```\w*\n(.*?)```", readme, re.S):
        found[match.group(1)] = match.group(2)
    return found


def run_against_simulator(command: list, cwd: str, env: dict) -> str:
    sim = subprocess.Popen(
        [os.environ["DCJSIM"], "--generate", str(FILES), "--idle-exit", "60", "--quiet"],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        port = re.match(r"dcjsim listening on \S+:(\d+)", sim.stdout.readline()).group(1)
        done = subprocess.run(command + ["127.0.0.1", port], cwd=cwd, capture_output=True, text=True, timeout=120,
                              env=env)
    finally:
        sim.kill()
        sim.wait()
    if done.returncode != 0:
        raise AssertionError("exit %d\n%s%s" % (done.returncode, done.stdout, done.stderr))
    return done.stdout


def check(name: str, source: str, command: list, env: dict) -> None:
    base = os.environ.get("DCJ_TEST_TMP")
    if base:
        os.makedirs(base, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="dcj-example-", dir=base)
    try:
        with open(os.path.join(folder, name), "w") as f:
            f.write(source)
        out = run_against_simulator(command + [name], folder, env)
        delivered = sorted(os.listdir(os.path.join(folder, "upload")))
        if len(delivered) != FILES or "downloaded %d file(s)" % FILES not in out:
            raise AssertionError("%s printed:\n%s\nand delivered %s" % (name, out, delivered))
        for file in delivered:
            if file not in out:
                raise AssertionError("%s does not list %s:\n%s" % (name, file, out))
        print("ok     %s (%d lines)" % (name, source.count("\n")))
    finally:
        shutil.rmtree(folder, True)


def main() -> int:
    with open(sys.argv[1], encoding="utf-8") as f:
        found = examples(f.read())
    # The Java example finds the driver beside dcj.jar, as the README runs it.
    without_driver = {k: v for k, v in os.environ.items() if k != "DCJ_DRIVER"}
    wanted = {
        "host.py": ([sys.executable], dict(os.environ)),
        "Host.java": ([os.environ["DCJ_JAVA"], "-cp", os.environ["DCJ_CLASSPATH"]], without_driver),
    }
    failed = 0
    for name, (command, env) in wanted.items():
        try:
            if name not in found:
                raise AssertionError("no example %s in the README" % name)
            check(name, found[name], command, env)
        except Exception as e:  # noqa: BLE001 - every example is reported
            failed += 1
            print("FAILED %s: %s" % (name, e))
    print("%d passed, %d failed" % (len(wanted) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
