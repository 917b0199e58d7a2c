"""How many examples the module's property tests run: HYPOTHESIS_PROFILE=ci asks for the long run.

The settings are applied with ``@PROPERTY`` on each property rather than loaded globally, so
the choice does not depend on which test file is collected first.
"""
import os

from hypothesis import HealthCheck, settings

PROFILES = {
    "ci": settings(max_examples=20_000, deadline=None, print_blob=True,
                   suppress_health_check=[HealthCheck.too_slow]),
    "dev": settings(max_examples=200, deadline=None),
}

PROPERTY = PROFILES.get(os.environ.get("HYPOTHESIS_PROFILE", "dev"), PROFILES["dev"])
