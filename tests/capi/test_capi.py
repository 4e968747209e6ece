# SPDX-License-Identifier: Apache-2.0
"""Loads libcomvarnok.so through ctypes, as an in-process host would, and runs checks with it."""
import base64
import ctypes
import os
import threading
import unittest

LIB = ctypes.CDLL(os.environ["VARNOK_LIBRARY"])
EMPTY, INTEGER, TEXT = 0, 1, 3


class Variant(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("integer", ctypes.c_int32), ("real", ctypes.c_double),
                ("text", ctypes.c_char_p), ("boolean", ctypes.c_int32)]


class Error(ctypes.Structure):
    _fields_ = [("number", ctypes.c_int32), ("description", ctypes.c_char * 512)]


VOID, P = ctypes.c_void_p, ctypes.POINTER
for name, args in {"create": [ctypes.c_char_p, P(VOID), P(Error)],
                   "put": [VOID, ctypes.c_char_p, P(Variant), P(Error)],
                   "get": [VOID, ctypes.c_char_p, P(Variant), P(Error)],
                   "docheck": [VOID, P(ctypes.c_int32), P(Error)], "showgui": [VOID, P(Error)]}.items():
    getattr(LIB, "varnok_" + name).argtypes = args
    getattr(LIB, "varnok_" + name).restype = ctypes.c_int32
LIB.varnok_release.argtypes = [VOID]

with open(os.path.join(os.environ["VARNOK_FIXTURE"], "env")) as env:
    FX = {key: value.strip("'") for key, _, value in (line.strip().partition("=") for line in env)}
PWD = base64.b64encode(FX["VARNOK_SSH_PASSWORD"].encode()).decode()
BSD = f"#USR={FX['VARNOK_SSH_USER']}#PWD={PWD}#PORT={FX['VARNOK_SSH_PORT_BSD']}#OS=BSD#COL=5#PRO=sshd"


class Check:
    def __init__(self, progid=b"comVarnok.VarnokCom"):
        self.handle, self.error = VOID(), Error()
        self.rc = LIB.varnok_create(progid, ctypes.byref(self.handle), ctypes.byref(self.error))

    def call(self, name, *args):
        return getattr(LIB, "varnok_" + name)(self.handle, *args, ctypes.byref(self.error))

    def put(self, prop, value):
        v = Variant(TEXT, text=value.encode()) if isinstance(value, str) else Variant(INTEGER, value)
        return self.call("put", prop.encode(), ctypes.byref(v))

    def get(self, prop):
        v = Variant()
        assert self.call("get", prop.encode(), ctypes.byref(v)) == 0
        return {EMPTY: None, TEXT: v.text and v.text.decode()}[v.type]

    def docheck(self):
        result = ctypes.c_int32(99)
        return self.call("docheck", ctypes.byref(result)), result.value

    def __del__(self):
        LIB.varnok_release(self.handle)


class CInterface(unittest.TestCase):
    def test_objects_on_different_threads_run_their_own_checks(self):
        results = {}

        def run(num):
            check = Check()
            results[num] = [check.rc, check.get("xc_result")]
            check.put("xc_hostname", "127.0.0.1")
            check.put("xc_timeout", 5)
            check.put("xc_parameter", f"{BSD}#SGN=LT#NUM={num}#")
            results[num] += [*check.docheck(), check.get("xc_result")]

        other = threading.Thread(target=run, args=(3,))
        other.start()
        run(2)
        other.join()
        text = "8 processes running and 2 with the name sshd"
        self.assertEqual(results, {2: [0, None, 0, -1, text], 3: [0, None, 0, 0, text]})

    # The whole table of failed calls is the check object's; here is one of each kind.
    def test_failed_calls_carry_number_and_description(self):
        check = Check()
        check.put("xc_timeout", "soon")
        check.put("xc_parameter", "#USR=u#PWD=YQ==#")
        self.assertEqual(check.docheck()[0], 13)
        self.assertEqual((check.error.number, check.error.description), (13, b"Type mismatch"))
        if os.environ.get("VARNOK_GUI_BUILT") == "1":  # else no window module to load
            check.put("xc_parameter", "#COL=16#")
            self.assertEqual(check.call("showgui"), 380)
            self.assertEqual(check.error.description, b"Invalid property value")
            self.assertEqual(check.get("xc_parameter"), "#COL=16#")
        self.assertEqual(check.put("xc_nothing", 1), 438)
        self.assertEqual(Check(b"Other.Class").rc, 429)


if __name__ == "__main__":
    unittest.main()
