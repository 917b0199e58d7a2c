"""Attempts at one device: a port that is busy or missing is tried again, within --wait."""
import serial

from schema_check import valid_records
from tool_runs import TOOL, image_file, running, tool  # noqa: F401


def test_a_busy_port_is_tried_again_once_it_is_free(make_sim, image_file, tmp_path):
    sim = make_sim()
    holder = serial.Serial(sim.port, exclusive=True)
    with holder, running([*TOOL, image_file, "--port", sim.port, "--attempts", "2", "--wait", "30",
                          "--report", tmp_path / "r.jsonl"]) as proc:
        first = proc.stderr.readline()
        holder.close()
        out, err = proc.communicate(timeout=60)
    assert first == f"cannot open {sim.port}: in use by another process; flashing it again from block 0\n"
    assert (proc.returncode, err) == (0, "") and sim.reports[-1].complete
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert [(r["attempt"], r["result"], r["error_kind"], r["block"]) for r in records] == [
        (1, "failed", "PortInUse", None), (2, "flashed", None, 3125)]


def test_a_wait_that_runs_out_counts_as_an_attempt_and_a_missing_port_stays_a_selection_error(image_file, tmp_path):
    missing = str(tmp_path / "ttyACM9")
    returncode, out, err = tool(image_file, "--port", missing, "--attempts", "2", "--wait", "0.5",
                                "--report", tmp_path / "r.jsonl")
    assert (returncode, out) == (2, "")
    assert err.splitlines() == [
        f"cannot open {missing}: no such port; flashing it again from block 0",
        f"downloader-flash: cannot open {missing}: no such port; the device did not come back within 0.5 s"]
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert [(r["attempt"], r["error_kind"]) for r in records] == [(1, "PortUnavailable"), (2, "PortUnavailable")]
    assert records[1]["seconds"] >= 0.5 and records[0]["image"] == image_file
