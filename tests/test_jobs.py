"""--job FILE: a run's settings locked in a TOML file, and the image pinned by its digest."""
import hashlib
import json
import os

import pytest

from downloader_flash import cli
from station_client import sample

IMAGE = sample(4000).data


def sha(data):
    return hashlib.sha256(data).hexdigest()


@pytest.fixture
def job(tmp_path, monkeypatch):
    """Writes a job file beside an image, in a folder other than the working one; gives its path."""
    (tmp_path / "line").mkdir()
    (tmp_path / "line" / "fw.bin").write_bytes(IMAGE)
    monkeypatch.chdir(tmp_path)

    def write(text):
        path = tmp_path / "line" / "job.toml"
        path.write_text(text)
        return path

    return write


FLASHING_JOB = f'image = "fw.bin"\nimage-sha256 = "{sha(IMAGE)}"\nsimulate = 2\nall = true\nreport = "r.jsonl"\n'


def test_a_job_flashes_with_its_files_taken_from_its_own_folder(job, capsys):
    path = job(FLASHING_JOB + "attempts = 2\n")
    assert cli.main(["--job", str(path), "-q"]) == 0  # an option the job leaves alone can be given
    records = [json.loads(line) for line in (path.parent / "r.jsonl").read_text().splitlines()]
    assert [(r["result"], r["image"], r["attempts"]) for r in records] == [("flashed", str(path.parent / "fw.bin"), 2)] * 2
    assert {(r["job"], r["job_sha256"]) for r in records} == {(str(path), sha(path.read_bytes()))}


@pytest.mark.parametrize("given", [[], ["--sample", "4000"]], ids=["image file", "generated image"])
def test_an_image_that_is_not_the_job_s_is_refused_before_anything_is_flashed(job, capsys, given):
    wanted = "0" * 64
    text = FLASHING_JOB.replace(sha(IMAGE), wanted)
    path = job(text.replace('image = "fw.bin"\n', "") if given else text)
    assert cli.main(["--job", str(path), *given]) == 2
    image, held = ("sample of 4,000 bytes", sha(cli.sample_image(4000))) if given else (path.parent / "fw.bin", sha(IMAGE))
    assert capsys.readouterr() == ("", f"downloader-flash: {image} does not match the job: its sha256 is {held}, "
                                       f"the job {path} wants {wanted}\n")
    assert not (path.parent / "r.jsonl").exists()


@pytest.mark.parametrize("given, option", [
    (["--attempts", "3"], "--attempts"),
    (["--att=1"], "--attempts"),  # however it is spelt, and with the value the option has when not given
    (["--all"], "--all"),
    (["--watch"], "--watch"),  # set to false by the job: still the job's
    (["other.bin"], "IMAGE"),
    (["--allow-host", "bench"], "--allow-host"),
])
def test_an_option_the_job_sets_cannot_be_given_at_the_station(job, capsys, given, option):
    path = job('image = "fw.bin"\nattempts = 2\nall = true\nwatch = false\nallow-host = []\n')
    assert cli.main(["--job", str(path), *given]) == 2
    assert capsys.readouterr().err == (f"downloader-flash: {option} is set by the job {path}; the job's settings "
                                       "cannot be changed at the station\n")


@pytest.mark.parametrize("text, line", [
    ("colour = 1\n", "the job {} has an unknown key 'colour': its keys are the long options' names "
                     "(see downloader-flash --help) and image-sha256"),
    ("attempts = 'x'\n", "the job {}, key attempts: argument --attempts: invalid int value: 'x'"),
    ("attempts = 1.5\n", "the job {}, key attempts: argument --attempts: invalid int value: '1.5'"),
    ("attempts = true\n", "the job {}: attempts takes a string or a number, not true"),
    ("all = 1\n", "the job {}: all takes true or false, not 1"),
    ("allow-host = [[1]]\n", "the job {}: allow-host takes a value or an array of values, not [[1]]"),
    ("port = 1979-05-27\n", "the job {}: port takes a string or a number, not a date"),
    ("image-sha256 = 'ABC'\n", "the job {}: image-sha256 takes the image's sha256 as 64 lower-case hex digits, "
                               "not 'ABC'"),
    ("all = true\nwait =\n", "the job {} is not valid TOML: Invalid value (at line 2, column 7)"),
    (b"station = '\xff'\n", "the job {} is not UTF-8 text (byte 11)"),
    (None, "cannot read the job {}: No such file or directory"),
    (os.mkfifo, "cannot read the job {}: it is a FIFO, not a regular file"),  # nobody writes it: no hang
], ids=["unknown key", "not a number", "not whole", "flag for a value", "value for a flag", "nested array", "date",
        "digest", "TOML", "UTF-8", "missing", "FIFO"])
def test_a_job_that_cannot_be_used_is_a_usage_error_in_one_line(job, capsys, text, line):
    path = job("")
    if text is None or callable(text):
        path.unlink()
        if text is not None:
            text(path)
    elif isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_text(text)
    assert cli.main(["--job", str(path)]) == 2
    assert capsys.readouterr().err == f"downloader-flash: {line.format(path)}\n"
