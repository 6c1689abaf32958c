"""bin/dcjsim as a child process on a free port, for the binding tests."""

import os
import re
import subprocess
from typing import List


class Simulator:
    """Starts dcjsim with args; ``port`` is its port. ``stop()`` returns its exchange log lines.

    It also stops by itself after a minute without connections, so a test
    that dies leaves nothing running.
    """

    def __init__(self, *args: str) -> None:
        exe = os.environ["DCJSIM"]
        self.proc = subprocess.Popen(
            [exe, "--idle-exit", "60", *args], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True
        )
        line = self.proc.stdout.readline()
        match = re.match(r"dcjsim listening on (\S+):(\d+)$", line.strip())
        if match is None:
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("dcjsim did not start: %r" % line)
        self.ip = match.group(1)
        self.port = int(match.group(2))

    def stop(self) -> List[str]:
        """Stops the simulator; its log, one line per exchange, complete."""
        if self.proc.poll() is None:
            self.proc.terminate()
        out, _ = self.proc.communicate(timeout=30)
        return out.splitlines()

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()


def exchanges(log: List[str], cmd: str) -> int:
    """How many exchanges of command cmd (e.g. "0xA6") the log shows."""
    return sum(1 for line in log if (" %s " % cmd) in line)
