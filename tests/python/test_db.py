"""The SQLite persistence plug-in as a host uses it: file, schema, record operations,
SQL texts, value rendering, errors, the module lock and threads."""

from __future__ import annotations

import datetime as dt
import decimal
import os
import sqlite3
import subprocess
import threading
from pathlib import Path

import pytest

from morvex_trader.plugins.sqlite3 import db

from hypothesis import HealthCheck, given, settings, strategies as st

NOT_NULL, NULL = "NOT NULL", ""

# The tables as the file format fixes them: (column, declared type, constraints).
TABLES = {
    "balance": [
        ("broker_name", "VARCHAR(20)", NOT_NULL),
        ("broker_environment", "VARCHAR(20)", NOT_NULL),
        ("broker_account_id", "INTEGER", NOT_NULL),
        ("broker_account", "VARCHAR(20)", NOT_NULL),
        ("strategy_account_id", "INTEGER", NOT_NULL),
        ("strategy_account", "VARCHAR(20)", NOT_NULL),
        ("strategy_version", "VARCHAR(20)", NOT_NULL),
        ("strategy_version_desc", "VARCHAR(300)", NULL),
        ("strategy_status", "VARCHAR(15)", NULL),
        ("cash", "DOUBLE", NOT_NULL),
        ("cash_by_currency", "VARCHAR(50)", NULL),
        ("available_cash", "DOUBLE", NOT_NULL),
        ("max_power_short", "DOUBLE", NULL),
        ("net_cash_power", "DOUBLE", NULL),
        ("maintenance_margin", "DOUBLE", NULL),
        ("unrealized_pnl", "DOUBLE", NULL),
        ("realized_pnl", "DOUBLE", NULL),
        ("update_time", "DATETIME", NOT_NULL),
        ("remark", "VARCHAR(300)", NULL),
    ],
    "position": [
        ("balance_id", "INTEGER", NOT_NULL),
        ("security_name", "VARCHAR(20)", NOT_NULL),
        ("security_code", "VARCHAR(20)", NOT_NULL),
        ("direction", "VARCHAR(20)", NOT_NULL),
        ("holding_price", "DOUBLE", NOT_NULL),
        ("quantity", "INTEGER", NOT_NULL),
        ("update_time", "DATETIME", NOT_NULL),
        ("remark", "VARCHAR(300)", NULL),
    ],
    "trading_order": [
        ("broker_order_id", "VARCHAR(50)", NOT_NULL),
        ("balance_id", "INTEGER", NOT_NULL),
        ("security_name", "VARCHAR(20)", NOT_NULL),
        ("security_code", "VARCHAR(20)", NOT_NULL),
        ("price", "DOUBLE", NOT_NULL),
        ("quantity", "INTEGER", NOT_NULL),
        ("direction", "VARCHAR(20)", NOT_NULL),
        ("offset", "VARCHAR(20)", NOT_NULL),
        ("order_type", "VARCHAR(20)", NOT_NULL),
        ("create_time", "DATETIME", NOT_NULL),
        ("update_time", "DATETIME", NOT_NULL),
        ("filled_avg_price", "DOUBLE", NOT_NULL),
        ("filled_quantity", "INTEGER", NOT_NULL),
        ("status", "VARCHAR(20)", NOT_NULL),
        ("remark", "VARCHAR(300)", NULL),
    ],
    "trading_deal": [
        ("broker_deal_id", "VARCHAR(50)", NOT_NULL),
        ("broker_order_id", "VARCHAR(50)", NOT_NULL),
        ("order_id", "INTEGER", NOT_NULL),
        ("balance_id", "INTEGER", NOT_NULL),
        ("security_name", "VARCHAR(20)", NOT_NULL),
        ("security_code", "VARCHAR(20)", NOT_NULL),
        ("direction", "VARCHAR(20)", NOT_NULL),
        ("offset", "VARCHAR(20)", NOT_NULL),
        ("order_type", "VARCHAR(20)", NOT_NULL),
        ("update_time", "DATETIME", NOT_NULL),
        ("filled_avg_price", "DOUBLE", NOT_NULL),
        ("filled_quantity", "INTEGER", NOT_NULL),
        ("remark", "VARCHAR(300)", NULL),
    ],
}

# The indexes on the broker's ids (look-ups by them must not read a whole table).
INDEXES = {
    "trading_order": "CREATE INDEX trading_order_broker_order_id ON trading_order (broker_order_id)",
    "trading_deal": "CREATE INDEX trading_deal_broker_deal_id ON trading_deal (broker_deal_id)",
}

NOW = dt.datetime(2024, 5, 6, 7, 8, 9)
DB_PATH_MESSAGE = "`sqlite3` is activated, and its path must be specified in `DB` variable in morvex_trader_config"


def balance_row(**changes):
    row = dict(
        broker_name="FUTU2",
        broker_environment="SIMULATE",
        broker_account_id=1,
        broker_account="123",
        strategy_account_id=1,
        strategy_account="default",
        strategy_version="1.0",
        cash=100000.0,
        available_cash=99000.0,
        update_time=NOW,
        remark="N/A",
    )
    row.update(changes)
    return row


def position_row(**changes):
    row = dict(
        balance_id=1,
        security_name="Tencent",
        security_code="HK.00700",
        direction="LONG",
        holding_price=350.5,
        quantity=100,
        update_time=NOW,
    )
    row.update(changes)
    return row


@pytest.fixture
def folder(tmp_path: Path, config_module) -> Path:
    data = tmp_path / "data"
    data.mkdir()
    config_module(DB={"sqlite3": str(data)})
    return data


@pytest.fixture
def database(folder):
    handle = db.DB()
    yield handle
    handle.close()


@pytest.fixture
def journal():
    """The SQL texts the plug-in sends to SQLite during the test."""
    db.start_journal()
    yield db.journal
    db.stop_journal()


# --- file, schema and configuration ---------------------------------------------------------


def test_new_folder_gets_the_file_and_four_tables_and_a_second_db_keeps_them(folder):
    first = db.DB()
    first.insert_records("balance", balance_row())
    first.close()
    second = db.DB()
    try:
        rows = second.select_records("balance", ["id", "broker_name"]).rows()
    finally:
        second.close()
    assert rows == [(1, "FUTU2")]
    with sqlite3.connect(folder / "morvex_trader.db") as check:
        names = [
            r[0]
            for r in check.execute(
                "SELECT name FROM sqlite_master WHERE type='table' AND name!='sqlite_sequence' ORDER BY rowid"
            )
        ]
    assert names == ["balance", "position", "trading_order", "trading_deal"]


def test_sqlite3_command_line_tool_reads_the_schema_as_written(database, folder):
    def create(table, columns):
        definitions = ["id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT"] + [
            f"{name} {kind} {constraint}".rstrip() for name, kind, constraint in columns
        ]
        return f"CREATE TABLE {table} ({', '.join(definitions)});"

    expected = [create(table, columns) for table, columns in TABLES.items()]
    expected.insert(1, "CREATE TABLE sqlite_sequence(name,seq);")  # made by the first AUTOINCREMENT
    expected.insert(4, INDEXES["trading_order"] + ";")  # each index follows its table
    expected.append(INDEXES["trading_deal"] + ";")
    out = subprocess.run(
        ["sqlite3", str(folder / "morvex_trader.db"), ".schema"], capture_output=True, text=True, check=True, timeout=30
    ).stdout
    assert out.splitlines() == expected


def index_sql(path) -> dict[str, str]:
    with sqlite3.connect(path) as check:
        return {
            table: sql
            for table, sql in check.execute(
                "SELECT tbl_name, sql FROM sqlite_master WHERE type='index' AND sql IS NOT NULL"
            )
        }


def test_a_file_written_without_the_indexes_gains_them_and_keeps_its_rows(folder):
    path = folder / "morvex_trader.db"
    with sqlite3.connect(path) as old:  # the tables exactly as an earlier version wrote them
        for table, columns in TABLES.items():
            definitions = ["id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT"] + [
                f"{name} {kind} {constraint}".rstrip() for name, kind, constraint in columns
            ]
            old.execute(f"CREATE TABLE IF NOT EXISTS {table} ({', '.join(definitions)})")
        old.execute(
            "INSERT INTO position (balance_id, security_name, security_code, direction, "
            "holding_price, quantity, update_time) VALUES (1, 'n', 'c', 'LONG', 1.0, 5, 'x')"
        )
    assert index_sql(path) == {}
    handle = db.DB()
    try:
        assert handle.select_records("position", ["quantity"]).rows() == [(5,)]
    finally:
        handle.close()
    assert index_sql(path) == INDEXES


def test_a_dropped_table_comes_back_with_its_index(database, folder):
    database.delete_table("trading_order")
    assert "trading_order" not in index_sql(folder / "morvex_trader.db")
    database.create_order_table()
    assert index_sql(folder / "morvex_trader.db") == INDEXES


def test_a_folder_ending_in_a_slash_still_opens_the_file(tmp_path, config_module):
    config_module(DB={"sqlite3": str(tmp_path) + "/"})
    assert db._db_path() == str(tmp_path) + "/"
    db.DB().close()
    assert (tmp_path / "morvex_trader.db").is_file()


@pytest.mark.parametrize(
    "source, cause",
    [
        ("DB = {'mysql': '/x'}\n", KeyError),
        ("OTHER = 1\n", AttributeError),
        ("DB = {'sqlite3': 42}\n", TypeError),
        ("DB = None\n", TypeError),
        (None, ModuleNotFoundError),
    ],
    ids=["no-sqlite3-entry", "no-DB", "not-text", "DB-not-a-map", "no-config-module"],
)
def test_unusable_configuration_is_one_error_with_the_failure_as_cause(
    source, cause, config_module, monkeypatch, tmp_path
):
    if source is None:
        monkeypatch.setitem(__import__("sys").modules, "morvex_trader_config", None)
    else:
        config_module(source)
    for call in (db._db_path, db.DB):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == DB_PATH_MESSAGE
        assert isinstance(caught.value.__cause__, cause)


def test_a_folder_with_a_nul_is_refused_and_opens_no_file(tmp_path, config_module):
    victim = tmp_path / "victim"  # what the text before the NUL names
    config_module(DB={"sqlite3": f"{victim}\0/elsewhere"})
    with pytest.raises(ValueError, match=r'^embedded null character in DB\["sqlite3"\]$'):
        db.DB()
    assert list(tmp_path.iterdir()) == [tmp_path / "config"]


def test_a_folder_utf8_cannot_hold_is_refused_naming_the_setting(tmp_path, config_module):
    config_module(DB={"sqlite3": str(tmp_path) + "/\ud800"})
    with pytest.raises(UnicodeEncodeError, match=r'surrogates not allowed in DB\["sqlite3"\]$'):
        db.DB()


def test_a_folder_of_undecodable_bytes_opens_where_python_names_it(tmp_path, config_module):
    folder = os.fsdecode(bytes(tmp_path) + b"/caf\xe9")  # "caf\udce9", as os.listdir gives it
    os.mkdir(folder)
    config_module(DB={"sqlite3": folder})
    db.DB().close()
    assert os.path.isfile(os.path.join(os.fsencode(folder), b"morvex_trader.db"))


def test_db_path_is_read_afresh_on_each_call(config_module, tmp_path):
    module_folder = config_module(DB={"sqlite3": "/first"})
    assert db._db_path() == "/first"
    import morvex_trader_config

    morvex_trader_config.DB["sqlite3"] = "/second"
    assert db._db_path() == "/second"
    assert module_folder.exists()


def test_a_folder_that_does_not_exist_fails_with_sqlites_error(tmp_path, config_module):
    config_module(DB={"sqlite3": str(tmp_path / "missing")})
    with pytest.raises(sqlite3.OperationalError, match="^unable to open database file$"):
        db.DB()


# --- lifecycle and SQLite's errors -----------------------------------------------------------


def test_dropping_a_missing_table_fails_and_changes_nothing(database):
    database.insert_records("balance", balance_row())
    with pytest.raises(sqlite3.OperationalError, match="^no such table: no_such_table$") as caught:
        database.delete_table("no_such_table")
    assert caught.value.sqlite_errorname == "SQLITE_ERROR"
    assert len(database.select_records("balance")) == 1


def test_inserts_after_dropping_balance_fail_until_a_new_db(database):
    database.delete_table("balance")
    with pytest.raises(sqlite3.OperationalError, match="^no such table: balance$"):
        database.insert_records("balance", balance_row())
    again = db.DB()
    again.insert_records("balance", balance_row())
    assert len(again.select_records("balance")) == 1
    again.close()


@pytest.mark.parametrize("missing", ["available_cash", "broker_name", "update_time"])
def test_not_null_columns_reject_rows_without_them(database, missing):
    row = balance_row()
    del row[missing]
    with pytest.raises(sqlite3.IntegrityError) as caught:
        database.insert_records("balance", row)
    assert str(caught.value) == f"NOT NULL constraint failed: balance.{missing}"
    assert caught.value.sqlite_errorname == "SQLITE_CONSTRAINT_NOTNULL"
    assert len(database.select_records("balance")) == 0


def test_an_empty_column_list_is_sqlites_syntax_error(database, journal):
    with pytest.raises(sqlite3.OperationalError, match="syntax error"):
        database.select_records("balance", [])
    assert journal() == ["SELECT  FROM balance "]


@pytest.mark.parametrize(
    "operation",
    [
        lambda d: d.execute("SELECT 1"),
        lambda d: d.select_records("balance"),
        lambda d: d.insert_records("balance", balance_row()),
        lambda d: d.update_records("balance", {"cash": 1}),
        lambda d: d.delete_records("balance"),
        lambda d: d.delete_table("balance"),
        lambda d: d.create_balance_table(),
        lambda d: d.commit(),
    ],
    ids=["execute", "select", "insert", "update", "delete", "delete_table", "create", "commit"],
)
def test_use_after_close_fails_with_sqlites_closed_database_error(database, operation):
    database.close()
    database.close()  # closing twice is harmless
    with pytest.raises(sqlite3.ProgrammingError, match="^Cannot operate on a closed database.$"):
        operation(database)


def test_execute_binds_parameters_by_position_and_by_name(database):
    database.execute(
        "INSERT INTO position (balance_id, security_name, security_code, direction, "
        "holding_price, quantity, update_time, remark) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        [7, "it's", 'say "x"', "LONG", 1.5, 3, NOW, None],
    )
    database.execute("UPDATE position SET remark = :remark WHERE balance_id = :id", {"id": 7, "remark": b"\x00bytes"})
    assert database.select_records("position", ["security_name", "security_code", "update_time", "remark"]).rows() == [
        ("it's", 'say "x"', "2024-05-06 07:08:09", b"\x00bytes")
    ]
    with pytest.raises(sqlite3.ProgrammingError, match="Incorrect number of bindings"):
        database.execute("SELECT ?, ?", [1])
    with pytest.raises(sqlite3.ProgrammingError, match="one statement at a time"):
        database.execute("SELECT 1; DROP TABLE position")


# --- inserting and getting the new row's id ----------------------------------------------------


def test_insert_and_get_id_sends_the_insert_text_and_returns_the_new_id(database, journal):
    database.insert_records("position", position_row(quantity=1))
    assert database.insert_and_get_id("position", position_row(quantity=1)) == 2
    assert journal()[0] == journal()[1]  # the very statement insert_records sends
    database.delete_records("position", {"id": 2})
    assert database.insert_and_get_id("position", position_row(quantity=3)) == 3  # never reused
    assert database.select_records("position", ["id", "quantity"]).rows() == [(1, 1), (3, 3)]


@pytest.mark.parametrize(
    "values, error, message",
    [
        ({}, ValueError, "^Must provide columns and values when inserting!$"),
        (position_row(quantity=None), ValueError, "^Data format is not support!"),
        ({"balance_id": 1}, sqlite3.IntegrityError, "^NOT NULL constraint failed: position.security_name$"),
        ({"x y": 1}, ValueError, "^Invalid column name"),
    ],
    ids=["empty", "null-value", "not-null", "bad-name"],
)
def test_insert_and_get_id_fails_as_insert_records_does(database, values, error, message):
    for insert in (database.insert_records, database.insert_and_get_id):
        with pytest.raises(error, match=message):
            insert("position", values)
    assert database.insert_and_get_id("position", position_row()) == 1  # nothing was inserted


@pytest.mark.timeout(30)
def test_insert_and_get_id_gives_each_thread_the_id_of_its_own_row(database):
    per_thread = 100
    database.execute("PRAGMA synchronous=OFF")  # commits without waiting for the disk: more contention
    own = [database, database, database, db.DB()]  # three share one connection
    ids: list[list[int]] = [[] for _ in own]
    errors = []

    def work(index):
        try:
            for i in range(per_thread):
                ids[index].append(own[index].insert_and_get_id("position", position_row(balance_id=index, quantity=i)))
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(own))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    own[-1].close()
    assert errors == []
    stored = {row[0]: (row[1], row[2]) for row in database.select_records("position", ["id", "balance_id", "quantity"])}
    wrong = [
        (index, i, row_id)
        for index, got in enumerate(ids)
        for i, row_id in enumerate(got)
        if stored.get(row_id) != (index, i)
    ]
    assert wrong == []


# --- SQL texts --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "operation, sql",
    [
        (lambda d: d.select_records("balance"), "SELECT * FROM balance "),
        (
            lambda d: d.select_records("balance", ["id", "cash"], {"broker_account_id": 1, "strategy_account_id": 1}),
            "SELECT id,cash FROM balance WHERE broker_account_id=1 AND strategy_account_id=1 ",
        ),
        (
            lambda d: d.select_records(
                "balance",
                conditions=[("condition_str", "update_time>='2024-05-06 00:00:00'"), ("broker_name", "FUTU2")],
            ),
            "SELECT * FROM balance WHERE update_time>='2024-05-06 00:00:00' AND broker_name='FUTU2' ",
        ),
        (
            lambda d: d.insert_records("balance", [("cash", 100000.0), ("available_cash", 99000)]),
            "INSERT INTO balance (cash,available_cash) VALUES (100000.0,99000)",
        ),
        (
            lambda d: d.update_records("balance", {"cash": 950000, "available_cash": 950000}, {"id": 4}),
            "UPDATE balance SET cash=950000 ,available_cash=950000 WHERE id=4 ",
        ),
        (lambda d: d.update_records("balance", [("cash", 1)], [("id", 4)]), "UPDATE balance SET cash=1 WHERE id=4 "),
        (lambda d: d.delete_records("position"), "DELETE FROM position "),
        (
            lambda d: d.delete_records("position", {"update_time": NOW}),
            "DELETE FROM position WHERE update_time='2024-05-06 07:08:09' ",
        ),
        (lambda d: d.delete_table("trading_deal"), "DROP TABLE trading_deal"),
    ],
    ids=[
        "select-all",
        "select-where",
        "condition_str",
        "insert",
        "update-two",
        "update-one",
        "delete-all",
        "delete-datetime",
        "drop",
    ],
)
def test_operations_send_exactly_their_sql_text(database, journal, operation, sql):
    try:
        operation(database)
    except sqlite3.IntegrityError:
        pass  # the insert example leaves out NOT NULL columns; its text is what matters
    assert journal() == [sql]


def test_where_clause_and_value_rendering_are_reachable_on_a_db(database):
    assert database._parse_sql_where_condition([]) == ""
    assert (
        database._parse_sql_where_condition({"broker_account_id": 1, "strategy_account_id": 1})
        == "WHERE broker_account_id=1 AND strategy_account_id=1 "
    )
    assert database._parse_sql_where_condition([("condition_str", 5), ("a", "x")]) == "WHERE 5 AND a='x' "
    assert database._parse_sql_value("x") == "'x'"


@pytest.mark.parametrize(
    "value, literal",
    [
        (100000.0, "100000.0"),
        (1e-05, "1e-05"),
        (0.0001, "0.0001"),
        (1e16, "1e+16"),
        (9999999999999998.0, "9999999999999998.0"),
        (0.1 + 0.2, "0.30000000000000004"),
        (-0.0, "-0.0"),
        (1.5e-10, "1.5e-10"),
        (float("inf"), "9.0e+999"),
        (float("-inf"), "-9.0e+999"),
        (0, "0"),
        (-42, "-42"),
        (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"),
        (True, "1"),
        (False, "0"),
        (decimal.Decimal("2.50"), "2.5"),
        ("it's", "'it''s'"),
        ('say "hi"', "'say \"hi\"'"),
        (dt.datetime(2024, 1, 2, 3, 4, 5, 999999, tzinfo=dt.timezone.utc), "'2024-01-02 03:04:05'"),
    ],
    ids=lambda v: repr(v) if not isinstance(v, str) else None,
)
def test_value_rendering(database, value, literal):
    assert database._parse_sql_value(value) == literal


def test_numpy_and_pandas_values_render_as_numbers_and_date_times(database):
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    cases = {
        np.int64(-7): "-7",
        np.uint8(200): "200",
        np.float64(1e-05): "1e-05",
        np.float32(0.1): "0.10000000149011612",
        np.bool_(True): "1",
        pd.Timestamp("2024-01-02 03:04:05.5"): "'2024-01-02 03:04:05'",
    }
    for value, literal in cases.items():
        assert database._parse_sql_value(value) == literal


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])  # rendering keeps no state
@given(value=st.floats(allow_nan=False, allow_infinity=False))
def test_finite_floats_render_as_python_repr(database, value):
    assert database._parse_sql_value(value) == repr(value)


@pytest.mark.parametrize(
    "value, shown",
    [
        (None, "None"),
        (b"x", "b'x'"),
        (2**64, str(2**64)),
        (-(2**63) - 1, str(-(2**63) - 1)),
        (float("nan"), "nan"),
        (dt.date(2024, 1, 2), "2024-01-02"),
        (1 + 2j, "(1+2j)"),
    ],
    ids=["None", "bytes", "int-beyond-64-bits", "int-below-64-bits", "nan", "date", "complex"],
)
def test_unsupported_values_fail_before_anything_runs(database, journal, value, shown):
    message = f"Data format is not support! type({shown})={type(value)}"
    for operation in (
        lambda: database._parse_sql_value(value),
        lambda: database.insert_records("position", position_row(remark=value)),
        lambda: database.select_records("position", conditions={"remark": value}),
    ):
        with pytest.raises(ValueError) as caught:
            operation()
        assert str(caught.value) == message
    assert journal() == []


@pytest.mark.parametrize(
    "operation",
    [
        lambda d: d.select_records("balance; DROP TABLE balance"),
        lambda d: d.select_records("balance", ["id", "cash FROM balance --"]),
        lambda d: d.select_records("balance", conditions={"1=1 OR id": 1}),
        lambda d: d.insert_records("balance", {"remark) VALUES ('x'); --": "y"}),
        lambda d: d.update_records("balance", {"cash": 1}, {"id OR 1": 1}),
        lambda d: d.delete_records("position", {"": 1}),
        lambda d: d.delete_table("position; DELETE FROM balance"),
    ],
    ids=["table", "column", "condition", "insert-column", "update-condition", "empty", "drop"],
)
def test_names_that_are_not_plain_identifiers_are_refused_before_anything_runs(database, journal, operation):
    with pytest.raises(ValueError, match="^Invalid (table|column) name"):
        operation(database)
    assert journal() == []


NAMES_NOT_STR = [
    ("delete_records table", lambda d: d.delete_records(b"balance"), "table_name", "bytes"),
    ("delete_table", lambda d: d.delete_table(b"balance"), "table_name", "bytes"),
    ("execute", lambda d: d.execute(b"DELETE FROM balance"), "sql", "bytes"),
    ("select_records table", lambda d: d.select_records(b"balance"), "table_name", "bytes"),
    ("insert_records table", lambda d: d.insert_records(b"balance", balance_row()), "table_name", "bytes"),
    (
        "update_records table",
        lambda d: d.update_records(bytearray(b"balance"), {"cash": 1.0}),
        "table_name",
        "bytearray",
    ),
    ("table as int", lambda d: d.delete_records(5), "table_name", "int"),
    ("select column", lambda d: d.select_records("balance", [b"cash"]), "column names", "bytes"),
    ("insert column", lambda d: d.insert_records("balance", {b"cash": 1.0}), "column names", "bytes"),
    ("update column", lambda d: d.update_records("balance", {b"cash": 1.0}), "column names", "bytes"),
    ("delete condition", lambda d: d.delete_records("balance", {b"id": 1}), "column names", "bytes"),
    ("where condition", lambda d: d._parse_sql_where_condition([(b"id", 1)]), "column names", "bytes"),
]


@pytest.mark.parametrize("operation, name, kind", [c[1:] for c in NAMES_NOT_STR], ids=[c[0] for c in NAMES_NOT_STR])
def test_names_that_are_not_str_are_type_errors_before_anything_runs(database, journal, operation, name, kind):
    database.insert_records("balance", balance_row())
    sent = journal()
    with pytest.raises(TypeError) as caught:
        operation(database)
    assert str(caught.value) == f"{name} must be str, not {kind}"
    assert journal() == sent
    assert len(database.select_records("balance")) == 1


TEXT_UTF8_CANNOT_HOLD = [
    ("table", lambda d: d.select_records("bal\ud800"), 3, "table_name"),
    ("drop", lambda d: d.delete_table("\ud800"), 0, "table_name"),
    ("sql", lambda d: d.execute("DELETE FROM balance WHERE remark='\ud800'"), 34, "sql"),
    ("column", lambda d: d.select_records("balance", ["\ud800"]), 0, "a column name"),
    ("value", lambda d: d.delete_records("balance", {"remark": "x\ud800"}), 1, "the value of remark"),
    ("condition_str", lambda d: d.delete_records("balance", {"condition_str": "\ud800"}), 0, "condition_str"),
    ("parameter", lambda d: d.execute("DELETE FROM balance WHERE remark=?", ["\ud800"]), 0, "parameter 1"),
]


@pytest.mark.parametrize(
    "operation, position, name", [c[1:] for c in TEXT_UTF8_CANNOT_HOLD], ids=[c[0] for c in TEXT_UTF8_CANNOT_HOLD]
)
def test_text_utf8_cannot_hold_is_refused_naming_it_before_anything_runs(database, journal, operation, position, name):
    database.insert_records("balance", balance_row())
    sent = journal()
    with pytest.raises(UnicodeEncodeError) as caught:
        operation(database)
    assert str(caught.value) == (
        f"'utf-8' codec can't encode character '\\ud800' in position {position}: surrogates not allowed in {name}"
    )
    assert journal() == sent
    assert len(database.select_records("balance")) == 1


def test_empty_inserts_and_updates_fail_before_anything_runs(database, journal):
    with pytest.raises(ValueError, match="^Must provide columns and values when inserting!$"):
        database.insert_records("balance", {})
    with pytest.raises(ValueError, match="^At least one column needs to be updated!$"):
        database.update_records("balance", [], {"id": 1})
    assert journal() == []


@pytest.mark.parametrize(
    "bad, error",
    [
        ("cash", TypeError),
        ([("a", 1, 2)], TypeError),
        ([(1, 2)], TypeError),
        (5, TypeError),
    ],
    ids=["str", "triple", "non-str-name", "int"],
)
def test_condition_lists_of_the_wrong_shape_are_type_errors(database, bad, error):
    with pytest.raises(error):
        database.select_records("balance", conditions=bad)


# --- what is stored stays what it was ---------------------------------------------------------


def test_a_text_equal_to_a_column_name_stays_a_text(database):
    database.insert_records("balance", balance_row(remark="remark"))
    database.insert_records("balance", balance_row(remark="other", broker_name="broker_name"))
    rows = database.select_records("balance", ["remark"], {"remark": "remark"}).rows()
    assert rows == [("remark",)]
    rows = database.select_records("balance", ["broker_name"], {"broker_name": "broker_name"}).rows()
    assert rows == [("broker_name",)]


def test_a_text_with_quotes_is_stored_exactly_and_harms_nothing(database):
    nasty = "O'Brien\"); DROP TABLE balance; --'"
    database.insert_records("balance", balance_row(remark=nasty, broker_name="x'y"))
    database.update_records("balance", {"strategy_status": nasty}, {"remark": nasty})
    table = database.select_records("balance", ["remark", "strategy_status"], {"broker_name": "x'y"})
    assert table.rows() == [(nasty, nasty)]
    assert len(database.select_records("position")) == 0  # every table is still there


def test_date_time_conditions_match_rows_of_the_same_second(database):
    database.insert_records("position", position_row(update_time=dt.datetime(2024, 5, 6, 7, 8, 9, 1)))
    database.insert_records("position", position_row(update_time=dt.datetime(2024, 5, 6, 7, 8, 9, 999999)))
    database.insert_records("position", position_row(update_time=dt.datetime(2024, 5, 6, 7, 8, 10)))
    same_second = database.select_records("position", ["id"], {"update_time": NOW.replace(microsecond=500)})
    assert [row[0] for row in same_second] == [1, 2]
    later = database.select_records("position", ["id"], [("condition_str", "update_time>'2024-05-06 07:08:09'")])
    assert later.rows() == [(3,)]


def test_delete_records_without_conditions_empties_the_table(database):
    for quantity in (1, 2, 3):
        database.insert_records("position", position_row(quantity=quantity))
    database.delete_records("position", {"quantity": 2})
    assert [r[0] for r in database.select_records("position", ["quantity"])] == [1, 3]
    database.delete_records("position")
    assert len(database.select_records("position")) == 0


# --- the result table -------------------------------------------------------------------------


def test_result_table_gives_rows_as_tuples_and_dicts_with_native_cell_types(database):
    database.insert_records("position", position_row(quantity=2**62, remark="héllo"))
    database.insert_records("position", position_row(holding_price=0.25))
    table = database.select_records("position", ["id", "holding_price", "quantity", "remark", "update_time"])
    assert table.columns == ["id", "holding_price", "quantity", "remark", "update_time"]
    assert len(table) == 2 and bool(table)
    assert table[0] == (1, 350.5, 2**62, "héllo", "2024-05-06 07:08:09")
    assert table[-1] == (2, 0.25, 100, None, "2024-05-06 07:08:09")
    assert table[0:2] == list(table) == table.rows()
    assert [type(cell) for cell in table[0]] == [int, float, int, str, str]
    with pytest.raises(IndexError):
        table[2]
    assert table.dicts()[1] == {
        "id": 2,
        "holding_price": 0.25,
        "quantity": 100,
        "remark": None,
        "update_time": "2024-05-06 07:08:09",
    }


def test_a_select_that_matches_nothing_keeps_the_column_names(database):
    table = database.select_records("balance", conditions={"id": 99})
    assert len(table) == 0 and list(table) == [] and not table
    assert table.columns == ["id"] + [name for name, _, _ in TABLES["balance"]]


def test_result_table_to_pandas(database):
    pytest.importorskip("pandas")
    database.insert_records("position", position_row())
    frame = database.select_records("position", ["security_code", "quantity"]).to_pandas()
    assert list(frame.columns) == ["security_code", "quantity"]
    assert frame.to_dict("records") == [{"security_code": "HK.00700", "quantity": 100}]


# --- the lock and threads -------------------------------------------------------------------


@pytest.mark.timeout(30)
def test_four_threads_inserting_and_selecting_lose_nothing(database):
    per_thread = 150
    errors = []
    own = [database, database, db.DB(), db.DB()]  # two share a DB, two have their own

    def work(index):
        try:
            for i in range(per_thread):
                own[index].insert_records("position", position_row(balance_id=index, quantity=i))
                seen = own[index].select_records("position", ["quantity"], {"balance_id": index})
                assert [r[0] for r in seen] == list(range(i + 1))
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    own[2].close()
    own[3].close()
    assert errors == []
    rows = database.select_records("position", ["balance_id", "quantity"]).rows()
    assert sorted(rows) == sorted((t, i) for t in range(4) for i in range(per_thread))


@pytest.mark.timeout(30)
def test_a_statement_waiting_for_the_lock_does_not_hold_the_gil(database):
    started = threading.Event()
    result = []

    def writer():
        started.set()
        database.insert_records("position", position_row())
        result.append(len(database.select_records("position")))

    with db.lock:
        worker = threading.Thread(target=writer)
        worker.start()
        assert started.wait(10)
        # The worker now waits for the lock; this thread must still get to run Python code.
        assert sum(range(200_000)) > 0
        assert worker.is_alive() and result == []
    worker.join(10)
    assert result == [1]


@pytest.mark.timeout(30)
def test_the_lock_is_not_reentrant_and_fails_instead_of_hanging(database):
    with db.lock:
        assert db.lock.locked()
        with pytest.raises(RuntimeError, match="not reentrant"):
            database.insert_records("position", position_row())
        with pytest.raises(RuntimeError, match="not reentrant"):
            db.lock.acquire()
        assert db.lock.acquire(blocking=False) is False
        assert db.lock.acquire(timeout=0.01) is False
        # close() also holds the lock, commit() takes none
        with pytest.raises(RuntimeError):
            database.close()
        database.commit()
    assert not db.lock.locked()
    with pytest.raises(RuntimeError, match="release unlocked lock"):
        db.lock.release()


@pytest.mark.timeout(30)
def test_the_lock_can_be_taken_by_a_waiting_python_thread(database):
    got_it = threading.Event()

    def taker():
        with db.lock:
            got_it.set()

    db.lock.acquire()
    thread = threading.Thread(target=taker)
    thread.start()
    assert not got_it.wait(0.05)
    db.lock.release()
    assert got_it.wait(10)
    thread.join(10)
