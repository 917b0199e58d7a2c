"""Build the module from the tree and run the whole suite on every supported CPython.

    nox -s tests-3.12          # one version
    nox -s tests               # all of them, one after another
    nox -s tests-3.8 -- -x     # arguments after -- go to pytest

Interpreters are found through pyenv when it is there (its newest installed patch
release of each version), otherwise on PATH as python3.X.
"""
import os
import shutil
import subprocess

import nox

PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]

nox.options.default_venv_backend = "venv"
nox.options.sessions = ["tests"]


def _put_pyenv_interpreters_on_path():
    if not shutil.which("pyenv"):
        return
    found = []
    for version in PYTHONS:
        result = subprocess.run(["pyenv", "prefix", version], capture_output=True, text=True)
        if result.returncode == 0:
            found.append(os.path.join(result.stdout.strip(), "bin"))
    os.environ["PATH"] = os.pathsep.join(found + [os.environ.get("PATH", "")])


_put_pyenv_interpreters_on_path()


@nox.session(python=PYTHONS)
def tests(session):
    # A build directory inside the session's fresh environment: every run compiles from scratch.
    build_dir = os.path.join(session.virtualenv.location, "build")
    session.install("--config-settings=build-dir=" + build_dir, ".[test,flasher]")
    session.run("python", "-m", "pytest", *session.posargs)
