"""COM host: CQGCEL (the simulator) started and shut down on its COM thread, with the
trace lines each step writes, an event delivered to a Python sink, and a call through the
marshalled reference."""

from __future__ import annotations

import sys
import threading

from morvex_trader.gateways.cqg.wrapper import comhost
from morvex_trader.platform import cqgcel


class DemoSink(comhost.CELSinkBase):
    """Overrides two events; the other 102 stay C++ no-ops."""

    def OnCELStarted(self):
        comhost.Trace("DemoSink: CQGCEL reports it has started")

    def OnGWConnectionStatusChanged(self, connectionStatus):
        comhost.Trace(f"DemoSink: gateway connection status {connectionStatus}")


def run() -> None:
    cqgcel.reset()
    print(f"caller thread {threading.get_ident()}; tzChina = {comhost.tzChina}", flush=True)
    host = comhost.ComHost()
    sink = host.Init(DemoSink, lambda configuration: setattr(configuration, "UseOrderSide", True))
    print(
        f"Init returned {type(sink).__name__}; errorHappened = {host.errorHappened}; " f"COM thread {host.thread}",
        flush=True,
    )
    cqgcel.raise_event("OnGWConnectionStatusChanged", comhost.csConnectionUp)
    print(
        f"through the marshalled reference: cqgCEL.IsStarted = {host.cqgCEL.IsStarted}, "
        f"TimeZoneCode = {host.cqgCEL.APIConfiguration.TimeZoneCode}",
        flush=True,
    )
    host.Shutdown()
    print("what CQGCEL received:", file=sys.stdout)
    for obj, member, kind, args in cqgcel.journal():
        print(f"  {kind:4} {obj}.{member}{args if args else ''}")
    sys.stdout.flush()
    cqgcel.reset()


if __name__ == "__main__":
    run()
