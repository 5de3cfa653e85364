"""Quillmark from Python: score Windows executables with the heuristic engine.

    import quillmark
    with quillmark.Engine(data_folder="/usr/share/quillmark/Data") as engine:
        record = engine.scan("suspect.exe")     # the dict "quillmark scan --json" prints
        for record in engine.scan_folder("samples/"):
            ...

Each Engine wraps one engine of the C library (libquillmark.so); use one per
thread or process. Errors are raised as QuillmarkError (and its subclasses).
"""

import ctypes
import ctypes.util
import json
import os

__all__ = ["Engine", "QuillmarkError", "KnowledgeError", "ReadError", "version", "library_path"]


class QuillmarkError(Exception):
    """A call into the library failed; .status is the library's status code."""

    def __init__(self, message, status=5):
        super().__init__(message)
        self.status = status


class KnowledgeError(QuillmarkError):
    """A knowledge or certificate file cannot be used (strict engines only)."""


class ReadError(QuillmarkError):
    """A file could not be read."""


_OK, _INVALID, _KNOWLEDGE, _IO, _NOT_ANALYZED, _INTERNAL = range(6)
_ERRORS = {_KNOWLEDGE: KnowledgeError, _IO: ReadError}


def library_path():
    """Where the C library is loaded from: $QUILLMARK_LIBRARY, the library
    this package was installed with, or the system's search path."""
    path = os.environ.get("QUILLMARK_LIBRARY")
    if path:
        return path
    try:
        from . import _install  # written by "cmake --install"
        if os.path.exists(_install.LIBRARY):
            return _install.LIBRARY
    except ImportError:
        pass
    return ctypes.util.find_library("quillmark") or "libquillmark.so.0"


_lib = None


def _library():
    global _lib
    if _lib is not None:
        return _lib
    lib = ctypes.CDLL(library_path())
    void_p = ctypes.c_void_p
    signatures = {
        "qm_version": (ctypes.c_char_p, []),
        "qm_status_text": (ctypes.c_char_p, [ctypes.c_int]),
        "qm_string_free": (None, [void_p]),
        "qm_options_new": (void_p, []),
        "qm_options_free": (None, [void_p]),
        "qm_options_set_data_folder": (ctypes.c_int, [void_p, ctypes.c_char_p]),
        "qm_options_add_ca_file": (ctypes.c_int, [void_p, ctypes.c_char_p]),
        "qm_options_add_rule": (ctypes.c_int, [void_p, ctypes.c_char_p]),
        "qm_options_set_max_file_size": (ctypes.c_int, [void_p, ctypes.c_uint64]),
        "qm_options_set_threshold": (ctypes.c_int, [void_p, ctypes.c_double]),
        "qm_options_set_strict": (ctypes.c_int, [void_p, ctypes.c_int]),
        "qm_engine_new": (ctypes.c_int, [void_p, ctypes.POINTER(void_p), ctypes.POINTER(void_p)]),
        "qm_engine_free": (None, [void_p]),
        "qm_engine_warnings": (void_p, [void_p]),
        "qm_engine_scan_file": (ctypes.c_int, [void_p, ctypes.c_char_p, ctypes.POINTER(void_p),
                                               ctypes.POINTER(void_p)]),
        "qm_result_free": (None, [void_p]),
        "qm_result_json": (ctypes.c_char_p, [void_p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    _lib = lib
    return lib


def _take_string(pointer):
    """A string the library handed out, decoded and freed."""
    if not pointer:
        return ""
    lib = _library()
    try:
        return ctypes.string_at(pointer).decode("utf-8", "replace")
    finally:
        lib.qm_string_free(pointer)


def _raise(status, message):
    lib = _library()
    text = message or lib.qm_status_text(status).decode()
    raise _ERRORS.get(status, QuillmarkError)(text, status)


def _path_bytes(path):
    return os.fsencode(path)


def version():
    """The C library's version, "MAJOR.MINOR.PATCH"."""
    return _library().qm_version().decode()


class Engine:
    """One engine of the library.

    data_folder   folder of the knowledge files (default: the installed ones)
    ca_files      further certificate files trusted as roots of code signatures
    rules         names of the only rules to run ("entropy", "mhRuleSignedFile")
    max_file_size bytes of a file read at most (default 4 GiB)
    threshold     percentage at or above which a file is flagged (default 50)
    strict        raise KnowledgeError when a knowledge or certificate file
                  cannot be used, instead of noting it in every record
    """

    def __init__(self, data_folder=None, ca_files=(), rules=None, max_file_size=None, threshold=None,
                 strict=False):
        lib = _library()
        self._engine = None
        options = lib.qm_options_new()
        if not options:
            raise QuillmarkError("out of memory", _INTERNAL)
        try:
            def check(status):
                if status != _OK:
                    _raise(status, None)
            if data_folder is not None:
                check(lib.qm_options_set_data_folder(options, _path_bytes(data_folder)))
            for ca_file in ca_files:
                check(lib.qm_options_add_ca_file(options, _path_bytes(ca_file)))
            for rule in rules or ():
                status = lib.qm_options_add_rule(options, rule.encode())
                if status != _OK:
                    raise QuillmarkError("unknown rule %r" % rule, status)
            if max_file_size is not None:
                check(lib.qm_options_set_max_file_size(options, int(max_file_size)))
            if threshold is not None:
                check(lib.qm_options_set_threshold(options, float(threshold)))
            check(lib.qm_options_set_strict(options, 1 if strict else 0))
            engine = ctypes.c_void_p()
            error = ctypes.c_void_p()
            status = lib.qm_engine_new(options, ctypes.byref(engine), ctypes.byref(error))
            message = _take_string(error.value)
            if status != _OK:
                _raise(status, message)
            self._engine = engine.value
        finally:
            lib.qm_options_free(options)

    def close(self):
        """Frees the engine; further calls raise QuillmarkError."""
        if self._engine:
            _library().qm_engine_free(self._engine)
            self._engine = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def _handle(self):
        if not self._engine:
            raise QuillmarkError("the engine is closed", _INVALID)
        return self._engine

    @property
    def warnings(self):
        """Knowledge and certificate files the engine goes without, as texts."""
        return json.loads(_take_string(_library().qm_engine_warnings(self._handle())))

    def scan(self, path):
        """The record of one file as a dict, with the keys of the CLI's JSON.

        A file that is not a program, or could not be read, still gives its
        record (with "analyzed": False and "error"); only a failure of the
        call itself raises."""
        lib = _library()
        result = ctypes.c_void_p()
        error = ctypes.c_void_p()
        status = lib.qm_engine_scan_file(self._handle(), _path_bytes(path), ctypes.byref(result),
                                         ctypes.byref(error))
        message = _take_string(error.value)
        if not result.value:
            _raise(status, message)
        try:
            return json.loads(lib.qm_result_json(result.value).decode("utf-8"))
        finally:
            lib.qm_result_free(result.value)

    def scan_folder(self, folder, follow_links=False):
        """The records of every regular file below a folder, in walk order."""
        for root, dirs, files in os.walk(folder, followlinks=follow_links):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                if os.path.isfile(path):
                    yield self.scan(path)
