"""How many examples the module's property tests run, chosen by HYPOTHESIS_PROFILE: dev (the
default) 200, ci 2,000 (what CI's main run draws), long 20,000 (a longer run by hand, e.g.
before a release: HYPOTHESIS_PROFILE=long .venv/bin/python -m pytest tests/test_properties.py).

The settings are applied with ``@PROPERTY`` on each property rather than loaded globally, so
the choice does not depend on which test file is collected first.
"""
import os

from hypothesis import HealthCheck, settings

_LONG = dict(deadline=None, print_blob=True, suppress_health_check=[HealthCheck.too_slow])
PROFILES = {
    "long": settings(max_examples=20_000, **_LONG),
    "ci": settings(max_examples=2_000, **_LONG),
    "dev": settings(max_examples=200, deadline=None),
}

PROPERTY = PROFILES.get(os.environ.get("HYPOTHESIS_PROFILE", "dev"), PROFILES["dev"])
