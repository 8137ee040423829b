"""The COM host: start-up and shutdown on the CQGCEL simulator, sinks, Trace, constants."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading

import pytest

from comhost_helpers import TraceReader, wait_until
from morvex_trader.gateways.cqg.wrapper import comhost
from morvex_trader.platform import cqgcel

pytestmark = [pytest.mark.timeout(30), pytest.mark.usefixtures("fresh_simulator")]


@pytest.fixture
def trace(capfd):
    return TraceReader(capfd)


@pytest.fixture
def host():
    """A ComHost that is shut down after the test, whatever the test did with it."""
    h = comhost.ComHost()
    yield h
    h.Shutdown()


class Recorder(comhost.CELSinkBase):
    """Records the events it overrides with the thread that delivered them."""

    def __init__(self):
        super().__init__()
        self.seen = []
        self.ctor_thread = threading.get_ident()

    def OnCELStarted(self):
        self.seen.append(("OnCELStarted", (), threading.get_ident()))

    def OnIdle(self):
        self.seen.append(("OnIdle", (), threading.get_ident()))

    def OnGWConnectionStatusChanged(self, connectionStatus):
        self.seen.append(("OnGWConnectionStatusChanged", (connectionStatus,), threading.get_ident()))


NORMAL_START = [
    ("caller", "Waiting for CQGCEL creation.."),
    ("COM", "COM framework is initializing..."),
    ("COM", "COM framework is initialized!"),
    ("COM", "CQG.CQGCEL.4 creation..."),
    ("COM", "CQG.CQGCEL.4 created!"),
    ("COM", "Marshal CQGCEL in stream"),
    ("COM", "CQGCEL is marshaled in stream"),
    ("COM", "Internal sink subscription to events"),
    ("COM", "Internal sink ctor"),
    ("COM", "Internal sink subscribed"),
    ("COM", "Sink subscription to events"),
    ("COM", "Sink subscribed"),
    ("COM", "Internal sink is initialized"),
    ("caller", "CQGCEL is created!"),
    ("caller", "Marshaled CQGCEL from stream"),
    ("caller", "CQGCEL is marshaled from stream!"),
    ("caller", "CQGCEL default configuring..."),
    ("caller", "Startup CQGCEL.."),
    ("caller", "Waiting for CQGCEL start.."),
    ("COM", "SinkInternal: CELStarted!"),
    ("caller", "CQGCEL has started."),
]
SHUTDOWN = [
    ("caller", "CQGCEL is being shut down.."),
    ("COM", "COM framework is uninitializing..."),
    ("COM", "COM framework is uninitialized!"),
    ("caller", "CQGCEL is shut down."),
]


def who(lines, caller, com):
    names = {caller: "caller", com: "COM"}
    return [(names.get(tid, tid), text) for tid, text in lines]


def test_normal_start_and_shutdown_write_the_lines_in_order(trace):
    host = comhost.ComHost()
    sink = host.Init(Recorder, None)
    host.Shutdown()
    lines = who(trace.read(), threading.get_ident(), host.thread)
    pumping = ("COM", "Starting message pumping..")
    # It may come out anywhere after the preparation, on the COM thread.
    assert pumping in lines
    assert lines.index(pumping) > lines.index(("COM", "Internal sink is initialized"))
    lines.remove(pumping)
    assert lines == NORMAL_START + SHUTDOWN
    assert isinstance(sink, Recorder) and host.sink is sink
    assert host.errorHappened is False
    assert host.thread != threading.get_ident()


def test_sink_is_built_and_served_on_the_com_thread_while_init_waits(host):
    sink = host.Init(Recorder, None)
    assert sink.ctor_thread == host.thread
    # The internal sink (connected first) released Init; this sink's copy of the start
    # event is delivered next, before any later event.
    cqgcel.raise_event("OnIdle")
    assert sink.seen == [("OnCELStarted", (), host.thread), ("OnIdle", (), host.thread)]


@pytest.mark.parametrize(
    "mode, error_line",
    [
        ("fail", "SinkInternal: OnDataError: Code: 7 Description: No market data"),
        ("fail_without_error", None),
    ],
    ids=["with-error-object", "without-error-object"],
)
def test_data_error_before_the_start_sets_error_happened(host, trace, mode, error_line):
    cqgcel.set_answer("Startup", mode, code=7, description="No market data")
    sink = host.Init(Recorder, None)
    assert isinstance(sink, Recorder)
    assert host.errorHappened is True
    caller = [text for tid, text in trace.read() if tid == threading.get_ident()]
    assert caller[-2:] == ["CQGCEL has started.", "Error happened during CQGCEL start up!"]
    com_lines = [text for tid, text in trace.read() if tid == host.thread]
    data_error_lines = [t for t in com_lines if t.startswith("SinkInternal: OnDataError")]
    assert data_error_lines == ([error_line] if error_line else [])


def test_data_error_traces_the_error_object_not_the_description_argument(host, trace):
    host.Init(Recorder, None)
    assert host.errorHappened is False
    cqgcel.raise_event("OnDataError", cqgcel.make_error(42, "from the object"), "from the argument")
    assert "SinkInternal: OnDataError: Code: 42 Description: from the object" in trace.texts()
    assert host.errorHappened is True  # later data errors set the flag too


DEFAULT_PUTS = [
    ("APIConfiguration", "CollectionsThrowException", "put", (False,)),
    ("APIConfiguration", "NewInstrumentChangeMode", "put", (True,)),
    ("APIConfiguration", "ReadyStatusCheck", "put", (0,)),
    ("APIConfiguration", "TimeZoneCode", "put", (comhost.tzChina,)),
    ("APIConfiguration", "IncludeOrderTransactions", "put", (True,)),
    ("APIConfiguration", "UseOrderSide", "put", (True,)),
]


def test_absent_configuration_writes_exactly_the_six_defaults(host, trace):
    host.Init(Recorder, None)
    assert cqgcel.journal() == DEFAULT_PUTS + [("CQGCEL", "Startup", "call", ())]
    assert "CQGCEL custom configuring..." not in trace.texts()


def test_custom_configuration_runs_after_the_defaults_and_overrides_them(host, trace):
    received = []

    def configure(configuration):
        received.append(list(cqgcel.journal()))
        configuration.UseOrderSide = False
        configuration.TimeZoneCode = comhost.tzHongKong

    host.Init(Recorder, configure)
    assert received == [DEFAULT_PUTS]  # the six defaults were set before it ran
    assert cqgcel.api_configuration()["UseOrderSide"] is False
    assert cqgcel.api_configuration()["TimeZoneCode"] == comhost.tzHongKong
    # The caller's own lines: the COM thread's "Starting message pumping.." may fall anywhere.
    caller = threading.get_ident()
    texts = [text for ident, text in trace.read() if ident == caller]
    assert texts.index("CQGCEL custom configuring...") == texts.index("CQGCEL default configuring...") + 1


def test_custom_configuration_error_reaches_the_caller_and_shutdown_still_works(trace):
    host = comhost.ComHost()

    def configure(configuration):
        raise KeyError("bad setting")

    with pytest.raises(KeyError, match="bad setting"):
        host.Init(Recorder, configure)
    host.Shutdown()
    assert trace.texts()[-1] == "CQGCEL is shut down."


def com_thread_gone(host):
    """True once the COM thread has closed its apartment (calls through cqgCEL fail)."""
    try:
        host.cqgCEL.IsStarted
        return False
    except comhost.ComError as error:
        assert error.code == -2147417848  # RPC_E_DISCONNECTED
        return True


def test_quit_message_ends_the_pump_and_the_thread_leaves_com(host, trace):
    host.Init(Recorder, None)
    cqgcel.post_quit()
    wait_until(lambda: com_thread_gone(host), what="the COM thread's end")
    host.Shutdown()  # joins the ended thread; CQGCEL went with it
    lines = trace.read()
    com_lines = [text for tid, text in lines if tid == host.thread]
    assert com_lines[-2:] == ["COM framework is uninitializing...", "COM framework is uninitialized!"]
    caller_lines = [text for tid, text in lines if tid == threading.get_ident()]
    assert caller_lines[-2:] == ["CQGCEL is being shut down..", "CQGCEL is shut down."]


def test_unexpected_wait_result_ends_the_com_thread_without_leaving_com(host, trace):
    host.Init(Recorder, None)
    cqgcel.fail_next_wait()
    wait_until(lambda: com_thread_gone(host), what="the COM thread's end")
    host.Shutdown()  # harmless: the thread has ended
    texts = trace.texts()
    assert "cel_threadfunc ended by an error: unexpected win32wait return value" in texts
    assert "COM framework is uninitializing..." not in texts


class Sample(comhost.CELSinkBase):
    fail_in_start = False

    def Init(self, comHost):
        comhost.Trace("sample init")
        self.comHost = comHost

    def Start(self):
        if self.fail_in_start:
            raise RuntimeError("sample cannot start")
        comhost.Trace("sample start")


class FailingSample(Sample):
    fail_in_start = True


@pytest.mark.parametrize(
    "sample, startup, expected",
    [
        (Sample, "succeed", ["sample init", "sample start"]),
        (FailingSample, "succeed", ["sample init", "Exception: sample cannot start"]),
        (Sample, "fail", []),
    ],
    ids=["runs", "start-fails", "start-up-error-skips-the-sample"],
)
def test_start_runs_a_sample_and_always_shuts_down(trace, sample, startup, expected):
    cqgcel.set_answer("Startup", startup, code=1, description="down")
    assert comhost.Start(sample) is None
    # The caller's own lines: after a failed start the COM thread may still be writing
    # "SinkInternal: CELStarted!" while the caller shuts down.
    caller = threading.get_ident()
    texts = [text for ident, text in trace.read() if ident == caller]
    after_start = texts[texts.index("CQGCEL has started.") + 1 :]
    after_start = [t for t in after_start if t != "Error happened during CQGCEL start up!"]
    assert after_start[: len(expected)] == expected
    assert after_start[len(expected) :][0] == "CQGCEL is being shut down.."
    assert texts[-1] == "CQGCEL is shut down."


def test_start_traces_an_init_failure_and_still_returns(trace):
    class NeedsArgument(comhost.CELSinkBase):
        def __init__(self, x):
            super().__init__()

    comhost.Start(NeedsArgument)
    texts = trace.texts()
    assert any(t.startswith("Exception: TypeError: ") and "x" in t for t in texts)


def test_trace_from_two_threads_prefixes_each_line_with_its_writer(trace):
    barrier = threading.Barrier(2)
    idents = {}

    def writer(name):
        idents[name] = threading.get_ident()
        barrier.wait()
        for i in range(300):
            comhost.Trace(f"{name} line {i} " + "x" * 200)

    threads = [threading.Thread(target=writer, args=(n,)) for n in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    lines = trace.read()
    assert len(lines) == 600
    for tid, text in lines:
        name = text.split(" ", 1)[0]
        assert tid == idents[name]
        assert text.endswith("x" * 200)


def test_trace_keeps_order_with_print(trace):
    print("printed first")
    comhost.Trace("traced second")
    assert trace.texts() == ["printed first", "traced second"]


def test_marshalled_calls_run_on_the_com_thread_and_errors_come_back(host):
    host.Init(Recorder, None)
    configuration = host.cqgCEL.APIConfiguration
    assert "marshalled" in repr(configuration)
    cqgcel.clear_journal()
    configuration.ReadyStatusCheck = 3
    [(obj, member, kind, args, thread)] = cqgcel.journal(threads=True)
    assert (obj, member, kind, args) == ("APIConfiguration", "ReadyStatusCheck", "put", (3,))
    assert thread == host.thread != threading.get_ident()
    with pytest.raises(comhost.ComError, match="Type mismatch") as err:
        configuration.TimeZoneCode = "not a number"
    assert err.value.code == -2147352571  # DISP_E_TYPEMISMATCH
    assert isinstance(err.value, RuntimeError)


def test_run_in_home_runs_a_whole_walk_on_the_com_thread_and_errors_come_back(host):
    host.Init(Recorder, None)
    threads = []

    def walk(cel):
        threads.append(threading.get_ident())
        configuration = cel.APIConfiguration
        assert "marshalled" not in repr(configuration)  # the COM thread's own object
        return [configuration.ReadyStatusCheck, configuration.TimeZoneCode]

    configuration = host.cqgCEL.APIConfiguration
    assert comhost.RunInHome(host.cqgCEL, walk) == [configuration.ReadyStatusCheck, comhost.tzChina]
    assert threads == [host.thread]

    class Refused(Exception):
        pass

    def fails(cel):
        raise Refused("no orders here")

    with pytest.raises(Refused, match="no orders here"):
        comhost.RunInHome(host.cqgCEL, fails)
    with pytest.raises(comhost.ComError, match="Type mismatch"):
        comhost.RunInHome(host.cqgCEL, lambda cel: setattr(cel.APIConfiguration, "TimeZoneCode", "x"))
    # The caller holds no interpreter lock while it waits: a Python thread runs meanwhile.
    ran = threading.Event()
    other = threading.Thread(target=ran.set)
    assert comhost.RunInHome(host.cqgCEL, lambda cel: (other.start(), ran.wait(5))[1]) is True
    other.join()


def test_dispatch_behaves_like_a_late_bound_object(host):
    host.Init(Recorder, None)
    cel = host.cqgCEL
    assert cel.IsStarted is True
    assert cel.APIConfiguration == cel.APIConfiguration
    assert hash(cel.APIConfiguration) == hash(cel.APIConfiguration)
    assert cel != cel.APIConfiguration
    assert bool(cel.APIConfiguration)
    assert callable(cel.Startup)
    assert "APIConfiguration" in dir(cel)
    with pytest.raises(AttributeError, match="CQGCEL has no member 'NoSuchThing'"):
        cel.NoSuchThing
    with pytest.raises(comhost.ComError, match="cannot be written"):
        cel.IsStarted = False


def test_sink_error_is_traced_and_delivery_goes_on(host, trace):
    class Faulty(Recorder):
        def OnDataError(self, cqgError, errorDescription):
            raise ValueError("sink broke")

    sink = host.Init(Faulty, None)
    cqgcel.raise_event("OnDataError", cqgcel.make_error(5, "late"), "late")
    cqgcel.raise_event("OnIdle")
    texts = trace.texts()
    # The internal sink still had the event, the pump goes on, and the error is one line.
    assert "SinkInternal: OnDataError: Code: 5 Description: late" in texts
    assert "Exception in OnDataError: ValueError: sink broke" in texts
    assert host.errorHappened is True
    assert [name for name, _, _ in sink.seen][-1] == "OnIdle"


def test_wrong_argument_count_from_a_raw_event_is_traced(host, trace):
    host.Init(Recorder, None)
    with pytest.raises(ValueError, match="OnIdle takes 0 arguments, 1 given"):
        cqgcel.raise_event("OnIdle", 1)


def test_base_sink_accepts_every_one_of_the_104_events(host, trace):
    assert len(comhost.EVENTS) == 104
    base = comhost.CELSinkBase()
    for name, params in comhost.EVENTS:
        assert getattr(base, name)(*[None] * len(params)) is None
        assert getattr(base, name)(**{p: 1 for p in params}) is None
    host.Init(comhost.CELSinkBase, None)
    for name, params in comhost.EVENTS:
        cqgcel.raise_event(name, *[None] * len(params))
    assert not [t for t in trace.texts() if t.startswith("Exception")]


def test_event_names_and_parameters_keep_their_spelling():
    events = dict(comhost.EVENTS)
    assert events["OnTicksAdded"] == ("cqgTicks", "added_ticks_count")
    assert events["OnTradingSystemDefinitionsResolved"][0] == "cqgCustomStudyDefinitions"
    for name in (
        "OnTonstantVolumeBarsInserted",
        "OnTonstantVolumeBarsRemoved",
        "OnTonditionInserted",
        "OnTonditionRemoved",
        "OnTustomStudyInserted",
        "OnTustomStudyRemoved",
    ):
        assert events[name][1] == "index"
    assert events["OnOrderChanged"] == ("changeType", "cqgOrder", "oldProperties", "cqgFill", "cqgError")


def test_python_override_receives_positional_arguments_under_its_own_names(host):
    sink = host.Init(Recorder, None)
    cqgcel.raise_event("OnGWConnectionStatusChanged", comhost.csConnectionUp)
    assert sink.seen[-1] == ("OnGWConnectionStatusChanged", (comhost.csConnectionUp,), host.thread)


def test_sink_class_not_derived_from_the_base_gets_events_by_name(host, trace):
    class Plain:
        def __init__(self):
            self.idle = 0

        def OnIdle(self):
            self.idle += 1

    sink = host.Init(Plain, None)
    cqgcel.raise_event("OnIdle")
    cqgcel.raise_event("OnLineTimeChanged", 5)  # no such attribute: ignored
    assert sink.idle == 1
    assert not [t for t in trace.texts() if t.startswith("Exception")]


@pytest.mark.parametrize(
    "script, sink_type, message",
    [
        (None, "needs-argument", "TypeError: .*missing 1 required positional argument"),
        (("CreateObject", "fail", 99, "licence missing"), Recorder, "^licence missing$"),
    ],
    ids=["sink-needs-arguments", "creation-fails"],
)
def test_failure_while_preparing_raises_in_init(trace, script, sink_type, message):
    if sink_type == "needs-argument":

        class sink_type(comhost.CELSinkBase):  # noqa: N801
            def __init__(self, x):
                super().__init__()

    if script:
        request, mode, code, description = script
        cqgcel.set_answer(request, mode, code=code, description=description)
    host = comhost.ComHost()
    with pytest.raises(RuntimeError, match=message):
        host.Init(sink_type, None)
    host.Shutdown()  # harmless after a failed Init
    assert host.cqgCEL is None
    assert "CQGCEL is being shut down.." not in trace.texts()


def test_init_twice_is_an_error_and_shutdown_is_harmless_before_init_and_twice(trace):
    host = comhost.ComHost()
    host.Shutdown()
    assert trace.texts() == []
    host.Init(Recorder, None)
    with pytest.raises(RuntimeError, match="ComHost.Init has already been called"):
        host.Init(Recorder, None)
    host.Shutdown()
    host.Shutdown()
    assert trace.texts().count("CQGCEL is shut down.") == 1


@pytest.mark.parametrize("sink_type, custom", [(None, None), (Recorder, 5)], ids=["sink", "custom"])
def test_init_refuses_arguments_that_cannot_be_called(sink_type, custom):
    with pytest.raises(TypeError):
        comhost.ComHost().Init(sink_type, custom)


def test_assert_message():
    comhost.AssertMessage(True, "unused")
    with pytest.raises(RuntimeError, match="^GW connection timeout!$"):
        comhost.AssertMessage(False, "GW connection timeout!")


def test_constants_by_name():
    statuses = [
        "csConnectionUp",
        "csConnectionDelayed",
        "csConnectionDown",
        "csConnectionTrouble",
        "csConnectionNotLoggedOn",
    ]
    # The server's numbers, whatever they are (the simulator's are unlike CQG's 0..4).
    assert len({comhost.constant(n) for n in statuses}) == 5
    assert comhost.constants.tzChina == comhost.tzChina == comhost.constant("tzChina")
    for name in (
        "dsQuotesAndBBA",
        "qtYesterdaySettlement",
        "trtCurrentNotify",
        "tfAll",
        "tptSettlement",
        "hpDaily",
        "pfds1Min",
        "dbcLastQuoteOrSettlement",
        "tbrCommodityVolume",
        "otStop",
        "osdSell",
        "osInTransitTimeout",
        "opGUID",
        "fsNormal",
        "ctRemoved",
        "actAccountsReloaded",
        "aslAccountUpdatesAndOrders",
        "pslNoPositions",
    ):
        assert isinstance(getattr(comhost, name), int)
    quote_types = [n for n in vars(comhost.constants) if n.startswith("qt")]
    order_statuses = [n for n in vars(comhost.constants) if n.startswith("os") and not n.startswith("osd")]
    assert len(quote_types) == 17 and len(order_statuses) == 17
    with pytest.raises(KeyError):
        comhost.constant("tzAtlantis")


def test_interpreter_exit_without_shutdown_neither_hangs_nor_crashes(tmp_path):
    script = tmp_path / "no_shutdown.py"
    script.write_text(
        textwrap.dedent(
            """
        from morvex_trader.gateways.cqg.wrapper import comhost
        from morvex_trader.platform import cqgcel

        class Busy(comhost.CELSinkBase):
            def OnIdle(self):
                pass

        host = comhost.ComHost()
        host.Init(Busy, None)
        cqgcel.raise_event("OnIdle", wait=False)
        cqgcel.fire_many("OnIdle", 1000)
        print("leaving")
    """
        )
    )
    env = dict(os.environ)
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=20, env=env)
    assert result.returncode == 0, result.stderr
    assert "leaving" in result.stdout
    assert "COM framework is uninitialized!" in result.stdout
