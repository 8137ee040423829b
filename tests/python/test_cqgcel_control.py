"""The simulator's control module: scripted answers, held answers, events, journal."""

from __future__ import annotations

import threading

import pytest

from comhost_helpers import wait_until
from morvex_trader.gateways.cqg.wrapper import comhost
from morvex_trader.platform import cqgcel

pytestmark = [pytest.mark.timeout(30), pytest.mark.usefixtures("fresh_simulator")]


def test_held_start_keeps_init_waiting_until_released():
    cqgcel.set_answer("Startup", "hold")
    host = comhost.ComHost()
    result = {}
    caller = threading.Thread(target=lambda: result.setdefault("sink", host.Init(comhost.CELSinkBase, None)))
    caller.start()
    wait_until(lambda: cqgcel.is_running() and cqgcel.held("Startup") == 1, what="the held start")
    assert caller.is_alive()  # Init waits, with the interpreter lock released
    assert cqgcel.release("Startup", "fail", code=3, description="late") == 1
    caller.join(10)
    assert not caller.is_alive()
    assert host.errorHappened is True
    host.Shutdown()


def test_delayed_answer_still_starts():
    cqgcel.set_answer("Startup", "succeed", delay=0.05)
    host = comhost.ComHost()
    host.Init(comhost.CELSinkBase, None)
    assert host.errorHappened is False
    host.Shutdown()


def test_simulator_handle_and_journal_threads():
    host = comhost.ComHost()
    host.Init(comhost.CELSinkBase, None)
    sim = cqgcel.simulator()
    assert sim == host.cqgCEL
    sim.Shutdown()
    entry = cqgcel.journal(threads=True)[-1]
    assert entry[:4] == ("CQGCEL", "Shutdown", "call", ())
    assert entry[4] == host.thread
    cqgcel.clear_journal()
    cqgcel.set_journal_enabled(False)
    sim.Shutdown()
    assert cqgcel.journal() == []
    host.Shutdown()


def test_error_objects_and_event_arguments_round_trip():
    received = []

    class Sink(comhost.CELSinkBase):
        def OnDataError(self, cqgError, errorDescription):
            received.append((cqgError.Code, cqgError.Description, errorDescription))

        def OnLineTimeChanged(self, newLineTime):
            received.append(newLineTime)

    host = comhost.ComHost()
    host.Init(Sink, None)
    import datetime

    when = datetime.datetime(2024, 3, 5, 14, 3, 27, 750000)
    cqgcel.raise_event("OnDataError", cqgcel.make_error(11, "text"), "argument")
    cqgcel.raise_event("OnLineTimeChanged", when)
    host.Shutdown()
    assert received == [(11, "text", "argument"), when]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: cqgcel.set_answer("Startup", "sometimes"), ValueError, "mode must be"),
        (lambda: cqgcel.set_answer("Startup", delay=-1), ValueError, "delay"),
        (lambda: cqgcel.raise_event("OnNoSuchEvent"), ValueError, "Unknown CQGCEL event"),
    ],
    ids=["bad-mode", "negative-delay", "unknown-event"],
)
def test_bad_control_input_is_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_acting_on_a_simulator_that_is_gone_is_an_error():
    host = comhost.ComHost()
    host.Init(comhost.CELSinkBase, None)
    host.Shutdown()
    del host
    import gc

    gc.collect()
    if not cqgcel.is_running():
        with pytest.raises(RuntimeError, match="No CQGCEL simulator is running"):
            cqgcel.raise_event("OnIdle")
    else:  # still referenced somewhere: its COM thread has ended
        with pytest.raises(RuntimeError):
            cqgcel.post_quit()
