# Two entry points, each setting up its own virtual environment first, and `make wheels`.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(wildcard downloader/*) $(wildcard downloader_sim/*) \
	$(wildcard downloader_wire/*) \
	$(wildcard downloader_flash/*)

# Every CPython found here (pyenv, pythonX.Y on PATH, the 3.13t build of .ci/lib/build-py313t.sh);
# the others are left out and said.
WHEEL_VERSIONS ?= 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15 3.13t
WHEEL_BUILD := build/wheels-unrepaired

.PHONY: demo test wheels

$(VENV)/installed: $(SOURCES)
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet ".[test,flasher]"
	touch $@

demo: $(VENV)/installed
	$(VENV)/bin/downloader-flash --simulate 4 --all --sample 100000

test: $(VENV)/installed
	$(PY) -m pytest

# One binary wheel per interpreter into dist/, checked and repaired by auditwheel.
wheels:
	rm -rf $(WHEEL_BUILD)
	bash .ci/lib/build-wheels.sh --skip-missing $(WHEEL_BUILD) $(WHEEL_VERSIONS)
	bash .ci/lib/repair-wheels.sh $(WHEEL_BUILD) dist
