#!/usr/bin/env bash
# The bindings as installed beside the driver (<prefix>/python/dcj,
# <prefix>/java/dcj.jar, <prefix>/lib): each finds the driver of its own
# tree by itself and works against a simulated counter.
#   installed_test.sh PYTHON CMAKE BUILD_DIR WORK_DIR
set -euo pipefail
python=$1 cmake=$2 build=$3 work=$4
rm -rf "$work"
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
prefix=$(cd "$work/prefix" && pwd -P)
unset DCJ_DRIVER PYTHONPATH
cd "$work"

exec {sim}< <(exec "$DCJSIM" --idle-exit 30 --quiet)
simpid=$!
trap 'kill "$simpid" 2>/dev/null || true' EXIT
read -r line <&"$sim"
port=${line##*:}

PYTHONPATH=$prefix/python "$python" - "$prefix" "$port" <<'PY'
import sys
import dcj
prefix, port = sys.argv[1], int(sys.argv[2])
driver = dcj.Driver()
assert driver.path == prefix + "/lib/MERV_DCJ_QOLT.so", driver.path
assert driver.status("127.0.0.1", port)["status"] == "01"
print("python: driver", driver.path)
PY

cat > Installed.java <<'JAVA'
public class Installed {
    public static void main(String[] args) {
        dcj.DcjDriver driver = new dcj.DcjDriver();
        if (!driver.getPath().equals(args[0] + "/lib/MERV_DCJ_QOLT.so")) throw new AssertionError(driver.getPath());
        if (!"01".equals(driver.status("127.0.0.1", Integer.parseInt(args[1])).get("status"))) throw new AssertionError("status");
        System.out.println("java: driver " + driver.getPath());
    }
}
JAVA
"$DCJ_JAVA" -cp "$prefix/java/dcj.jar:$DCJ_JNA_JAR" Installed.java "$prefix" "$port"
