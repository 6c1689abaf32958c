"""The driver as a Python host sees it: MERV_DCJ_QOLT.so loaded with ctypes."""

import ctypes
import json
import os
import threading
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Union

SUCCESS = "ECPWS0000000"
BUFFER_TOO_SMALL = "ECPWSCOM0009"
NO_FILES = "ECPWSDCJ0001"

DRIVER_NAME = "MERV_DCJ_QOLT.so"
INSTALLED_DRIVER = "/opt/qolt-dcj/lib/" + DRIVER_NAME

# The buffer a host usually passes, and the most a download's retry grows it
# to (a file name takes at most 255 bytes, so 64 MiB lists well over 100,000).
FIRST_BUFFER = 102400
LARGEST_BUFFER = 64 * 1024 * 1024

# Sent again with a larger buffer after ECPWSCOM0009. Reads repeat freely; a
# download whose reply did not fit was not confirmed, so the counter still
# has its files and the next call delivers them again under the same names;
# setTime sets the same clock value again. clearRMBCount and clearAllFSNFiles
# are never repeated: this driver does not send a clear whose reply might not
# fit, but an earlier build had cleared already, and a second clear could
# wipe what the counter took in meanwhile. Their buffer is sized beforehand.
REPEATABLE = frozenset({"getDevStatus", "getRMBCount", "setTime", "getAllFSNFiles"})

Port = Union[int, str]


class DriverError(Exception):
    """A failure reply: ``code`` is its retCode, ``description`` its errDesc.

    ``code`` is empty when the driver answered no document at all: a blank
    " " (unknown ``funcName`` or a request that is not a JSON object) or an
    empty reply. ``reply`` holds the parsed reply when there was one.
    """

    def __init__(self, code: str, description: str, reply: Optional[Dict[str, Any]] = None) -> None:
        super().__init__("%s %s" % (code, description) if code else description)
        self.code = code
        self.description = description
        self.reply = reply


def default_driver_path() -> str:
    """Where ``Driver()`` loads the driver from.

    ``$DCJ_DRIVER`` when set; else ``lib/`` of the install tree this package
    lies in (``<prefix>/python/dcj``); else the build tree's ``build/lib``
    when it is imported from ``bindings/python`` of a built source tree;
    else the installed ``/opt/qolt-dcj/lib/MERV_DCJ_QOLT.so``.
    """
    named = os.environ.get("DCJ_DRIVER")
    if named:
        return named
    package = Path(__file__).resolve().parent
    # Only from the trees named above: a copy of the package elsewhere (in
    # /tmp, say) must not load a lib/ that anyone could have put beside it.
    candidates = []
    if package.parent.name == "python":
        candidates.append(package.parent.parent / "lib")
        if package.parent.parent.name == "bindings":
            candidates.append(package.parent.parent.parent / "build" / "lib")
    for candidate in candidates:
        if _trusted(candidate / DRIVER_NAME, package):
            return str(candidate / DRIVER_NAME)
    return INSTALLED_DRIVER


def _trusted(library: Path, package: Path) -> bool:
    """Whether library is a file of the package's owner (or root) that no one
    else may replace: a tree in a folder anyone may write to (/tmp/python/dcj
    beside a planted /tmp/lib) is not an install tree."""
    try:
        owner = package.stat().st_uid
        for path in (library, library.parent):
            st = path.stat()
            if st.st_uid not in (owner, 0) or st.st_mode & 0o002:
                return False
        return library.is_file()
    except OSError:
        return False


def _first_value(node: Any, key: str) -> Optional[Any]:
    """The first member named key at any depth, in document order, as the driver reads it.

    Like the driver: members of objects only (nothing inside an array), a
    name and a text end at their first NUL, a whole number in 32 bits counts
    as its digits, other values are passed over.
    """
    if not isinstance(node, Mapping):
        return None
    for name, value in node.items():
        if isinstance(value, Mapping):
            found = _first_value(value, key)
            if found is not None:
                return found
        elif not isinstance(name, str) or name.split("\0", 1)[0] != key:
            continue
        elif isinstance(value, str):
            return value.split("\0", 1)[0]
        elif isinstance(value, int) and not isinstance(value, bool) and -(2**31) <= value < 2**31:
            return str(value)
    return None


def _least_buffer(request: bytes) -> int:
    """A buffer no reply but a download's can outgrow.

    Such a reply is a fixed document (under 1 KiB, the counter's count texts
    included) plus the request's ``sn`` echoed; a request byte takes at most
    6 bytes in the reply (a control character escaped as \\u00XX).
    """
    return max(FIRST_BUFFER, 4096 + 6 * len(request))


class Driver:
    """MERV_DCJ_QOLT.so, loaded once per process.

    Safe to share between threads: each thread has its own reply buffer,
    kept between calls and grown when a reply does not fit. Calls from
    several threads run one at a time on the device; a call that waits for
    the device longer than its own ``timeout`` fails with ECPWSDCJ0002.
    ctypes releases the interpreter lock for the whole call.
    """

    def __init__(self, path: Optional[str] = None) -> None:
        """Loads the driver from ``path``, or from ``default_driver_path()``.

        A relative path counts from the working folder, never from the
        loader's search path (``LD_LIBRARY_PATH`` and the like)."""
        named = path if path is not None else default_driver_path()
        # Joined, not normalised: "link/../x" must go where the link leads.
        self.path = named if os.path.isabs(named) else os.path.join(os.getcwd(), named)
        lib = ctypes.CDLL(self.path)
        self._doCommand = lib.doCommand
        self._doCommand.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
        self._doCommand.restype = None
        self._lib = lib  # never unloaded: the driver keeps state for the process
        self._local = threading.local()

    # -- the device functions ------------------------------------------------

    def status(self, ip: str, port: Port, timeout: Optional[int] = None) -> Dict[str, str]:
        """getDevStatus: ``DRVVersion``, ``FIRVersion``, ``status`` ("01" ready,
        "03" unreachable, "04" hardware fault, "" unknown), ``devSn``,
        ``extStatus``. Never raises for the device's state: that is in
        ``status``. The driver always waits 3 s here, whatever ``timeout``."""
        return self._device("getDevStatus", ip, port, timeout)

    def counts(self, ip: str, port: Port, timeout: Optional[int] = None) -> Dict[str, str]:
        """getRMBCount: ``realCash`` and ``rejCash`` as the counter reports them."""
        return self._device("getRMBCount", ip, port, timeout)

    def clear_counts(self, ip: str, port: Port, timeout: Optional[int] = None) -> None:
        """clearRMBCount. Never repeated by the binding."""
        self._device("clearRMBCount", ip, port, timeout)

    def set_time(self, ip: str, port: Port, timeout: Optional[int] = None, time: Optional[str] = None) -> None:
        """setTime to ``time`` (the counter's 16-byte text, e.g. "20261207093000");
        the local time now when None."""
        if time is None:
            import time as clock

            time = clock.strftime("%Y%m%d%H%M%S")
        self._device("setTime", ip, port, timeout, time=time)

    def clear_files(self, ip: str, port: Port, timeout: Optional[int] = None) -> None:
        """clearAllFSNFiles: the counter drops its FSN files. Never repeated by the binding."""
        self._device("clearAllFSNFiles", ip, port, timeout)

    def download(
        self,
        ip: str,
        port: Port,
        upload_dir: str,
        temp_dir: str,
        inst_no: str,
        emp_no: str,
        related: Optional[str] = None,
        timeout: Optional[int] = None,
    ) -> List[str]:
        """getAllFSNFiles into ``upload_dir`` (working folder ``<temp_dir>QOLT/``).

        Returns the delivered file names (in ``upload_dir``); with ``related``
        (a file to pack along), a one-element list with the zip archive's
        name. A counter without files raises DriverError with code
        ECPWSDCJ0001 (``NO_FILES``). Folder names should end in "/".
        """
        biz = self._device(
            "getAllFSNFiles",
            ip,
            port,
            timeout,
            instNo=inst_no,
            empNo=emp_no,
            uploadDir=upload_dir,
            tempDir=temp_dir,
            relativeFilePath=related,
        )
        files = biz.get("fsnFiles", "")
        # A name the counter sent twice is one file on disk, holding both.
        return list(dict.fromkeys(files.split("|"))) if files else []

    def call(self, request: Mapping[str, Any]) -> Dict[str, Any]:
        """Any request as a dict (``commonArgs``, ``connectArgs``, ``bizArgs``).

        Returns the whole reply (``retComArgs`` and, when there is one,
        ``retBizArgs``); raises DriverError on any retCode but success.
        """
        func = _first_value(request, "funcName")
        # Texts as Python hands file names it could not decode (os.fsdecode,
        # os.listdir) carry their original bytes in lone surrogates: those
        # bytes, not an escape of the surrogates, reach the driver.
        try:
            text = json.dumps(request, ensure_ascii=False).encode("utf-8", "surrogateescape")
        except UnicodeEncodeError as e:
            # A surrogate no file name yields (U+D800-U+DC7F): not a request
            # the driver can be handed; the binding's own failure, not codec's.
            raise DriverError("", "request text not encodable: " + str(e)) from None
        return self._checked(self.exchange(text, repeatable=func in REPEATABLE, remember=func == "getAllFSNFiles"))

    # -- the raw exchange ------------------------------------------------------

    def exchange(self, request: bytes, repeatable: bool, remember: bool = False) -> str:
        """One request text (UTF-8, without the zero byte) to the reply text.

        The reply comes back in this thread's buffer. When it says
        ECPWSCOM0009 and ``repeatable`` is set, the request is sent again with
        a buffer four times larger, up to LARGEST_BUFFER; otherwise the buffer
        is sized first so that the reply fits. With ``remember`` (downloads),
        the thread's next such call starts at the size this one needed.
        """
        # The driver reads the request up to its zero byte; its length
        # argument is ignored. create_string_buffer adds the zero byte.
        text = ctypes.create_string_buffer(request)
        local = self._local
        # Only the size a call may need is handed over: the reply is read
        # up to its zero byte, whatever the rest of the buffer holds.
        size = max(_least_buffer(request), getattr(local, "remembered", 0) if remember else 0)
        while True:
            out = self._buffer(size)
            out[size] = b"\0"  # a reply that fills the buffer ends here
            self._doCommand(0, len(request), text, size, out)
            reply = out.value.decode("utf-8", "replace")
            if not repeatable or size >= LARGEST_BUFFER or not _too_small(reply):
                if remember:
                    local.remembered = size
                return reply
            size = min(size * 4, LARGEST_BUFFER)

    def _buffer(self, size: int) -> "ctypes.Array[ctypes.c_char]":
        """This thread's buffer, reallocated only to grow."""
        local = self._local
        if getattr(local, "size", 0) < size:
            local.out = ctypes.create_string_buffer(size + 1)
            local.size = size
        return local.out

    def _device(self, func: str, ip: str, port: Port, timeout: Optional[int], **biz: Optional[str]) -> Dict[str, str]:
        common = {"devKind": "DCJ", "devBrand": "QOLT", "funcName": func}
        if timeout is not None:
            # The driver reads a 32-bit number: a larger one would wrap to
            # another time-out (2**32 + 1 to one second).
            seconds = int(timeout)
            if not -(2**31) <= seconds < 2**31:
                raise ValueError("timeout out of range: %d" % seconds)
            common["timeout"] = str(seconds)
        request = {
            "commonArgs": common,
            "connectArgs": {"ip": ip, "port": str(port)},
            "bizArgs": {key: value for key, value in biz.items() if value is not None},
        }
        reply = self.call(request)
        return dict(reply.get("retBizArgs", {}))

    @staticmethod
    def _checked(text: str) -> Dict[str, Any]:
        if not text.strip():
            why = "blank reply: unknown funcName or a request that is not a JSON object" if text else "empty reply"
            raise DriverError("", why)
        try:
            reply = json.loads(text)
            common = reply["retComArgs"]
            code = common["retCode"]
        except (ValueError, KeyError, TypeError):
            raise DriverError("", "unreadable reply: " + text[:200]) from None
        if code != SUCCESS:
            raise DriverError(code, common.get("errDesc", ""), reply)
        return reply


def _too_small(reply: str) -> bool:
    # Every other reply starts with devKind.
    return reply.startswith('{"retComArgs":{"retCode":"%s"' % BUFFER_TOO_SMALL)
