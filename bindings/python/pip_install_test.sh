#!/usr/bin/env bash
# The package installs offline with pip, as the README says, into a fresh
# virtual environment, and works from there against a simulated counter.
#   pip_install_test.sh PYTHON PACKAGE_DIR WORK_DIR
set -euo pipefail
python=$1 package=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
# Debian's setuptools is used as it is: no build isolation, no index.
"$python" -m venv --system-site-packages "$work/venv"
# From a copy: an in-tree build leaves build/ and dcj.egg-info/ behind.
mkdir "$work/src"
cp -R "$package/pyproject.toml" "$package/dcj" "$work/src/"
"$work/venv/bin/python" -m pip install -q --no-build-isolation --no-index "$work/src"
cd "$work"
unset PYTHONPATH  # the installed copy, not the source tree
"$work/venv/bin/python" - <<'PY'
import os, re, subprocess
import dcj
assert "site-packages" in dcj.__file__, dcj.__file__
sim = subprocess.Popen([os.environ["DCJSIM"], "--idle-exit", "30"], stdout=subprocess.PIPE, text=True)
try:
    port = int(re.match(r"dcjsim listening on \S+:(\d+)", sim.stdout.readline()).group(1))
    status = dcj.Driver(os.environ["DCJ_DRIVER"]).status("127.0.0.1", port)
    assert status["status"] == "01", status
    print("installed dcj from", os.path.dirname(dcj.__file__), "status", status["status"])
finally:
    sim.kill()
    sim.wait()
PY
