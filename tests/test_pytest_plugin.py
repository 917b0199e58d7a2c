"""The pytest plugin for host-script authors, as an installed package gives it: each case in a fresh
interpreter and a fresh pytest, which finds the plugin through its entry point."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "test_typed_host_script.py"

# Runs pytest on the example the way a machine without pseudo-terminals would: no os.openpty and
# no terminal modules. pyserial is imported first, while it can still find its own.
WITHOUT_PTYS = """
import os, sys
import serial
del os.openpty
for name in ("termios", "tty", "fcntl"):
    sys.modules[name] = None
import pytest
sys.exit(pytest.main(sys.argv[1:]))
"""


def run_pytest(*args, prelude=None):
    code = ["-m", "pytest"] if prelude is None else ["-c", prelude]
    result = subprocess.run([sys.executable, *code, "-p", "no:cacheprovider", "-q", str(EXAMPLE), *args],
                            capture_output=True, text=True, timeout=120, cwd=str(EXAMPLE.parent))
    return result.returncode, result.stdout + result.stderr


@pytest.mark.parametrize("args", [[], ["--simulated-device-transport=tcp"]], ids=["default line", "tcp chosen"])
def test_the_example_host_test_passes(args):
    code, output = run_pytest(*args)
    assert code == 0, output
    assert "3 passed" in output, output


def test_without_pseudo_terminals_the_device_is_served_over_tcp(tmp_path):
    (tmp_path / "test_url.py").write_text(textwrap.dedent("""
        def test_url(simulated_device):
            assert simulated_device.url.startswith("socket://127.0.0.1:")
    """))
    code, output = run_pytest(str(tmp_path / "test_url.py"), prelude=WITHOUT_PTYS)
    assert code == 0, output
    assert "4 passed" in output, output


def test_loading_the_plugin_starts_nothing_and_imports_no_port_or_module():
    """pytest loads it in every run of an environment that has the package installed."""
    code = textwrap.dedent("""
        import sys, threading
        before = set(sys.modules)
        import downloader_sim.pytest_plugin
        loaded = set(sys.modules) - before
        print(sorted(name for name in loaded if name.split(".")[0] in ("serial", "downloader")),
              threading.active_count())
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout == "[] 1\n", result.stderr
