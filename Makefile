# Two entry points, each setting up its own virtual environment first.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(wildcard downloader/*) $(wildcard downloader_sim/*) \
	$(wildcard downloader_wire/*) \
	$(wildcard downloader_flash/*)

.PHONY: demo test

$(VENV)/installed: $(SOURCES)
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet ".[test,flasher]"
	touch $@

demo: $(VENV)/installed
	$(VENV)/bin/downloader-flash --simulate 4 --all --sample 100000

test: $(VENV)/installed
	$(PY) -m pytest
