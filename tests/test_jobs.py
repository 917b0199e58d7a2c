"""--job FILE: a run's settings locked in a TOML file, and the image pinned by its digest."""
import hashlib
import json
import os

import pytest

from downloader_flash import cli

IMAGE = cli.sample_image(4000)
SHA = hashlib.sha256(IMAGE).hexdigest()
FLASHING = f'image = "fw.bin"\nimage-sha256 = "{SHA}"\nsimulate = 2\nall = true\nreport = "r.jsonl"\nattempts = 2\n'


@pytest.fixture
def job(tmp_path, monkeypatch):
    """The path of a job file beside the image, in a folder other than the working one."""
    (tmp_path / "line").mkdir()
    (tmp_path / "line" / "fw.bin").write_bytes(IMAGE)
    monkeypatch.chdir(tmp_path)
    return tmp_path / "line" / "job.toml"


def test_a_job_flashes_with_its_files_from_its_own_folder_and_its_records_name_it(job):
    job.write_text(FLASHING)
    assert cli.main(["--job", str(job), "-q"]) == 0  # an option the job leaves alone can be given
    records = [json.loads(line) for line in (job.parent / "r.jsonl").read_text().splitlines()]
    assert [(r["result"], r["image"], r["attempts"], r["job"], r["job_sha256"]) for r in records] == \
        [("flashed", str(job.parent / "fw.bin"), 2, str(job), hashlib.sha256(job.read_bytes()).hexdigest())] * 2


@pytest.mark.parametrize("given", [[], ["--sample", "4000"]], ids=["image file", "generated image"])
def test_an_image_that_is_not_the_job_s_is_refused_before_anything_is_flashed(job, capsys, given):
    text = FLASHING.replace(SHA, "0" * 64)
    job.write_text(text.replace('image = "fw.bin"\n', "") if given else text)
    assert cli.main(["--job", str(job), *given]) == 2
    image = "sample of 4,000 bytes" if given else job.parent / "fw.bin"
    assert capsys.readouterr() == ("", f"downloader-flash: {image} does not match the job: its sha256 is {SHA}, "
                                       f"the job {job} wants {'0' * 64}\n")
    assert not (job.parent / "r.jsonl").exists()


@pytest.mark.parametrize("given, option", [
    (["--att=1"], "--attempts"),  # however it is spelt, and with the value it has when not given
    (["--watch"], "--watch"),  # set to false by the job: still the job's
    (["other.bin"], "IMAGE"),
    (["--allow-host", "bench"], "--allow-host"),
])
def test_an_option_the_job_sets_cannot_be_given_at_the_station(job, capsys, given, option):
    job.write_text('image = "fw.bin"\nattempts = 2\nwatch = false\nallow-host = []\n')
    assert cli.main(["--job", str(job), *given]) == 2
    assert capsys.readouterr().err == (f"downloader-flash: {option} is set by the job {job}; the job's settings "
                                       "cannot be changed at the station\n")


@pytest.mark.parametrize("text, line", [
    ("colour = 1\n", "the job {} has an unknown key 'colour': its keys are the long options' names "
                     "(see downloader-flash --help) and image-sha256"),
    ("attempts = 'x'\n", "the job {}, key attempts: argument --attempts: invalid int value: 'x'"),
    ("attempts = true\n", "the job {}: attempts takes a string or a number, not true"),
    ("all = 1\n", "the job {}: all takes true or false, not 1"),
    ("image-sha256 = 'ABC'\n", "the job {}: image-sha256 takes the image's sha256 as 64 lower-case hex digits, not 'ABC'"),
    ("all = true\nwait =\n", "the job {} is not valid TOML: Invalid value (at line 2, column 7)"),
    (os.mkfifo, "cannot read the job {}: it is a FIFO, not a regular file"),  # nobody writes it: no hang
])
def test_a_job_that_cannot_be_used_is_a_usage_error_in_one_line(job, capsys, text, line):
    text(job) if callable(text) else job.write_text(text)
    assert cli.main(["--job", str(job)]) == 2
    assert capsys.readouterr().err == f"downloader-flash: {line.format(job)}\n"
