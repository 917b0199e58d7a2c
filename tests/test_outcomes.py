"""The one table of outcomes, and everything made from it."""
import json
import os
import re
import signal

import pytest

README = os.path.join(os.path.dirname(__file__), "..", "README.md")


@pytest.mark.skipif(not os.path.exists(README), reason="the README is checked in the source tree")
def test_the_readme_gives_the_exit_codes_of_the_one_table():
    from downloader_flash import outcomes

    with open(README, encoding="utf-8") as handle:
        readme = handle.read()
    generated = readme.split("<!-- exit codes: generated -->\n")[1].split("\n<!-- end of exit codes -->")[0]
    assert generated == outcomes.markdown_table()


@pytest.mark.parametrize("results, signum, code", [
    ([], None, 0),
    (["flashed", "not acknowledged"], None, 3),
    (["not acknowledged", "failed"], None, 1),
    (["failed", "usage"], None, 2),
    (["failed", "report unwritable"], None, 4),
    (["report unwritable", "interrupted"], None, 130),
    (["failed", "usage", "out of serial numbers"], None, 5),
    (["interrupted"], signal.SIGTERM, 143),
    (["flashed"], signal.SIGHUP, 129),
], ids=["nothing", "not acknowledged", "failed", "selection", "report", "interrupted", "out of serials", "SIGTERM",
        "SIGHUP"])
def test_the_exit_code_follows_one_rule(results, signum, code):
    from downloader_flash import outcomes

    assert outcomes.exit_code([outcomes.BY_NAME[name] for name in results], signum) == code


def test_everything_named_after_an_outcome_is_made_from_the_one_table():
    import downloader_flash
    from downloader_flash import outcomes, records
    from downloader_flash.web_view import OUTCOMES_SHOWN

    codes = [outcome.exit_code for outcome in outcomes.OUTCOMES]
    assert len(set(codes)) == len(codes) and sorted(o.precedence for o in outcomes.OUTCOMES) == list(range(len(codes)))
    assert {name: getattr(downloader_flash, name) for name in outcomes.EXIT_NAMES} == outcomes.EXIT_NAMES
    with open(downloader_flash.__file__, encoding="utf-8") as package:  # what a type checker is told
        assert re.findall(r"^    (EXIT_\w+): int$", package.read(), re.M) == list(outcomes.EXIT_NAMES)
    assert set(outcomes.EXIT_NAMES) <= set(downloader_flash.__all__)
    with open(records.SCHEMA_FILE, encoding="utf-8") as shipped:
        assert json.load(shipped) == records.schema()  # the enum of results among its fields
    assert [shown["name"] for shown in OUTCOMES_SHOWN] == list(outcomes.RESULTS)
