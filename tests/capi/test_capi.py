"""Loads libcomvarnok.so through ctypes, as an in-process host would, and runs checks with it."""
import base64
import ctypes
import os
import sys
import threading
import unittest

LIB = ctypes.CDLL(os.environ["VARNOK_LIBRARY"])


class Variant(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("integer", ctypes.c_int32), ("real", ctypes.c_double),
                ("text", ctypes.c_char_p), ("boolean", ctypes.c_int32)]


class Error(ctypes.Structure):
    _fields_ = [("number", ctypes.c_int32), ("description", ctypes.c_char * 512)]


EMPTY, INTEGER, DOUBLE, TEXT, BOOLEAN = range(5)

for name, args in {
    "varnok_create": [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(Error)],
    "varnok_put": [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(Variant), ctypes.POINTER(Error)],
    "varnok_get": [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(Variant), ctypes.POINTER(Error)],
    "varnok_docheck": [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(Error)],
    "varnok_showgui": [ctypes.c_void_p, ctypes.POINTER(Error)],
}.items():
    getattr(LIB, name).argtypes = args
    getattr(LIB, name).restype = ctypes.c_int32
LIB.varnok_release.argtypes = [ctypes.c_void_p]


def fixture():
    values = {}
    with open(os.path.join(os.environ["VARNOK_FIXTURE"], "env")) as env:
        for line in env:
            key, _, value = line.strip().partition("=")
            values[key] = value.strip("'")
    return values


class Check:
    def __init__(self, progid=b"comVarnok.VarnokCom"):
        self.handle = ctypes.c_void_p()
        self.error = Error()
        self.rc = LIB.varnok_create(progid, ctypes.byref(self.handle), ctypes.byref(self.error))

    def put(self, prop, value):
        v = Variant()
        if isinstance(value, str):
            v.type, v.text = TEXT, value.encode()
        elif isinstance(value, int):
            v.type, v.integer = INTEGER, value
        return LIB.varnok_put(self.handle, prop.encode(), ctypes.byref(v), ctypes.byref(self.error))

    def get(self, prop):
        v = Variant()
        rc = LIB.varnok_get(self.handle, prop.encode(), ctypes.byref(v), ctypes.byref(self.error))
        assert rc == 0, rc
        return {EMPTY: None, INTEGER: v.integer, DOUBLE: v.real, TEXT: v.text and v.text.decode(),
                BOOLEAN: v.boolean}[v.type]

    def docheck(self):
        result = ctypes.c_int32(99)
        rc = LIB.varnok_docheck(self.handle, ctypes.byref(result), ctypes.byref(self.error))
        return rc, result.value

    def __del__(self):
        LIB.varnok_release(self.handle)


def bsd_param(rule):
    fx = fixture()
    pwd = base64.b64encode(fx["VARNOK_SSH_PASSWORD"].encode()).decode()
    return (f"#USR={fx['VARNOK_SSH_USER']}#PWD={pwd}#PORT={fx['VARNOK_SSH_PORT_BSD']}"
            f"#OS=BSD#COL=5#PRO=sshd{rule}#")


class CInterface(unittest.TestCase):
    def test_runs_a_check_against_the_server(self):
        check = Check()
        self.assertEqual(check.rc, 0)
        self.assertIsNone(check.get("xc_result"))
        check.put("xc_hostname", "127.0.0.1")
        check.put("xc_timeout", 5)
        check.put("xc_parameter", bsd_param("#SGN=LT#NUM=2"))
        self.assertEqual(check.docheck(), (0, -1))
        self.assertEqual(check.get("xc_result"), "8 processes running and 2 with the name sshd")
        check.put("xc_parameter", bsd_param("#SGN=AL#NUM=2"))
        self.assertEqual(check.docheck(), (0, 0))

    def test_failed_calls_carry_number_and_description(self):
        check = Check()
        check.put("xc_result", "earlier")
        for param, number, text in [("#USR=u#PORT=99999#", 6, b"Overflow"),
                                    ("#USR=u#PWD==#", 5, b"Invalid procedure call or argument")]:
            check.put("xc_parameter", param)
            self.assertEqual(check.docheck()[0], number)
            self.assertEqual(check.error.number, number)
            self.assertEqual(check.error.description, text)
            self.assertEqual(check.get("xc_result"), "earlier")
        check.put("xc_timeout", "soon")
        check.put("xc_parameter", "#USR=u#PWD=YQ==#")
        self.assertEqual(check.docheck()[0], 13)
        self.assertEqual(check.put("xc_nothing", 1), 438)
        self.assertEqual(Check(b"Other.Class").rc, 429)

    def test_the_dialog_reports_its_failed_calls(self):
        check = Check()
        check.put("xc_parameter", "#COL=16#")
        os.environ.pop("DISPLAY", None)
        os.environ["QT_QPA_PLATFORM"] = "offscreen"
        self.assertEqual(LIB.varnok_showgui(check.handle, ctypes.byref(check.error)), 380)
        self.assertEqual(check.error.description, b"Invalid property value")
        self.assertEqual(check.get("xc_parameter"), "#COL=16#")

    def test_objects_on_different_threads_are_independent(self):
        results = {}

        def run(i):
            check = Check()
            check.put("xc_hostname", "127.0.0.1")
            check.put("xc_timeout", 5)
            check.put("xc_parameter", bsd_param(f"#SGN=LT#NUM={i}"))
            results[i] = check.docheck()

        threads = [threading.Thread(target=run, args=(i,)) for i in range(1, 5)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, {1: (0, -1), 2: (0, -1), 3: (0, 0), 4: (0, 0)})


if __name__ == "__main__":
    sys.exit(unittest.main())
