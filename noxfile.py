"""Build the module from the tree and run the whole suite on every supported CPython.

    nox -s tests-3.12          # one version
    nox -s tests-3.13t         # the free-threaded build of 3.13
    nox -s tests               # all of them, one after another
    nox -s tests-3.8 -- -x     # arguments after -- go to pytest

With DOWNLOADER_WHEELS=DIR a session installs the interpreter's wheel from DIR (as CI's
.ci/lib/wheels.bash builds them, once each) instead of building the module from the tree.

Interpreters are found through pyenv when it is there (its newest installed patch
release of each version), then in the prefix named by DOWNLOADER_PY313T (default
/var/cache/downloader-ci/py313t, where .ci/lib/build-py313t.sh builds 3.13t), otherwise
on PATH as python3.X. A machine without 3.14 or 3.15 runs those two inside a Debian root
that has them: .ci/forky nox -s tests-3.14
"""
import glob
import os
import shutil
import subprocess

import nox

PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15", "3.13t"]
PY313T_PREFIX = os.environ.get("DOWNLOADER_PY313T", "/var/cache/downloader-ci/py313t")

nox.options.default_venv_backend = "venv"
nox.options.sessions = ["tests"]


def _put_interpreters_on_path():
    found = []
    if shutil.which("pyenv"):
        for version in PYTHONS:
            result = subprocess.run(["pyenv", "prefix", version], capture_output=True, text=True)
            if result.returncode == 0:
                found.append(os.path.join(result.stdout.strip(), "bin"))
    if os.path.isdir(os.path.join(PY313T_PREFIX, "bin")):
        found.append(os.path.join(PY313T_PREFIX, "bin"))
    os.environ["PATH"] = os.pathsep.join(found + [os.environ.get("PATH", "")])


_put_interpreters_on_path()


def _prebuilt_wheel(version):
    """The wheel for `version` (3.12, 3.13t) in DOWNLOADER_WHEELS, or None when that is unset."""
    wheels = os.environ.get("DOWNLOADER_WHEELS")
    if not wheels:
        return None
    abi = "cp" + version.replace(".", "")
    found = glob.glob(os.path.join(wheels, f"downloader-*-{abi.rstrip('t')}-{abi}-*.whl"))
    if len(found) != 1:
        raise RuntimeError(f"expected one {abi} wheel in {wheels}, found {found}")
    return found[0]


@nox.session(python=PYTHONS)
def tests(session):
    wheel = _prebuilt_wheel(session.python)
    if wheel is not None:
        project = [wheel + "[test,flasher]"]
    else:
        # A build directory inside the session's fresh environment: every run compiles from scratch.
        build_dir = os.path.join(session.virtualenv.location, "build")
        project = ["--config-settings=build-dir=" + build_dir, ".[test,flasher]"]
    # hypothesis's newest releases have compiled parts with no wheel for free-threaded
    # builds, and building them fetches crates from outside the package index: take the
    # newest release that comes as a wheel for the interpreter at hand.
    session.install("--only-binary", "hypothesis", *project)
    session.run("python", "-m", "pytest", *session.posargs)
