"""A fake Telegram Bot API server on loopback, for tests, the demo and paper trading.

It speaks real HTTP the way the public service does: ``POST /bot<token>/<method>`` with
JSON (or form) parameters, answers ``{"ok": true, "result": ...}`` or
``{"ok": false, "error_code": ..., "description": ...}``.

- ``getUpdates`` serves the queued updates: ``offset`` confirms (drops) every update
  below it, a negative offset keeps only the newest ``-offset`` updates and forgets the
  rest, ``timeout`` holds the request until an update arrives, the time runs out or the
  server stops. Every queued update is served whatever ``allowed_updates`` says, so a
  client's own filtering is what a test sees.
- ``sendMessage`` is recorded (``sent``; ``silent`` when sent with
  ``disable_notification``); it refuses an empty text, a text over 4096
  UTF-16 units and, when ``known_chats`` is set, a chat not in it, with the service's
  descriptions.
- ``sendPhoto`` (a multipart/form-data upload) is recorded the same way (``photos``: the
  photo's bytes, its file name and type, the caption); it refuses a request without a
  photo, a photo that is not a PNG or JPEG image, one over 10 MB and a caption over 1024
  UTF-16 units.
- ``getMe`` answers the bot's ``username``; ``deleteWebhook`` answers true.
- ``fail(method, status, ...)`` makes the next calls of a method fail (429 with
  ``retry_after``, 500, 409, 401, or a body that is not JSON).
- ``hold(method)`` keeps every call of a method waiting until ``release(method)`` (or
  until the server stops), so a test can order what a client sees.
- ``RawUpdate(text)`` queues an update served as that JSON text (``$update_id`` in it
  replaced by the id the server gives it): one a client cannot read (no ``update_id``, a
  lone surrogate escape). It still has an id of its own and is confirmed like any other.
- ``stop()`` makes the server go away (the port closes, held polls are cut) and
  ``start()`` brings it back on the same port.

Usage::

    with FakeTelegramServer() as server:
        # configure TELEGRAM_API_URL = server.url, then:
        server.push_message("/balance", chat_id=42)
        server.wait_for_sent(1)
"""

from __future__ import annotations

import email.parser
import email.policy
import email.utils
from email.message import EmailMessage
import json
import socket
import threading
import time
import urllib.parse
from collections import deque
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Optional

DEFAULT_CHAT_ID = 424242
DEFAULT_USER_ID = 777
MAX_MESSAGE_UNITS = 4096
MAX_CAPTION_UNITS = 1024
MAX_PHOTO_BYTES = 10 * 1024 * 1024
IMAGE_SIGNATURES = (b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff")


@dataclass
class SentMessage:
    chat_id: int
    text: str
    at: float  # time.perf_counter() when the request arrived
    silent: bool = False  # sent with disable_notification


@dataclass
class SentPhoto:
    chat_id: int
    photo: bytes
    caption: str
    filename: str
    content_type: str
    at: float  # time.perf_counter() when the request arrived


@dataclass
class FormFile:
    """A file field of a multipart/form-data request."""

    data: bytes
    filename: str
    content_type: str


@dataclass
class ApiRequest:
    method: str
    params: dict
    at: float  # time.perf_counter() when the request arrived


@dataclass
class RawUpdate:
    """An update served as this JSON text, with ``$update_id`` replaced by its id (it need
    not be a valid update)."""

    text: str


_RAW = "raw text"  # key of a queued update that is served as its raw text


@dataclass
class _Fault:
    status: int
    body: bytes


def _utf16_units(text: str) -> int:
    return len(text.encode("utf-16-le")) // 2


def parse_form_data(content_type: str, body: bytes) -> dict[str, Any]:
    """The fields of a multipart/form-data body: text for plain fields, FormFile for files.

    Raises ValueError for a body that is not multipart/form-data."""
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body
    )
    # The HTTP policy builds EmailMessage objects (with iter_parts).
    if (
        not isinstance(message, EmailMessage)
        or not message.is_multipart()
        or message.get_content_type() != "multipart/form-data"
    ):
        raise ValueError("not a multipart/form-data body")
    fields: dict[str, Any] = {}
    for part in message.iter_parts():
        name = part.get_param("name", header="content-disposition")
        if isinstance(name, tuple):  # an RFC 2231 encoded name: (charset, language, text)
            name = email.utils.collapse_rfc2231_value(name)
        if name is None:
            raise ValueError("a form field without a name")
        data = part.get_payload(decode=True) or b""
        filename = part.get_filename()
        if filename is not None:
            fields[name] = FormFile(data, filename, part.get_content_type())
        else:
            fields[name] = data.decode(part.get_content_charset() or "utf-8")
    return fields


def command_entities(text: str) -> list[dict]:
    """The entities the service adds to a text that starts with a command."""
    if not text.startswith("/"):
        return []
    end = len(text)
    for index, char in enumerate(text):
        if char.isspace():
            end = index
            break
    return [{"type": "bot_command", "offset": 0, "length": _utf16_units(text[:end])}]


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_HttpServer"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        pass  # quiet: request lines would carry the token

    def setup(self) -> None:
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server.fake._track(self.connection)

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            self.server.fake._untrack(self.connection)

    def do_GET(self) -> None:
        self._serve(b"")

    def do_POST(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        self._serve(self.rfile.read(length) if length else b"")

    def _serve(self, body: bytes) -> None:
        parsed = urllib.parse.urlsplit(self.path)
        params: dict = {k: v[-1] for k, v in urllib.parse.parse_qs(parsed.query).items()}
        full_type = self.headers.get("Content-Type") or ""
        content_type = full_type.split(";")[0].strip()
        if body:
            if content_type == "multipart/form-data":
                try:
                    params.update(parse_form_data(full_type, body))
                except ValueError:
                    return self._answer(400, _error(400, "Bad Request: can't parse multipart/form-data"))
            elif content_type == "application/json":
                try:
                    params.update(json.loads(body))
                except ValueError:
                    return self._answer(400, _error(400, "Bad Request: can't parse JSON"))
            else:
                params.update({k: v[-1] for k, v in urllib.parse.parse_qs(body.decode()).items()})
        parts = parsed.path.split("/")
        if len(parts) != 3 or not parts[1].startswith("bot"):
            return self._answer(404, _error(404, "Not Found"))
        status, payload = self.server.fake._dispatch(parts[1][3:], parts[2], params)
        if status is None:
            self.close_connection = True  # the server went away while the request was held
            return
        self._answer(status, payload)

    def _answer(self, status: int, payload: bytes) -> None:
        reason = self.responses.get(status, ("",))[0]
        head = (
            f"HTTP/1.1 {status} {reason}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(payload)}\r\n\r\n"
        ).encode()
        try:
            # Head and body in one write: two small writes would meet Nagle's algorithm
            # and the peer's delayed acknowledgement (40 ms per answer).
            self.wfile.write(head + payload)
        except OSError:
            self.close_connection = True


class _HttpServer(ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, address: tuple[str, int], fake: "FakeTelegramServer") -> None:
        self.fake = fake
        super().__init__(address, _Handler)


def _error(code: int, description: str, retry_after: Optional[int] = None) -> bytes:
    answer: dict[str, Any] = {"ok": False, "error_code": code, "description": description}
    if retry_after is not None:
        answer["parameters"] = {"retry_after": retry_after}
    return json.dumps(answer).encode()


def _flag(value: Any) -> bool:
    """A Bot API boolean parameter, as JSON or as a form field."""
    return value is True or (isinstance(value, str) and value.lower() == "true")


def _ok(result: Any) -> bytes:
    return json.dumps({"ok": True, "result": result}).encode()


class FakeTelegramServer:
    """The fake service. Thread-safe; every wait_* has a deadline and raises TimeoutError."""

    def __init__(
        self,
        token: Optional[str] = None,
        username: str = "morvex_test_bot",
        host: str = "127.0.0.1",
        port: int = 0,
        known_chats: Optional[set[int]] = None,
    ) -> None:
        self.token = token  # None: every token is accepted
        self.username = username
        self.known_chats = known_chats
        self._host = host
        self._port = port
        self._lock = threading.Condition()
        self._updates: list[dict] = []
        self._next_update_id = 1000
        self._next_message_id = 1
        self._faults: dict[str, deque[_Fault]] = {}
        self._held: set[str] = set()
        self._connections: set[socket.socket] = set()
        self._polls_waiting = 0
        self._running = False
        self._server: Optional[_HttpServer] = None
        self._thread: Optional[threading.Thread] = None
        self.sent: list[SentMessage] = []
        self.photos: list[SentPhoto] = []
        self.requests: list[ApiRequest] = []
        self.handed_out: dict[int, float] = {}  # update_id -> perf_counter() when served
        self.on_sent: Optional[Callable[[SentMessage], None]] = None
        self.start()

    # -- life --------------------------------------------------------------------------

    @property
    def url(self) -> str:
        return f"http://{self._host}:{self._port}"

    def start(self) -> None:
        """Starts listening (again, on the same port after stop())."""
        with self._lock:
            if self._running:
                return
            self._server = _HttpServer((self._host, self._port), self)
            self._port = self._server.server_address[1]
            self._running = True
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="fake-telegram", daemon=True
        )
        self._thread.start()

    def stop(self) -> None:
        """Goes away: closes the port and every connection, cutting held polls."""
        with self._lock:
            if not self._running:
                return
            self._running = False
            server, self._server = self._server, None
            connections = list(self._connections)
            self._lock.notify_all()
        assert server is not None
        server.shutdown()
        server.server_close()
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if self._thread is not None:
            self._thread.join(timeout=5)

    close = stop

    def __enter__(self) -> "FakeTelegramServer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # -- what a test feeds in ----------------------------------------------------------

    def push_update(self, update: dict | RawUpdate) -> int:
        """Queues an update (an update_id is given when it has none); returns its id.

        A RawUpdate gets the next id for the server's own bookkeeping (offsets confirm
        it), but is served as its text, whatever that holds."""
        with self._lock:
            if isinstance(update, RawUpdate):
                update_id = self._next_update_id
                update = {"update_id": update_id, _RAW: update.text.replace("$update_id", str(update_id))}
            else:
                update = dict(update)
            if "update_id" not in update:
                update["update_id"] = self._next_update_id
            self._next_update_id = max(self._next_update_id, update["update_id"]) + 1
            self._updates.append(update)
            self._lock.notify_all()
            return update["update_id"]

    def push_updates(self, updates: list[dict | RawUpdate]) -> list[int]:
        """Queues several updates at once, so that one getUpdates answer carries them all."""
        with self._lock:
            return [self.push_update(update) for update in updates]

    def push_message(
        self,
        text: str,
        chat_id: int = DEFAULT_CHAT_ID,
        user_id: int = DEFAULT_USER_ID,
        edited: bool = False,
        date: Optional[int] = None,
    ) -> int:
        """Queues a text message (with command entities when it starts with "/")."""
        with self._lock:
            message_id = self._next_message_id
            self._next_message_id += 1
        message: dict[str, Any] = {
            "message_id": message_id,
            "from": {"id": user_id, "is_bot": False, "first_name": "Trader"},
            "chat": {"id": chat_id, "type": "private"},
            "date": int(time.time()) if date is None else date,
            "text": text,
        }
        entities = command_entities(text)
        if entities:
            message["entities"] = entities
        if edited:
            message["edit_date"] = message["date"]
        return self.push_update({"edited_message" if edited else "message": message})

    def fail(
        self,
        method: str,
        status: int,
        description: str = "",
        retry_after: Optional[int] = None,
        times: int = 1,
        raw: Optional[bytes] = None,
    ) -> None:
        """The next `times` calls of `method` answer `status` (a Bot API error, or `raw`)."""
        body = raw if raw is not None else _error(status, description or f"Error {status}", retry_after)
        with self._lock:
            queue = self._faults.setdefault(method, deque())
            queue.extend(_Fault(status, body) for _ in range(times))

    def hold(self, method: str) -> None:
        """Keeps every call of `method` waiting (from now on) until release(method)."""
        with self._lock:
            self._held.add(method)

    def release(self, method: str) -> None:
        """Lets the held calls of `method` and every later one through."""
        with self._lock:
            self._held.discard(method)
            self._lock.notify_all()

    # -- what a test reads back --------------------------------------------------------

    def sent_texts(self, chat_id: Optional[int] = None) -> list[str]:
        with self._lock:
            return [m.text for m in self.sent if chat_id is None or m.chat_id == chat_id]

    def wait_for_photos(self, count: int, timeout: float = 5.0) -> list[SentPhoto]:
        """Waits until `count` photos were sent in all; returns every photo sent."""
        self.wait_for(lambda: len(self.photos) >= count, timeout, f"{count} sent photos")
        with self._lock:
            return list(self.photos)

    def calls(self, method: str) -> list[ApiRequest]:
        with self._lock:
            return [r for r in self.requests if r.method == method]

    def pending_updates(self) -> list[dict]:
        with self._lock:
            return list(self._updates)

    def wait_for(self, predicate: Callable[[], bool], timeout: float = 5.0, what: str = "condition") -> None:
        """Waits until predicate() (called under the server's lock) holds."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"fake Telegram server: timed out waiting for {what}")
                self._lock.wait(min(left, 0.05))

    def wait_for_sent(self, count: int, timeout: float = 5.0) -> list[str]:
        """Waits until `count` messages were sent in all; returns every text sent."""
        self.wait_for(lambda: len(self.sent) >= count, timeout, f"{count} sent messages")
        return self.sent_texts()

    def wait_polling(self, timeout: float = 5.0) -> None:
        """Waits until a client holds a long poll (getUpdates with a timeout) open."""
        self.wait_for(lambda: self._polls_waiting > 0, timeout, "a long poll")

    def wait_confirmed(self, update_id: int, timeout: float = 5.0) -> None:
        """Waits until a poll confirmed `update_id` (asked for an offset beyond it)."""
        self.wait_for(
            lambda: all(u["update_id"] != update_id for u in self._updates),
            timeout,
            f"update {update_id} to be confirmed",
        )

    # -- serving -----------------------------------------------------------------------

    def _track(self, connection: socket.socket) -> None:
        with self._lock:
            self._connections.add(connection)

    def _untrack(self, connection: socket.socket) -> None:
        with self._lock:
            self._connections.discard(connection)

    def _dispatch(self, token: str, method: str, params: dict) -> tuple[Optional[int], bytes]:
        now = time.perf_counter()
        with self._lock:
            self.requests.append(ApiRequest(method, params, now))
            self._lock.notify_all()
            if self.token is not None and token != self.token:
                return 401, _error(401, "Unauthorized")
            while self._running and method in self._held:
                self._lock.wait()
            if not self._running:
                return None, b""
            faults = self._faults.get(method)
            if faults:
                fault = faults.popleft()
                return fault.status, fault.body
        handler = {
            "getMe": self._get_me,
            "getUpdates": self._get_updates,
            "sendMessage": self._send_message,
            "sendPhoto": self._send_photo,
            "deleteWebhook": lambda params: (200, _ok(True)),
        }.get(method)
        if handler is None:
            return 404, _error(404, "Not Found")
        return handler(params)

    def _get_me(self, params: dict) -> tuple[int, bytes]:
        return 200, _ok({"id": 1, "is_bot": True, "first_name": "Morvex", "username": self.username})

    def _get_updates(self, params: dict) -> tuple[Optional[int], bytes]:
        try:
            offset = int(params.get("offset", 0) or 0)
            timeout = float(params.get("timeout", 0) or 0)
            limit = int(params.get("limit", 100) or 100)
        except (TypeError, ValueError):
            return 400, _error(400, "Bad Request: wrong parameter")
        deadline = time.monotonic() + timeout
        with self._lock:
            if offset < 0:
                self._updates = self._updates[offset:]
            elif offset > 0:
                self._updates = [u for u in self._updates if u["update_id"] >= offset]
            self._lock.notify_all()
            self._polls_waiting += 1
            try:
                while self._running and not self._updates and time.monotonic() < deadline:
                    self._lock.wait(deadline - time.monotonic())
            finally:
                self._polls_waiting -= 1
            if not self._running:
                return None, b""
            batch = self._updates[: max(1, min(limit, 100))]
            now = time.perf_counter()
            for update in batch:
                self.handed_out.setdefault(update["update_id"], now)
        texts = [update[_RAW] if _RAW in update else json.dumps(update) for update in batch]
        return 200, ('{"ok": true, "result": [' + ", ".join(texts) + "]}").encode()

    def _send_message(self, params: dict) -> tuple[int, bytes]:
        now = time.perf_counter()
        text = params.get("text")
        try:
            chat_id = int(params["chat_id"])
        except (KeyError, TypeError, ValueError):
            return 400, _error(400, "Bad Request: chat_id is empty")
        if not isinstance(text, str) or not text.strip():
            return 400, _error(400, "Bad Request: message text is empty")
        if _utf16_units(text) > MAX_MESSAGE_UNITS:
            return 400, _error(400, "Bad Request: message is too long")
        if self.known_chats is not None and chat_id not in self.known_chats:
            return 400, _error(400, "Bad Request: chat not found")
        message = SentMessage(chat_id, text, now, _flag(params.get("disable_notification")))
        with self._lock:
            self.sent.append(message)
            message_id = self._next_message_id
            self._next_message_id += 1
            self._lock.notify_all()
        if self.on_sent is not None:
            self.on_sent(message)
        return 200, _ok({"message_id": message_id, "chat": {"id": chat_id}, "date": int(time.time()), "text": text})

    def _send_photo(self, params: dict) -> tuple[int, bytes]:
        now = time.perf_counter()
        try:
            chat_id = int(params["chat_id"])
        except (KeyError, TypeError, ValueError):
            return 400, _error(400, "Bad Request: chat_id is empty")
        photo = params.get("photo")
        if not isinstance(photo, FormFile) or not photo.data:
            return 400, _error(400, "Bad Request: there is no photo in the request")
        if len(photo.data) > MAX_PHOTO_BYTES:
            return 413, _error(413, "Request Entity Too Large")
        if not photo.data.startswith(IMAGE_SIGNATURES):
            return 400, _error(400, "Bad Request: IMAGE_PROCESS_FAILED")
        caption = params.get("caption", "")
        if not isinstance(caption, str) or _utf16_units(caption) > MAX_CAPTION_UNITS:
            return 400, _error(400, "Bad Request: message caption is too long")
        if self.known_chats is not None and chat_id not in self.known_chats:
            return 400, _error(400, "Bad Request: chat not found")
        sent = SentPhoto(chat_id, photo.data, caption, photo.filename, photo.content_type, now)
        with self._lock:
            self.photos.append(sent)
            message_id = self._next_message_id
            self._next_message_id += 1
            self._lock.notify_all()
        return 200, _ok(
            {
                "message_id": message_id,
                "chat": {"id": chat_id},
                "date": int(time.time()),
                "photo": [{"file_id": f"photo-{message_id}", "file_size": len(photo.data)}],
                "caption": caption,
            }
        )
