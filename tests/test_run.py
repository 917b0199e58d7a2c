"""flash_all(), the library's run over several devices, with a host program's own callbacks."""
import contextlib

from schema_check import valid_records
from tool_runs import IMAGE


def test_a_host_program_flashes_several_devices_through_the_library_with_its_own_callbacks(make_sim, tmp_path):
    from downloader_flash import Callbacks, Device, Image, Report, Settings, flash_all

    class Heard(Callbacks):
        def __init__(self):
            self.found_devices, self.progress_of, self.ended = [], set(), []

        def found(self, device):
            self.found_devices.append(device.device)

        def progress(self, job, done, blocks):
            self.progress_of.add((job.key.port, blocks))

        def attempt_ended(self, job, attempt, final, recorded):
            self.ended.append((job.key, attempt.result, final, recorded))

    heard = Heard()
    sims = [make_sim(), make_sim(reject={2: 9})]
    devices = [Device(sim.port, f"SN{n}", None, "") for n, sim in enumerate(sims)]
    with contextlib.closing(Report(str(tmp_path / "r.jsonl"))) as report:
        summary = flash_all(Settings(retries=1, station="bench"), Image(IMAGE[:3200], "/srv/fw.bin"), devices, heard,
                            report)
    assert summary.exit_code() == 1 and summary.signum is None
    assert heard.found_devices == [sim.port for sim in sims] and (sims[0].port, 100) in heard.progress_of
    assert sorted(heard.ended) == sorted([(devices[0].key, "flashed", True, True),
                                          (devices[1].key, "failed", True, True)])
    records = valid_records((tmp_path / "r.jsonl").read_text())
    assert sorted((r["serial_number"], r["result"], r["station"], r["image"]) for r in records) == [
        ("SN0", "flashed", "bench", "/srv/fw.bin"), ("SN1", "failed", "bench", "/srv/fw.bin")]
