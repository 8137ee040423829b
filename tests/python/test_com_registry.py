"""Dependencies point one way: the COM host and the gateway link no simulator, importing
comhost registers nothing, the portable runtime finds CQGCEL's server through its registry
folder, and the host takes every number from the server's type library."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

from morvex_trader.gateways.cqg.wrapper import comhost

PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(comhost.__file__)))
PACKAGE = os.path.dirname(os.path.dirname(PACKAGE))  # .../morvex_trader
LIB = os.path.join(PACKAGE, "_lib")
SIMULATOR = "libmx_cqgcel.so"


def needed(path: str) -> list[str]:
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True)
    return [line.split("[", 1)[1].split("]", 1)[0] for line in out.stdout.splitlines() if "(NEEDED)" in line]


@pytest.mark.parametrize(
    "module",
    [
        "gateways/cqg/wrapper/comhost",
        "gateways/cqg/wrapper/tradelink",
        "_lib/libmx_comhost_core",
    ],
    ids=["comhost", "tradelink", "comhost-core"],
)
def test_the_host_links_no_simulator(module):
    folder, name = os.path.split(os.path.join(PACKAGE, module))
    path = next(os.path.join(folder, f) for f in os.listdir(folder) if f.startswith(name) and f.endswith(".so"))
    libs = needed(path)
    assert "libmx_com.so" in libs or module.endswith("core")  # sanity: the reader works
    assert SIMULATOR not in libs, libs


def run_python(code: str, **env: str) -> subprocess.CompletedProcess[str]:
    root = os.path.dirname(PACKAGE)
    full = dict(os.environ, **env)
    full["PYTHONPATH"] = os.pathsep.join(p for p in (root, os.environ.get("PYTHONPATH")) if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=30, env=full
    )


def write_registry(folder, *lines: str) -> str:
    (folder / "cqgcel.server").write_text("\n".join([f"library {os.path.join(LIB, SIMULATOR)}", *lines]) + "\n")
    return str(folder)


PROGID = "progid CQG.CQGCEL.4"
TYPELIB = "typelib {51F35562-AEB4-4AB3-99E8-AC9666344B64} 4.0"


def test_creation_finds_the_server_through_the_registry_alone():
    result = run_python(
        """
        import sys
        from morvex_trader.gateways.cqg.wrapper import comhost

        assert "morvex_trader.platform.cqgcel" not in sys.modules
        host = comhost.ComHost()
        host.Init(comhost.CELSinkBase, None)
        print("type", repr(host.cqgCEL), comhost.tzChina)
        host.Shutdown()
    """
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "type <Dispatch CQGCEL (marshalled)>" in result.stdout


def test_importing_comhost_registers_no_class(tmp_path):
    # The registry names the type library's server but no server for the ProgID: the
    # import reads the library, and only a class registered by someone else could be made.
    result = run_python(
        """
        from morvex_trader.gateways.cqg.wrapper import comhost

        host = comhost.ComHost()
        try:
            host.Init(comhost.CELSinkBase, None)
        except comhost.ComError as e:
            print("refused:", hex(e.code & 0xFFFFFFFF), e)
    """,
        MX_COM_REGISTRY=write_registry(tmp_path, TYPELIB),
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "refused: 0x80040154 Class not registered: CQG.CQGCEL.4" in result.stdout  # REGDB_E_CLASSNOTREG


def test_an_empty_registry_is_a_clear_import_error(tmp_path):
    result = run_python(
        """
        from morvex_trader.gateways.cqg.wrapper import comhost
    """,
        MX_COM_REGISTRY=str(tmp_path),
    )
    assert result.returncode != 0
    assert "ImportError: Library not registered: {51F35562-AEB4-4AB3-99E8-AC9666344B64} 4.0" in result.stderr


def test_a_type_library_without_a_constant_the_host_uses_fails_the_import_by_name(tmp_path):
    # A server of another version: the simulator with its switch that drops one constant
    # from its library.
    result = run_python(
        """
        from morvex_trader.gateways.cqg.wrapper import comhost
    """,
        MX_COM_REGISTRY=write_registry(tmp_path, PROGID, TYPELIB),
        MX_CQGCEL_DROP_CONSTANT="tzChina",
    )
    assert result.returncode != 0
    assert "ImportError: CQGCEL's type library has no constant 'tzChina'" in result.stderr


def test_the_simulator_numbers_unlike_any_table_of_ours():
    # Constants: none keeps the seed it is listed with; events: see the C++ test. The whole
    # suite passing on these numbers is the proof that the host assumes none.
    statuses = [
        "csConnectionUp",
        "csConnectionDelayed",
        "csConnectionDown",
        "csConnectionTrouble",
        "csConnectionNotLoggedOn",
    ]
    values = [comhost.constant(n) for n in statuses]
    assert len(set(values)) == 5 and not set(values) & {0, 1, 2, 3, 4}


def test_the_platform_depends_on_no_gateway_or_plugin():
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "src")
    gateway_targets = ("mx_comhost", "tradelink_module", "comhost_module", "mx_sqlite", "mx_bot")
    wrong = []
    for folder, _, files in os.walk(os.path.join(src, "platform")):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    if line.startswith("#include") and ('"gateways/' in line or '"plugins/' in line):
                        wrong.append(f"{path}:{number}")
                    if name == "CMakeLists.txt" and any(t in line for t in gateway_targets):
                        wrong.append(f"{path}:{number}")
    assert wrong == []
    result = run_python(
        """
        import sys
        from morvex_trader.platform import cqgcel
        assert not [m for m in sys.modules if m.startswith("morvex_trader.gateways")], sys.modules
    """
    )
    assert result.returncode == 0, result.stdout + result.stderr
