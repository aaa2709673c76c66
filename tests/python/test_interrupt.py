# SPDX-License-Identifier: BSD-3-Clause
"""Ctrl-C during a call: SIGINT sent to a process running a call of several
seconds raises KeyboardInterrupt within about a second, leaves no thread
behind, and the process's next call gives the whole, correct result."""

import json
import signal
import subprocess
import sys
import time
from pathlib import Path

CHILD = Path(__file__).with_name("child_calls.py")


def test_sigint_stops_a_running_call():
    child = subprocess.Popen([sys.executable, CHILD, "interrupt"], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().strip() == "calling"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().strip()
        latency = time.monotonic() - sent
        result = json.loads(child.stdout.read().splitlines()[-1])
        assert child.wait(timeout=120) == 0
    finally:
        child.kill()
    assert line == "interrupted", result
    assert latency < 1.0, f"KeyboardInterrupt {latency:.2f} s after SIGINT"
    assert result["threads_left"] == 0 and result["next_call_whole"], result
