"""The bot plug-in against a fake Bot API server on loopback.

Each test loads the bot module in a child interpreter, as a host would (the module
starts polling when imported, so a fresh process gives a fresh bot), drives it through
the fake server and reads its request record through the child. Every child ends
without close() and must exit promptly; its standard output and error must never show
the token.
"""

from __future__ import annotations

import json
import os
import re
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

from morvex_trader.platform.fake_telegram import FakeTelegramServer, RawUpdate, command_entities

pytestmark = pytest.mark.timeout(30)

TOKEN = "123456789:AAF-secret_TOKEN_value"
CHAT = 424242
OTHER_CHAT = 999
ROOT = Path(__file__).resolve().parents[2]
DRIVER = Path(__file__).with_name("bot_driver.py")

INITIAL = {
    "morvex_trader_status": "Running",
    "get_balance": False,
    "get_positions": False,
    "get_orders": False,
    "num_orders_displayed": 1,
    "active_orders": False,
    "get_deals": False,
    "num_deals_displayed": 1,
    "cancel_order": False,
    "cancel_order_id": None,
    "gateway_name": None,
    "cancel_orders": False,
    "send_order": False,
    "order_string": "",
    "close_positions": False,
    "close_positions_gateway_name": None,
    "get_report": False,
    "get_status": False,
}
RECORD = "{f: getattr(bot, f) for f in %r}" % (list(INITIAL),)

ORDERS_USAGE = (
    "/orders [parameters]: Fetch orders\n"
    '- filter:str (optional) if "-a", only return alive orders\n'
    "- n:int (optional) number of displayed records"
)
DEALS_USAGE = "/deals [parameters]: fetch done deals\n- n:int (optional) number of displayed records"
CANCEL_ORDER_USAGE = (
    "/cancel_order [parameters]: cancel an active order\n"
    "- order_id: str, the id of the order\n"
    "- gateway_name: str, the name of the gateway"
)
SEND_ORDER_USAGE = (
    "/send_order [parameters] send an order with string instruction:\n"
    "- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n"
    + " " * 16
    + "order_type(m/l/s), gateway_name, price(None),\n"
    + " " * 16
    + "stop_price(None)"
)
CLOSE_POSITIONS_USAGE = "/close_positions [parameters]:\n- gateway_name: str, the name of the gateway"
SUMMARY = (
    '\n    <Morvex-Trader TelegramBot> Available commands:"\n'
    + "".join(
        f"    {i}. /{c}\n"
        for i, c in enumerate(
            [
                "stop",
                "balance",
                "positions",
                "orders",
                "deals",
                "cancel_order",
                "cancel_orders",
                "send_order",
                "close_positions",
                "help",
            ],
            1,
        )
    )
    + "    "
)

STAMP = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)(\.\d{6})?\] ")
ORDER = "700,100,l,o,l,CQG,350.2,None"


def unstamped(text: str) -> str:
    """The reply with its time stamp replaced by "[T] " (checking the stamp's form)."""
    match = STAMP.match(text)
    if not match:
        return text
    assert match.group(2) != ".000000", "zero microseconds are left out"
    return "[T] " + text[match.end() :]


class RemoteError(Exception):
    pass


class BotProcess:
    """A child interpreter that has imported the bot module."""

    def __init__(self, config_dir: Path, out_dir: Path, args: list[str] | None = None) -> None:
        self.stdout_path = out_dir / "stdout.txt"
        self.stderr_path = out_dir / "stderr.txt"
        req_read, self._req_write = os.pipe()
        self._ans_read, ans_write = os.pipe()
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(config_dir), str(ROOT / "python")]))
        command = args or [str(DRIVER), str(req_read), str(ans_write)]
        with open(self.stdout_path, "w") as out, open(self.stderr_path, "w") as err:
            self.process = subprocess.Popen(
                [sys.executable, *command],
                stdout=out,
                stderr=err,
                stdin=subprocess.DEVNULL,
                env=env,
                pass_fds=(req_read, ans_write),
            )
        os.close(req_read)
        os.close(ans_write)
        self._answers = os.fdopen(self._ans_read, "r")
        self._requests = os.fdopen(self._req_write, "w")
        self.load_error = None
        if not args:
            try:
                self._read()
            except RemoteError as error:
                self.load_error = error.args

    def _read(self, timeout: float = 10.0):
        ready, _, _ = select.select([self._answers], [], [], timeout)
        if not ready:
            raise TimeoutError("the bot process did not answer")
        line = self._answers.readline()
        if not line:
            raise RemoteError("EOF", self.stderr())
        answer = json.loads(line)
        if "error" in answer:
            raise RemoteError(*answer["error"])
        return answer["value"]

    def _send(self, request: dict, timeout: float = 10.0):
        self._requests.write(json.dumps(request) + "\n")
        self._requests.flush()
        return self._read(timeout)

    def eval(self, expression: str, timeout: float = 10.0):
        return self._send({"eval": expression}, timeout)

    def exec(self, code: str, timeout: float = 10.0) -> None:
        self._send({"exec": code}, timeout)

    def record(self) -> dict:
        return self.eval(RECORD)

    def stdout(self) -> str:
        return self.stdout_path.read_text()

    def stderr(self) -> str:
        return self.stderr_path.read_text()

    def wait_stderr(self, text: str, timeout: float = 5.0) -> None:
        deadline = time.monotonic() + timeout
        while text not in self.stderr():
            if time.monotonic() > deadline:
                raise TimeoutError(f"{text!r} never appeared on standard error: {self.stderr()!r}")
            time.sleep(0.01)

    def exit_without_close(self, timeout: float = 5.0) -> int:
        if self.process.poll() is None:
            try:
                self._requests.write(json.dumps({"exit": 0}) + "\n")
                self._requests.flush()
            except BrokenPipeError:
                pass
        try:
            return self.process.wait(timeout)
        finally:
            if self.process.poll() is None:
                self.process.kill()
            self._answers.close()
            try:
                self._requests.close()
            except BrokenPipeError:
                pass


@pytest.fixture
def fake():
    server = FakeTelegramServer(token=TOKEN)
    yield server
    server.stop()


@pytest.fixture
def start_bot(fake, config_module, tmp_path):
    """start_bot(**config) -> a BotProcess whose bot polls the fake server."""
    started: list[BotProcess] = []

    def start(wait_polling: bool = True, args: list[str] | None = None, **overrides) -> BotProcess:
        settings = {"TELEGRAM_TOKEN": TOKEN, "TELEGRAM_CHAT_ID": CHAT, "TELEGRAM_API_URL": fake.url}
        settings.update(overrides)
        settings = {k: v for k, v in settings.items() if v is not None}
        process = BotProcess(config_module(**settings), tmp_path, args)
        started.append(process)
        if wait_polling and process.load_error is None and not args:
            fake.wait_polling()
        return process

    yield start
    for process in started:
        code = process.exit_without_close()
        assert code == (3 if process.load_error else 0), process.stderr()
        for captured in (process.stdout(), process.stderr()):
            assert TOKEN not in captured


def replies(fake: FakeTelegramServer, count: int) -> list[str]:
    return [unstamped(text) for text in fake.wait_for_sent(count)]


def send_and_settle(fake: FakeTelegramServer, texts: list[str], chat_id: int = CHAT) -> list[str]:
    """Pushes texts, then a marker echo; returns every reply before the marker's."""
    for text in texts:
        fake.push_message(text, chat_id=chat_id)
    fake.push_message("marker")
    fake.wait_for(lambda: "[ECHO] marker" in [m.text for m in fake.sent], what="the marker echo")
    texts_sent = [unstamped(t) for t in fake.sent_texts()]
    assert texts_sent[-1] == "[ECHO] marker"
    return texts_sent[:-1]


# -- loading ----------------------------------------------------------------------------


def test_import_starts_polling_with_the_initial_record(start_bot, fake):
    bot = start_bot()
    assert bot.record() == INITIAL
    assert bot.eval("bot.updater.running") is True
    assert bot.eval("m.TelegramBot.__doc__") == SUMMARY
    assert bot.eval("type(bot.updater.bot).__name__") == "CustomedExtBot"
    assert bot.eval("bot.updater.bot.get_balance") is False
    getme = fake.calls("getMe")
    assert len(getme) == 1
    assert fake.calls("getUpdates")[-1].params["timeout"] > 0


@pytest.mark.parametrize("missing", ["TELEGRAM_TOKEN", "TELEGRAM_CHAT_ID"])
def test_a_missing_config_key_fails_the_load(start_bot, fake, missing):
    bot = start_bot(wait_polling=False, **{missing: None})
    assert bot.load_error == ("ImportError", f"morvex_trader_config has no {missing}")
    assert fake.requests == []


def test_commands_waiting_from_before_the_start_are_not_executed(start_bot, fake):
    fake.push_message("/balance")
    fake.push_message("/stop")
    bot = start_bot()
    assert send_and_settle(fake, ["/positions"]) == ["[T] Fetching positions..."]
    record = bot.record()
    assert (record["get_balance"], record["morvex_trader_status"], record["get_positions"]) == (False, "Running", True)


def test_a_command_sent_while_get_me_is_held_is_served(start_bot, fake):
    fake.push_message("/stop")  # waiting from before the start: never executed
    fake.hold("getMe")
    bot = start_bot(wait_polling=False)
    fake.push_message("/balance")  # after TelegramBot() returned, before polling could begin
    fake.release("getMe")
    fake.wait_polling()
    assert send_and_settle(fake, []) == ["[T] Fetching balance..."]
    assert bot.eval("(bot.get_balance, bot.morvex_trader_status)") == [True, "Running"]


def test_a_bot_started_while_the_service_is_away_drops_only_older_messages(start_bot, fake):
    fake.push_message("/stop", date=int(time.time()) - 30)
    fake.stop()
    bot = start_bot(wait_polling=False)
    fake.push_message("/balance")  # sent after the start, while the bot cannot reach the service
    fake.start()
    fake.wait_polling()
    assert send_and_settle(fake, []) == ["[T] Fetching balance..."]
    assert bot.eval("(bot.get_balance, bot.morvex_trader_status)") == [True, "Running"]
    assert bot.stderr().count("telegram: could not skip the updates pending at the start") == 1


# -- commands ---------------------------------------------------------------------------

COMMANDS = [
    ("stop", ["/stop"], ["[T] Terminating Morvex-Trader..."], {"morvex_trader_status": "Terminated"}),
    (
        "stop ignores args",
        ["/stop now please"],
        ["[T] Terminating Morvex-Trader..."],
        {"morvex_trader_status": "Terminated"},
    ),
    ("balance", ["/balance"], ["[T] Fetching balance..."], {"get_balance": True}),
    ("positions", ["/positions x"], ["[T] Fetching positions..."], {"get_positions": True}),
    ("cancel_orders", ["/cancel_orders"], ["[T] Canceling all active orders..."], {"cancel_orders": True}),
    (
        "orders",
        ["/orders"],
        ["[T] []...", "[T] Fetching orders (active_orders=False, num_orders_displayed=1)..."],
        {"get_orders": True},
    ),
    (
        "orders n -a",
        ["/orders 5 -a"],
        ["[T] ['5', '-a']...", "[T] Fetching orders (active_orders=True, num_orders_displayed=5)..."],
        {"get_orders": True, "active_orders": True, "num_orders_displayed": 5},
    ),
    (
        "orders -a n",
        ["/orders -a 5"],
        ["[T] ['-a', '5']...", "[T] Fetching orders (active_orders=True, num_orders_displayed=5)..."],
        {"get_orders": True, "active_orders": True, "num_orders_displayed": 5},
    ),
    (
        "orders -a",
        ["/orders -a"],
        ["[T] ['-a']...", "[T] Fetching orders (active_orders=True, num_orders_displayed=1)..."],
        {"get_orders": True, "active_orders": True},
    ),
    (
        "orders keeps earlier values",
        ["/orders -a", "/orders 3"],
        [
            "[T] ['-a']...",
            "[T] Fetching orders (active_orders=True, num_orders_displayed=1)...",
            "[T] ['3']...",
            "[T] Fetching orders (active_orders=True, num_orders_displayed=3)...",
        ],
        {"get_orders": True, "active_orders": True, "num_orders_displayed": 3},
    ),
    ("deals", ["/deals"], ["[T] Fetching deals (num_deals_displayed=1)..."], {"get_deals": True}),
    (
        "deals 0",
        ["/deals 0"],
        ["[T] Fetching deals (num_deals_displayed=0)..."],
        {"get_deals": True, "num_deals_displayed": 0},
    ),
    (
        "deals -3",
        ["/deals -3"],
        ["[T] Fetching deals (num_deals_displayed=-3)..."],
        {"get_deals": True, "num_deals_displayed": -3},
    ),
    (
        "cancel_order",
        ["/cancel_order A-17 CQG"],
        ["[T] Canceling order: order_id=A-17,gateway_name=CQG..."],
        {"cancel_order": True, "cancel_order_id": "A-17", "gateway_name": "CQG"},
    ),
    (
        "send_order",
        [f"/send_order {ORDER}"],
        [f"[T] Send order ({ORDER})..."],
        {"send_order": True, "order_string": ORDER},
    ),
    ("close_positions", ["/close_positions"], ["[T] Closing positions..."], {"close_positions": True}),
    ("status", ["/status"], ["[T] Fetching status..."], {"get_status": True}),
    ("status ignores args", ["/status now"], ["[T] Fetching status..."], {"get_status": True}),
    (
        "close_positions gateway",
        ["/close_positions CQG"],
        ["[T] Closing positions..."],
        {"close_positions": True, "close_positions_gateway_name": "CQG"},
    ),
    ("report", ["/report now"], ["[T] Fetching session report..."], {"get_report": True}),
    ("addressed to us", ["/balance@morvex_test_bot"], ["[T] Fetching balance..."], {"get_balance": True}),
    ("echo", ["hello  world"], ["[ECHO] hello  world"], {}),
]


@pytest.mark.parametrize("texts, expected_replies, writes", [c[1:] for c in COMMANDS], ids=[c[0] for c in COMMANDS])
def test_command_writes_its_request_and_acknowledges(start_bot, fake, texts, expected_replies, writes):
    bot = start_bot()
    assert send_and_settle(fake, texts) == expected_replies
    assert bot.record() == {**INITIAL, **writes}
    assert all(m.chat_id == CHAT for m in fake.sent)


BAD_ARGUMENTS = [
    ("orders x", "/orders x", ["[T] ['x']...", ORDERS_USAGE]),
    ("orders three args", "/orders 1 2 3", ["[T] ['1', '2', '3']...", ORDERS_USAGE]),
    ("orders two counts", "/orders 5 7", ["[T] ['5', '7']...", ORDERS_USAGE]),
    ("orders -a x", "/orders -a x", ["[T] ['-a', 'x']...", ORDERS_USAGE]),
    ("orders -a -a", "/orders -a -a", ["[T] ['-a', '-a']...", ORDERS_USAGE]),
    ("orders quote", "/orders it's", ['[T] ["it\'s"]...', ORDERS_USAGE]),
    ("deals two args", "/deals 1 2", [DEALS_USAGE]),
    ("deals x", "/deals x", [DEALS_USAGE]),
    ("deals 1.5", "/deals 1.5", [DEALS_USAGE]),
    ("cancel_order one arg", "/cancel_order A-17", [CANCEL_ORDER_USAGE]),
    ("cancel_order none", "/cancel_order", [CANCEL_ORDER_USAGE]),
    ("cancel_order three", "/cancel_order a b c", [CANCEL_ORDER_USAGE]),
    ("send_order 7 pieces", "/send_order 700,100,l,o,l,CQG,350.2", [SEND_ORDER_USAGE]),
    ("send_order 9 pieces", "/send_order 700,100,l,o,l,CQG,350.2,None,x", [SEND_ORDER_USAGE]),
    ("send_order blank inside", "/send_order 700,100,l,o, l,CQG,350.2,None", [SEND_ORDER_USAGE]),
    ("send_order none", "/send_order", [SEND_ORDER_USAGE]),
    ("close_positions two", "/close_positions CQG IB", [CLOSE_POSITIONS_USAGE]),
]


@pytest.mark.parametrize("text, expected_replies", [c[1:] for c in BAD_ARGUMENTS], ids=[c[0] for c in BAD_ARGUMENTS])
def test_unusable_arguments_get_the_usage_text_and_write_nothing(start_bot, fake, text, expected_replies):
    bot = start_bot()
    assert send_and_settle(fake, [text]) == expected_replies
    assert bot.record() == INITIAL


def test_help_foreign_commands_other_chats_and_edits_are_not_served(start_bot, fake):
    bot = start_bot()
    fake.push_message("/balance", chat_id=OTHER_CHAT)
    fake.push_message("hello", chat_id=OTHER_CHAT)
    fake.push_message(f"/send_order {ORDER}", edited=True)
    fake.push_update({"channel_post": {"message_id": 1, "chat": {"id": CHAT}, "date": 0, "text": "/stop"}})
    fake.push_update({"callback_query": {"id": "1"}})
    assert send_and_settle(fake, ["/help", "/positions@OtherBot", "/nonsense"]) == []
    assert bot.record() == INITIAL
    assert "failed" not in bot.stderr()


# -- the engine's side ------------------------------------------------------------------


def test_engine_reads_and_clears_a_request(start_bot, fake):
    bot = start_bot()
    send_and_settle(fake, ["/cancel_order A-17 CQG"])
    bot.exec("bot.cancel_order = False; bot.cancel_order_id = None; bot.gateway_name = None")
    bot.exec("bot.num_orders_displayed = 12; bot.morvex_trader_status = 'Terminated'")
    assert bot.record() == {**INITIAL, "num_orders_displayed": 12, "morvex_trader_status": "Terminated"}
    assert bot.eval("type(bot.num_orders_displayed).__name__") == "int"


@pytest.mark.parametrize(
    "statement, text",
    [
        ("bot.morvex_trader_status = 5", "morvex_trader_status must be a str"),
        ("bot.morvex_trader_status = b'Running'", "morvex_trader_status must be a str"),
        ("bot.morvex_trader_status = None", "morvex_trader_status must be a str"),
        ("bot.get_balance = 'yes'", "get_balance must be a bool"),
        ("bot.num_deals_displayed = 2.5", "num_deals_displayed must be an int"),
        ("bot.cancel_order_id = 17", "cancel_order_id must be a str or None"),
    ],
    ids=["status int", "status bytes", "status None", "flag text", "count float", "id int"],
)
def test_setters_refuse_values_of_the_wrong_kind(start_bot, statement, text):
    bot = start_bot()
    with pytest.raises(RemoteError) as raised:
        bot.exec(statement)
    assert raised.value.args == ("TypeError", text)
    assert bot.record() == INITIAL


def surrogate_error(position: int, name: str) -> tuple[str, str]:
    return (
        "UnicodeEncodeError",
        f"'utf-8' codec can't encode character '\\ud800' in position {position}: surrogates not allowed in {name}",
    )


TEXT_UTF8_CANNOT_HOLD = [
    ("send_message", "bot.send_message('ok \\ud800')", 3, "msg"),
    ("client send_message", f"bot.updater.bot.send_message({CHAT}, '\\ud800')", 0, "text"),
    ("status", "bot.morvex_trader_status = '\\ud800'", 0, "morvex_trader_status"),
    ("order_string", "bot.order_string = 'a,\\ud800'", 2, "order_string"),
    ("cancel_order_id", "bot.cancel_order_id = '\\ud800'", 0, "cancel_order_id"),
    ("gateway_name", "bot.gateway_name = '\\ud800'", 0, "gateway_name"),
    ("close_positions_gateway_name", "bot.close_positions_gateway_name = '\\ud800'", 0, "close_positions_gateway_name"),
    ("client setter", "bot.updater.bot.order_string = '\\ud800'", 0, "order_string"),
    ("token", "m.TelegramBot('1:\\ud800')", 2, "token"),
    ("send_photo caption", "bot.send_photo(b'x', caption='\\ud800')", 0, "caption"),
    ("send_photo path", "bot.send_photo('/tmp/\\ud800.png')", 5, "photo"),
]


def test_a_photo_path_with_a_nul_is_refused_and_reads_no_file(start_bot, fake, tmp_path):
    (tmp_path / "real.png").write_bytes(b"\x89PNG\r\n\x1a\n")  # what the text before the NUL names
    bot = start_bot()
    with pytest.raises(RemoteError) as raised:
        bot.exec(f"bot.send_photo({str(tmp_path / 'real.png')!r} + '\\0.jpg')")
    assert raised.value.args == ("ValueError", "embedded null character in photo")
    assert fake.calls("sendPhoto") == []


@pytest.mark.parametrize(
    "statement, position, name", [c[1:] for c in TEXT_UTF8_CANNOT_HOLD], ids=[c[0] for c in TEXT_UTF8_CANNOT_HOLD]
)
def test_text_utf8_cannot_hold_is_refused_naming_the_argument(start_bot, fake, statement, position, name):
    bot = start_bot()
    with pytest.raises(RemoteError) as raised:
        bot.exec(statement)
    assert raised.value.args == surrogate_error(position, name)
    assert bot.record() == INITIAL
    assert fake.sent == []


def test_a_token_utf8_cannot_hold_fails_the_load_naming_it(start_bot, fake):
    bot = start_bot(wait_polling=False, TELEGRAM_TOKEN="1:\ud800")
    assert bot.load_error == ("ImportError", "initialization failed", *surrogate_error(2, "TELEGRAM_TOKEN"))
    assert fake.requests == []


def test_send_message_goes_to_the_configured_chat_or_the_one_given(start_bot, fake):
    bot = start_bot()
    bot.exec("bot.send_message('to default')")
    bot.exec("bot.send_message('to other', chat_id=-1001234567890123)")
    bot.exec("bot.send_message('float id', 55.0)")
    assert [(m.chat_id, m.text) for m in fake.sent] == [
        (CHAT, "to default"),
        (-1001234567890123, "to other"),
        (55, "float id"),
    ]


def test_send_message_can_go_without_the_notification_sound(start_bot, fake):
    bot = start_bot()
    bot.exec("bot.send_message('loud')")
    bot.exec("bot.send_message('\\n'.join(['q' * 99] * 50), disable_notification=True)")  # two pieces
    bot.exec(
        "from morvex_trader.engine.notifier import Notifier\n"
        "n = Notifier(bot, lambda kind: 'silent')\nn.notify('fill', 'filled')\nn.close()"
    )
    assert [(m.text[:6], m.silent) for m in fake.sent] == [
        ("loud", False),
        ("q" * 6, True),
        ("q" * 6, True),
        ("filled", True),
    ]


def test_send_message_failure_carries_the_service_description(start_bot, fake):
    bot = start_bot()
    fake.known_chats = {CHAT}
    with pytest.raises(RemoteError) as raised:
        bot.exec("bot.send_message('x', chat_id=5)")
    assert raised.value.args == ("TelegramError", "Bad Request: chat not found")
    assert bot.eval("issubclass(m.TelegramError, RuntimeError)")
    bot.exec("try:\n bot.send_message('x', chat_id=5)\nexcept m.TelegramError as e:\n err = e")
    assert bot.eval("(err.error_code, err.description)") == [400, "Bad Request: chat not found"]


ID, SECRET = TOKEN.split(":")
TOKEN_FORMS = [
    ("plain", TOKEN, "<token>"),
    ("colon upper case", f"{ID}%3A{SECRET}", "<token>"),
    ("colon lower case", f"{ID}%3a{SECRET}", "<token>"),
    ("every byte upper case", "".join(f"%{b:02X}" for b in TOKEN.encode()), "<token>"),
    ("every byte lower case", "".join(f"%{b:02x}" for b in TOKEN.encode()), "<token>"),
    ("plus for the colon", f"{ID}+{SECRET}", "<token>"),
    ("encoded twice", f"{ID}%253A{SECRET}", "<token>"),
    ("secret alone", SECRET, "<token>"),
    ("secret percent-encoded", SECRET.replace("-", "%2D").replace("_", "%5f"), "<token>"),
]


@pytest.mark.parametrize("form, redacted", [c[1:] for c in TOKEN_FORMS], ids=[c[0] for c in TOKEN_FORMS])
def test_the_token_is_redacted_in_every_url_form(start_bot, fake, form, redacted):
    bot = start_bot()
    fake.fail("sendMessage", 400, f"Bad Request: wrong path /bot{form}/sendMessage")
    with pytest.raises(RemoteError) as raised:
        bot.exec("bot.send_message('x')")
    assert raised.value.args == ("TelegramError", f"Bad Request: wrong path /bot{redacted}/sendMessage")
    fake.fail("getUpdates", 409, f"Conflict: /bot{form}/getUpdates", times=2)
    fake.push_message("/balance")  # answers the held poll; the next one is refused
    bot.wait_stderr("getUpdates conflict (409: ")
    assert f"Conflict: /bot{redacted}/getUpdates" in bot.stderr()
    assert form not in bot.stderr()


def test_a_long_report_arrives_whole_in_several_messages(start_bot, fake):
    bot = start_bot()
    report = "\n".join(f"order {i:04d} \u20ac filled \U0001F600" for i in range(500))
    bot.exec(f"bot.send_message({report!r})")
    assert len(fake.sent) >= 3  # the fake refuses any piece over 4096 UTF-16 units
    assert "\n".join(fake.sent_texts()) == report


# A small PNG header followed by bytes that a text transfer would damage.
PHOTO = (
    b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR"
    + (1100).to_bytes(4, "big")
    + (1010).to_bytes(4, "big")
    + bytes(range(256)) * 4
)


@pytest.mark.parametrize("how", ["bytes", "path", "pathlike", "memoryview"])
def test_send_photo_uploads_the_picture_and_its_caption(start_bot, fake, tmp_path, how):
    bot = start_bot()
    picture = tmp_path / "report.png"
    picture.write_bytes(PHOTO)
    argument = {
        "bytes": repr(PHOTO),
        "path": repr(str(picture)),
        "pathlike": f"__import__('pathlib').Path({str(picture)!r})",
        "memoryview": f"memoryview(bytearray({PHOTO!r}))",
    }[how]
    bot.exec(f"bot.send_photo({argument}, 'Session report: 3 fill(s) \u20ac')")
    bot.exec(f"bot.send_photo({argument}, chat_id=-1001234567890123)")
    first, second = fake.wait_for_photos(2)
    assert (first.chat_id, first.photo, first.caption, first.content_type) == (
        CHAT,
        PHOTO,
        "Session report: 3 fill(s) \u20ac",
        "image/png",
    )
    assert (second.chat_id, second.photo, second.caption) == (-1001234567890123, PHOTO, "")
    assert first.filename == ("report.png" if how in ("path", "pathlike") else "photo.png")
    assert fake.sent == []


@pytest.mark.parametrize(
    "statement, error",
    [
        (
            "bot.send_photo(b'\\x89PNG' * (10 * 1024 * 1024 // 4 + 1))",
            ("ValueError", "the photo is 10485764 bytes; the Bot API takes photos of at most 10485760 bytes (10 MB)"),
        ),
        (
            "bot.send_photo(BIG_FILE)",
            (
                "ValueError",
                "the photo file {big} is 10485761 bytes; the Bot API takes photos of at most 10485760 bytes (10 MB)",
            ),
        ),
        (
            "bot.send_photo(PHOTO, 'c' * 1025)",
            ("ValueError", "the caption is 1025 characters; the Bot API takes at most 1024"),
        ),
        ("bot.send_photo(MISSING)", ("FileNotFoundError", "[Errno 2] no photo file at {missing}")),
        ("bot.send_photo(17)", ("TypeError", "photo must be bytes or the path of an image file")),
    ],
    ids=["bytes over 10 MB", "file over 10 MB", "caption over 1024", "missing file", "not a photo"],
)
def test_send_photo_refuses_before_sending(start_bot, fake, tmp_path, statement, error):
    bot = start_bot()
    big, missing = tmp_path / "big.png", tmp_path / "nowhere" / "r.png"
    with open(big, "wb") as out:
        out.truncate(10 * 1024 * 1024 + 1)
    bot.exec(f"BIG_FILE = {str(big)!r}; MISSING = {str(missing)!r}; PHOTO = {PHOTO!r}")
    with pytest.raises(RemoteError) as raised:
        bot.exec(statement)
    kind, text = error
    assert raised.value.args == (kind, text.format(big=big, missing=missing))
    assert fake.calls("sendPhoto") == []


@pytest.mark.parametrize(
    "status, description",
    [
        (413, "Request Entity Too Large"),
        (400, "Bad Request: IMAGE_PROCESS_FAILED"),
    ],
)
def test_send_photo_refused_by_the_service_raises_its_description(start_bot, fake, status, description):
    bot = start_bot()
    fake.fail("sendPhoto", status, description)
    bot.exec(f"try:\n bot.send_photo({PHOTO!r})\nexcept m.TelegramError as e:\n err = e")
    assert bot.eval("(type(err).__name__, str(err), err.error_code)") == ["TelegramError", description, status]
    assert TOKEN not in bot.eval("repr(err)")
    assert fake.photos == []


def test_send_photo_waits_out_a_rate_limit(start_bot, fake):
    bot = start_bot()
    fake.fail("sendPhoto", 429, "Too Many Requests: retry after 1", retry_after=1)
    bot.exec(f"bot.send_photo({PHOTO!r}, 'after the wait')")
    refused, accepted = fake.calls("sendPhoto")
    assert accepted.at - refused.at >= 0.95
    assert [(p.photo, p.caption) for p in fake.photos] == [(PHOTO, "after the wait")]


def test_get_updates_and_get_chat_id_read_what_is_pending(start_bot, fake):
    bot = start_bot()
    bot.exec("bot.close()")
    with pytest.raises(RemoteError) as raised:
        bot.exec("bot.get_chat_id()")
    assert raised.value.args == ("IndexError", "no update is pending")
    fake.push_message("hi", chat_id=31337, user_id=31337)
    assert bot.eval("bot.get_chat_id()") == 31337
    assert bot.eval("bot.updates[0]['message']['text']") == "hi"
    assert '"text":"hi"' in bot.stdout()


# -- faults -----------------------------------------------------------------------------


def test_a_handler_failure_is_reported_and_polling_goes_on(start_bot, fake):
    bot = start_bot()
    fake.fail("sendMessage", 400, "Bad Request: chat not found")
    fake.push_message("/balance")
    bot.wait_stderr("telegram: the handler of /balance failed: Bad Request: chat not found")
    assert send_and_settle(fake, ["/positions"]) == ["[T] Fetching positions..."]
    assert bot.eval("(bot.get_balance, bot.get_positions)") == [True, True]


def raw_message(text_json: str) -> str:
    """A message as JSON text whose "text" is `text_json`, a JSON string literal as written
    (a command when it starts with "/")."""
    entities = ', "entities": [{"type": "bot_command", "offset": 0, "length": 5}]'
    return '{"message_id": 1, "chat": {"id": %d, "type": "private"}, "date": %d, "text": %s%s}' % (
        CHAT,
        time.time(),
        text_json,
        entities if text_json.startswith('"/') else "",
    )


def command(text: str) -> dict:
    return {
        "message": {
            "message_id": 1,
            "chat": {"id": CHAT, "type": "private"},
            "date": int(time.time()),
            "text": text,
            "entities": command_entities(text),
        }
    }


UNREADABLE = [
    ("lone high surrogate", '{"update_id": $update_id, "message": %s}' % raw_message(r'"\ud800"')),
    ("lone low surrogate", '{"update_id": $update_id, "message": %s}' % raw_message(r'"x\udc00y"')),
    ("high surrogate then text", '{"update_id": $update_id, "message": %s}' % raw_message(r'"/stop \ud83dA"')),
    ("no update_id", '{"message": %s}' % raw_message('"/stop"')),
    ("update_id not an integer", '{"update_id": "$update_id", "message": %s}' % raw_message('"/stop"')),
    ("not an object", "[$update_id, %s]" % raw_message('"/stop"')),
]


@pytest.mark.parametrize("raw", [c[1] for c in UNREADABLE], ids=[c[0] for c in UNREADABLE])
def test_an_update_the_client_cannot_read_is_skipped_and_the_others_served(start_bot, fake, raw):
    bot = start_bot()
    # The unreadable entry between two commands, and again last, where only its own
    # position tells the client how far to confirm.
    ids = fake.push_updates([command("/balance"), RawUpdate(raw), command("/positions"), RawUpdate(raw)])
    fake.wait_confirmed(ids[-1])
    assert send_and_settle(fake, []) == ["[T] Fetching balance...", "[T] Fetching positions..."]
    assert bot.eval("(bot.get_balance, bot.get_positions, bot.morvex_trader_status)") == [True, True, "Running"]
    assert bot.stderr().count("telegram: skipped an update") == 2


def test_an_absurd_retry_after_is_clamped_not_spun_on(start_bot, fake):
    bot = start_bot()
    fake.fail("getUpdates", 429, "Too Many Requests: retry after forever", retry_after=10**18)

    def polls() -> int:
        return len([r for r in fake.requests if r.method == "getUpdates"])

    refused = polls() + 1
    fake.push_message("/balance")  # answers the held poll; the next poll gets the 429
    fake.wait_for(lambda: polls() >= refused, what="the refused poll")
    fake.wait_for_sent(1)
    with pytest.raises(TimeoutError):  # a spinning poller asks again within milliseconds
        fake.wait_for(lambda: polls() > refused, timeout=0.5, what="another poll")
    bot.exec("import time; t = time.perf_counter(); bot.close(); took = time.perf_counter() - t")
    assert bot.eval("took") < 1.0


def test_rate_limit_waits_retry_after(start_bot, fake):
    bot = start_bot()
    fake.fail("getUpdates", 429, "Too Many Requests: retry after 1", retry_after=1)
    first = fake.push_message("/balance")  # answers the held poll; the next poll gets 429
    fake.wait_for_sent(1)
    fake.wait_confirmed(first)
    fake.wait_polling()
    polls = fake.calls("getUpdates")
    refused, after = polls[-2], polls[-1]
    assert after.at - refused.at >= 0.95
    assert send_and_settle(fake, ["/positions"])[-1] == "[T] Fetching positions..."
    assert "429" not in bot.stderr()


def test_polling_survives_the_server_going_away_and_coming_back(start_bot, fake):
    bot = start_bot()
    fake.stop()
    bot.wait_stderr("telegram: polling failed")
    fake.push_message("/balance")
    fake.start()
    fake.wait_for_sent(1)
    assert unstamped(fake.sent_texts()[0]) == "[T] Fetching balance..."
    bot.wait_stderr("telegram: polling works again.")
    assert bot.stderr().count("telegram: polling failed") == 1


@pytest.mark.parametrize(
    "status, description, line",
    [
        (409, "Conflict: terminated by other getUpdates request", "getUpdates conflict (409"),
        (401, "Unauthorized", "refused the bot token (401"),
        (500, "Internal Server Error", "the Bot API failed (Internal Server Error)"),
    ],
    ids=["409", "401", "500"],
)
def test_refusals_are_reported_once_and_polling_recovers(start_bot, fake, status, description, line):
    bot = start_bot()
    fake.fail("getUpdates", status, description, times=3)
    fake.push_message("/balance")  # answers the held poll; the next three fail
    fake.wait_for_sent(1)
    assert send_and_settle(fake, ["/positions"])[-1] == "[T] Fetching positions..."
    assert bot.stderr().count(line) == 1


def test_close_returns_at_once_during_a_long_poll(start_bot, fake):
    bot = start_bot()
    bot.exec("import time; t = time.perf_counter(); bot.close(); took = time.perf_counter() - t")
    assert bot.eval("took") < 1.0
    assert bot.eval("bot.updater.running") is False
    fake.push_message("/balance")
    bot.exec("bot.send_message('still reaches the client')")
    assert fake.sent_texts() == ["still reaches the client"]
    assert bot.eval("bot.get_balance") is False


def test_waits_release_the_gil(start_bot, fake):
    bot = start_bot()
    fake.fail("sendMessage", 429, "Too Many Requests: retry after 1", retry_after=1)
    bot.exec(
        "import threading, time\n"
        "ticks = 0\n"
        "def count():\n"
        "    global ticks\n"
        "    end = time.monotonic() + 0.8\n"
        "    while time.monotonic() < end:\n"
        "        ticks += 1\n"
        "        time.sleep(0.001)\n"
        "counter = threading.Thread(target=count); counter.start()\n"
        "bot.send_message('after the rate limit')\n"
        "counter.join()\n"
    )
    assert bot.eval("ticks") > 100  # the counter ran while send_message waited
    assert fake.sent_texts() == ["after the rate limit"]


def test_the_self_test_sends_one_message_and_prints_closed(start_bot, fake):
    child = start_bot(wait_polling=False, args=["-m", "morvex_trader.plugins.telegram"])
    assert child.process.wait(10) == 0, child.stderr()
    assert [(m.chat_id, m.text) for m in fake.sent] == [(CHAT, "Yes I am here!")]
    assert child.stdout().splitlines() == ["Closed."]
