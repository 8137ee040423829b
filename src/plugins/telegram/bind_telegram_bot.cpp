#include "plugins/telegram/bind_telegram_bot.h"

#include <pybind11/stl.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/telegram/errors.h"
#include "plugins/common/python_text.h"
#include "plugins/telegram/bind_request_fields.h"
#include "plugins/telegram/chat_commands.h"
#include "plugins/telegram/telegram_bot.h"

namespace mx::bot {

namespace {

// TelegramBot as Python sees it: the native bot and the updates of the last get_updates.
struct PyTelegramBot {
  std::shared_ptr<TelegramBot> core;
  py::list updates;
};

// Every bot created, so that interpreter exit can stop their threads before the runtime
// is torn down.
std::mutex registry_mutex;
std::vector<std::weak_ptr<TelegramBot>> registry;  // guarded by registry_mutex

PyObject* telegram_error_type = nullptr;  // owned for the life of the process

void raise_telegram_error(const std::string& text, py::object error_code, py::object retry_after) {
  py::object instance = py::reinterpret_borrow<py::object>(telegram_error_type)(text);
  instance.attr("description") = text;
  instance.attr("error_code") = std::move(error_code);
  instance.attr("retry_after") = std::move(retry_after);
  PyErr_SetObject(telegram_error_type, instance.ptr());
}

py::list updates_to_python(const std::vector<telegram::Update>& updates) {
  py::object loads = py::module_::import("json").attr("loads");
  py::list out;
  for (const auto& update : updates) out.append(loads(update.raw.dump()));
  return out;
}

std::int64_t chat_id_from_python(py::handle value) {
  if (py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) ||
      !PyNumber_Check(value.ptr())) {
    throw py::type_error("chat_id must be an integer");
  }
  py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Long(value.ptr()));
  if (!as_int) throw py::error_already_set();
  long long id = PyLong_AsLongLong(as_int.ptr());
  if (id == -1 && PyErr_Occurred()) throw py::error_already_set();
  return id;
}

struct PhotoUpload {
  std::string bytes;
  std::string filename;  // empty: named by its kind
};

// A photo given as bytes (any buffer) is copied as is; one given as a path (str or
// os.PathLike) is read from that file, with the GIL released, and keeps its file name.
PhotoUpload photo_from_python(py::handle photo) {
  if (PyObject_CheckBuffer(photo.ptr()) && !py::isinstance<py::str>(photo)) {
    py::buffer_info info = py::reinterpret_borrow<py::buffer>(photo).request();
    return {std::string(static_cast<const char*>(info.ptr),
                        static_cast<std::size_t>(info.size * info.itemsize)),
            ""};
  }
  if (!py::isinstance<py::str>(photo) && !py::hasattr(photo, "__fspath__"))
    throw py::type_error("photo must be bytes or the path of an image file");
  py::object text = py::module_::import("os").attr("fspath")(photo);
  if (!py::isinstance<py::str>(text)) throw py::type_error("photo path must be a str path");
  // Encoded as Python's open() encodes paths; a NUL would make the C library open a
  // shorter path than the one given.
  py::object encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(text.ptr()));
  if (!encoded) {
    plugins::name_in_unicode_error("photo");
    throw py::error_already_set();
  }
  std::string file_name(PyBytes_AS_STRING(encoded.ptr()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
  if (file_name.find('\0') != std::string::npos)
    throw py::value_error("embedded null character in photo");
  std::filesystem::path path(file_name);
  std::string bytes;
  std::error_code error;
  {
    py::gil_scoped_release release;
    auto size = std::filesystem::file_size(path, error);
    // An oversized file is refused by its size, before reading it.
    if (!error && size <= telegram::kMaxPhotoBytes) {
      std::ifstream in(path, std::ios::binary);
      bytes.resize(size);
      if (!in.read(bytes.data(), static_cast<std::streamsize>(size)))
        error = std::make_error_code(std::errc::io_error);
    } else if (!error) {
      throw std::invalid_argument("the photo file " + path.string() + " is " +
                                  std::to_string(size) +
                                  " bytes; the Bot API takes photos of at most " +
                                  std::to_string(telegram::kMaxPhotoBytes) + " bytes (10 MB)");
    }
  }
  if (error == std::errc::no_such_file_or_directory) {
    PyErr_SetObject(PyExc_FileNotFoundError,
                    py::make_tuple(ENOENT, "no photo file at " + path.string()).ptr());
    throw py::error_already_set();
  }
  if (error)
    throw std::runtime_error("cannot read the photo file " + path.string() + ": " +
                             error.message());
  return {std::move(bytes), path.filename().string()};
}

// getUpdates without waiting; stores the result on the bot and writes the first update.
void fetch_updates(PyTelegramBot& self) {
  std::vector<telegram::Update> updates;
  {
    py::gil_scoped_release release;
    updates = self.core->get_updates();
  }
  self.updates = updates_to_python(updates);
  if (updates.empty()) throw py::index_error("no update is pending");
  py::print(updates.front().raw.dump(), py::arg("flush") = true);
}

}  // namespace

std::int64_t count_from_python(py::handle value, const char* name) {
  if (py::isinstance<py::bool_>(value) || !PyIndex_Check(value.ptr())) {
    throw py::type_error(std::string(name) + " must be an int");
  }
  py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!as_int) throw py::error_already_set();
  long long count = PyLong_AsLongLong(as_int.ptr());
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  return count;
}

void close_all_bots() {
  std::vector<std::shared_ptr<TelegramBot>> alive;
  {
    std::lock_guard lock(registry_mutex);
    for (auto& weak : registry) {
      if (auto bot = weak.lock()) alive.push_back(std::move(bot));
    }
    registry.clear();
  }
  py::gil_scoped_release release;
  for (auto& bot : alive) bot->close();
}

void init_errors(py::module_& m) {
  telegram_error_type = PyErr_NewExceptionWithDoc(
      "morvex_trader.plugins.telegram.bot.TelegramError",
      "A Bot API call failed. The text is the service's description (or the network "
      "failure); error_code is the service's code (None for network failures) and "
      "retry_after the wait asked for with 429.",
      PyExc_RuntimeError, nullptr);
  if (telegram_error_type == nullptr) throw py::error_already_set();
  m.attr("TelegramError") = py::reinterpret_borrow<py::object>(telegram_error_type);

  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const telegram::ApiError& e) {
      py::object retry =
          e.retry_after() ? py::object(py::int_(*e.retry_after())) : py::object(py::none());
      raise_telegram_error(e.what(), py::int_(e.error_code()), retry);
    } catch (const telegram::TelegramError& e) {
      raise_telegram_error(e.what(), py::none(), py::none());
    }
  });
}

void init_telegram_bot(py::module_& m, const ModuleConfig& config) {
  using telegram::Updater;

  py::class_<CustomedExtBot, std::unique_ptr<CustomedExtBot, py::nodelete>> client(
      m, "CustomedExtBot",
      R"doc(The bot's Bot API client; it carries the request record that chat commands write.
Reached as TelegramBot.updater.bot; not created from Python.)doc");
  bind_request_fields(client, [](CustomedExtBot& self) -> CustomedExtBot& { return self; });
  client.def(
      "send_message",
      [](CustomedExtBot& self, py::object chat_id, py::object text) {
        std::int64_t id = chat_id_from_python(chat_id);
        if (!py::isinstance<py::str>(text)) throw py::type_error("text must be a str");
        std::string utf8 = plugins::utf8_of(text, "text");
        py::gil_scoped_release release;
        self.send_message(id, utf8);
      },
      py::arg("chat_id"), py::arg("text"), "Sends `text` to the chat `chat_id`.");

  py::class_<Updater, std::unique_ptr<Updater, py::nodelete>>(
      m, "Updater", "The polling driver: long-polls the Bot API and runs the chat commands.")
      .def_property_readonly(
          "bot",
          [](Updater& self) -> CustomedExtBot& { return static_cast<CustomedExtBot&>(self.bot()); },
          py::return_value_policy::reference_internal,
          "The client, which holds the request record.")
      .def_property_readonly("running", &Updater::running, "True from start until stop.")
      .def("stop", &Updater::stop, py::call_guard<py::gil_scoped_release>(),
           "Stops polling and the dispatcher.");

  py::class_<PyTelegramBot> bot(m, "TelegramBot", std::string(kCommandSummary).c_str());
  const std::string base_url = config.base_url;
  const std::int64_t chat_id = config.chat_id;
  bot.def(py::init([base_url, chat_id](py::object token) {
            if (!py::isinstance<py::str>(token)) throw py::type_error("token must be a str");
            std::string text = plugins::utf8_of(token, "token");
            BotSettings settings;
            settings.base_url = base_url;
            settings.chat_id = chat_id;
            auto self = std::make_unique<PyTelegramBot>();
            {
              py::gil_scoped_release release;  // the start makes one request
              self->core = std::make_shared<TelegramBot>(std::move(text), settings);
            }
            std::lock_guard lock(registry_mutex);
            std::erase_if(registry, [](const auto& weak) { return weak.expired(); });
            registry.push_back(self->core);
            return self;
          }),
          py::arg("token"),
          R"doc(Creates the client, the polling driver and the commands, and starts polling.
Returns after one short request that skips the updates pending from before the start (at
most 3 s; when the service cannot be reached, messages dated before the start are dropped
instead).)doc");
  bot.def_property_readonly(
      "updater", [](PyTelegramBot& self) -> Updater& { return self.core->updater(); },
      py::return_value_policy::reference_internal, "The polling driver; its `bot` is the client.");
  bot.def_readwrite("updates", &PyTelegramBot::updates,
                    "The updates fetched by the last get_updates.");
  bind_request_fields(bot,
                      [](PyTelegramBot& self) -> CustomedExtBot& { return self.core->client(); });
  bot.def(
      "send_message",
      [](PyTelegramBot& self, py::object msg, py::object chat_id, bool disable_notification) {
        if (!py::isinstance<py::str>(msg)) throw py::type_error("msg must be a str");
        std::string text = plugins::utf8_of(msg, "msg");
        std::int64_t id = chat_id_from_python(chat_id);
        py::gil_scoped_release release;
        self.core->send_message(text, id, disable_notification);
      },
      py::arg("msg"), py::arg("chat_id") = py::int_(config.chat_id), py::kw_only(),
      py::arg("disable_notification") = false,
      R"doc(Sends `msg` to `chat_id` (by default the configured chat). A text over 4096
characters goes as several messages split at line ends. With `disable_notification`
the chat gets it without a sound. Raises TelegramError with the service's description
when the service refuses or cannot be reached.)doc");
  bot.def(
      "send_photo",
      [](PyTelegramBot& self, py::object photo, py::object caption, py::object chat_id) {
        if (!py::isinstance<py::str>(caption)) throw py::type_error("caption must be a str");
        std::string text = plugins::utf8_of(caption, "caption");
        std::int64_t id = chat_id_from_python(chat_id);
        PhotoUpload upload = photo_from_python(photo);
        py::gil_scoped_release release;
        self.core->send_photo(upload.bytes, text, id, upload.filename);
      },
      py::arg("photo"), py::arg("caption") = "", py::arg("chat_id") = py::int_(config.chat_id),
      R"doc(Sends a photo to `chat_id` (by default the configured chat) as a sendPhoto
upload: `photo` is the image's bytes or the path of its file. Raises ValueError before
sending when the photo is over 10 MB, a PNG is beyond the service's sizes, or the caption
is over 1024 characters; FileNotFoundError naming a missing file; TelegramError with the
service's description when the service refuses or cannot be reached. A 429 is waited out
as by send_message.)doc");
  bot.def("get_updates", &fetch_updates,
          "Fetches the pending updates into `updates` and prints the first; IndexError when none.");
  bot.def(
      "get_chat_id",
      [](PyTelegramBot& self) -> py::object {
        fetch_updates(self);
        py::dict first = self.updates[0].cast<py::dict>();
        if (!first.contains("message"))
          throw py::value_error("the first pending update carries no message");
        py::dict message = first["message"].cast<py::dict>();
        if (!message.contains("from"))
          throw py::value_error("the first pending message has no sender");
        return message["from"].cast<py::dict>()["id"];
      },
      "The user id of the sender of the first pending update (the value for TELEGRAM_CHAT_ID).");
  bot.def(
      "close", [](PyTelegramBot& self) { self.core->close(); },
      py::call_guard<py::gil_scoped_release>(),
      "Stops polling; returns within a second even during a long poll.");
}

}  // namespace mx::bot
