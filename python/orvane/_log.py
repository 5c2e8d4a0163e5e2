"""The library's messages in Python's logging.

The library calls a log handler with a level (ORVANE_LOG_INFO 1, WARNING 2,
ERROR 3) and a UTF-8 text, on its own threads. The handlers made here log
them to the "orvane" logger (or one given) at the matching level."""

from __future__ import annotations

import logging
from typing import Dict, Optional

LOGGER_NAME = "orvane"

# ORVANE_LOG_* -> logging level; anything else counts as a warning.
LEVELS: Dict[int, int] = {
    1: logging.INFO,
    2: logging.WARNING,
    3: logging.ERROR,
}


def python_level(level: int) -> int:
    return LEVELS.get(level, logging.WARNING)


class LogRoute:
    """A callable for the library's log handler type: logs each message to
    logger (default: the "orvane" logger) at the matching level, after
    label (such as "127.0.0.1:9000") when there is one."""

    def __init__(self, label: Optional[str] = None, logger: Optional[logging.Logger] = None) -> None:
        self.label = label
        self.logger = logger if logger is not None else logging.getLogger(LOGGER_NAME)

    def __call__(self, _user_data: Optional[int], level: int, message: Optional[bytes]) -> None:
        # No exception may leave a callback: ctypes would print it and go on.
        try:
            text = (message or b"").decode("utf-8", "replace")
            if self.label:
                self.logger.log(python_level(level), "%s: %s", self.label, text)
            else:
                self.logger.log(python_level(level), "%s", text)
        except Exception:  # pragma: no cover - logging itself failed
            pass
