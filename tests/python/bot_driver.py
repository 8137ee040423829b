"""Child process of test_bot.py: imports the bot module as a host would, then runs the
test's requests, one JSON line each, read from one pipe and answered on another (standard
output and standard error stay the bot's own, for the test to inspect).

Requests: {"eval": expr} -> {"value": ...}; {"exec": code} -> {"value": null};
{"exit": code} ends the interpreter without closing the bot. A failure answers
{"error": [type name, text]} (a failed load adds its cause's type name and text).
"""

import json
import os
import sys

requests = os.fdopen(int(sys.argv[1]), "r")
answers = os.fdopen(int(sys.argv[2]), "w")


def answer(payload):
    answers.write(json.dumps(payload) + "\n")
    answers.flush()


try:
    import morvex_trader.plugins.telegram.bot as bot_module
except BaseException as error:  # the test checks why the load failed (and its cause)
    cause = error.__cause__
    answer(
        {
            "error": [type(error).__name__, str(error)]
            + ([type(cause).__name__, str(cause)] if cause is not None else [])
        }
    )
    sys.exit(3)

namespace = {"m": bot_module, "bot": bot_module.bot}
answer({"value": "ready"})

for line in requests:
    request = json.loads(line)
    if "exit" in request:
        sys.exit(request["exit"])
    try:
        if "eval" in request:
            answer({"value": eval(request["eval"], namespace)})
        else:
            exec(request["exec"], namespace)
            answer({"value": None})
    except BaseException as error:
        answer({"error": [type(error).__name__, str(error)]})
