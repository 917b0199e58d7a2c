"""What the station's page and API show, and the hub of event-stream clients: a slow client is
dropped, the others and the station's callbacks are never held up."""
import asyncio
import json
import threading

import pytest

pytest.importorskip("aiohttp", reason="the station's web front end needs the extra downloader[station]")

from downloader_flash.model import Origin  # noqa: E402
from downloader_flash.web_view import CLIENT_QUEUE  # noqa: E402
from fakes import eventually  # noqa: E402
from station_client import (IMAGE, call, read_events, sample, server, simulated_devices,  # noqa: E402, F401
                            stalled_stream)


def test_a_client_that_falls_a_whole_queue_behind_is_dropped_and_the_others_keep_every_line():
    from downloader_flash.web_view import Hub

    async def scenario():
        hub, dropped = Hub(), []
        slow, fast = asyncio.Queue(2), asyncio.Queue(10)
        hub.join(slow, lambda: dropped.append("slow"))
        hub.join(fast, lambda: dropped.append("fast"))
        for number in range(5):
            hub.send(f"line {number}")
            fast.get_nowait()  # the fast client keeps up
        return dropped, hub.clients == {fast}, hub.drops, slow.qsize()

    assert asyncio.run(scenario()) == (["slow"], True, 1, 2)


def test_a_stalled_stream_client_does_not_hold_up_the_others(server):
    stalled = stalled_stream(server)
    lines, ready = [], threading.Event()
    reader = threading.Thread(target=read_events, args=(server, lines, ready))
    reader.start()
    try:
        assert ready.wait(10) and eventually(lambda: len(server.hub.clients) == 2)
        filler = "x" * 4000
        for number in range(2000):  # far more than the stalled client's buffers and queue hold
            server.publish(json.dumps({"event": "test", "number": number, "filler": filler}))
            if number % 50 == 49:  # in bursts that a reading client keeps up with
                assert eventually(lambda: len(lines) == number + 1, 30)
        assert [line["number"] for line in lines] == list(range(2000)) and server.hub.drops == 1
    finally:
        stalled.close()
        server.close()
        reader.join(10)


def test_the_stations_callbacks_return_while_the_server_is_held_up_and_a_stalled_client_overflows(server):
    from downloader_flash.model import Device
    from downloader_flash.model import Job
    from downloader_flash.model import Attempt

    stalled = stalled_stream(server)
    released, finished = threading.Event(), threading.Event()
    device = Device("/dev/ttyACM0", "SN0", None, "")
    job = Job(device.key, IMAGE.data, IMAGE.name, 0, None, 0.0)
    reason = "x" * 4000  # each event large, so that the stalled client's buffers fill too

    def station():  # what the scheduler's thread does for a board, more often than a queue holds
        for _ in range(2 * CLIENT_QUEUE):
            server.callbacks.present([device])
            server.callbacks.found(device)
            server.callbacks.progress(job, 1250, 1250)
            server.callbacks.attempt_ended(job, Attempt(device.device, "SN0", "failed", reason), True, None)
        finished.set()

    try:
        assert eventually(lambda: len(server.hub.clients) == 1)
        server.call_soon(released.wait)  # the server's loop is busy elsewhere and serves no one
        threading.Thread(target=station, daemon=True).start()
        assert finished.wait(60) and not released.is_set()
        released.set()
        assert eventually(lambda: server.hub.drops == 1 and not server.hub.clients, 30)
        status, view, _ = call(server, "GET", "/api/v1/channels")
        assert status == 200 and view["shift"]["failed"] == 2 * CLIENT_QUEUE
        assert [channel["state"] for channel in view["channels"]] == ["failed"]
    finally:
        released.set()
        stalled.close()


def test_the_rate_shown_is_the_workers_though_its_progress_arrives_in_a_burst(make_sim):
    from downloader_flash.model import Job
    from downloader_flash.scheduler import Scheduler
    from downloader_flash.web_view import State

    image, sim = sample(9600), make_sim(delay_ms=1)  # 300 blocks, at some 20 KiB/s
    state, shown, ended = State(image, Origin(), False), [], []

    def on_progress(job, done, blocks, kib_per_second):
        if not shown:  # the station busy until a third of the image has gone: that progress arrives at once
            assert eventually(lambda: len(sim.blocks) >= 100, 30)
        state.rated_progress(job, done, blocks, kib_per_second)
        shown.append(state.view()["channels"][0]["kib_per_second"])

    scheduler = Scheduler(1, 1, on_progress, lambda job, attempt, final: ended.append(attempt))
    scheduler.add(Job(simulated_devices([sim])[0].key, image.data, image.name, 0, None, 0.0))
    scheduler.run()
    measured = ended[0].flashed.kib_per_second
    assert shown[0] is None and len(shown) > 2 and all(measured / 3 < rate < 3 * measured for rate in shown[1:])
