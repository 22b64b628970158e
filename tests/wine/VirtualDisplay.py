"""A virtual X display for window tests: Xvfb on a display number it picks itself, with
xcompmgr composing it (without a compositing manager the X server shows a layered window's
half-transparent pixels opaque), screenshots through PIL and the pointer through xdotool."""

import ctypes
import ctypes.util
import os
import select
import shutil
import subprocess
import time

from PIL import ImageGrab

TOOLS = ("Xvfb", "xcompmgr", "xdotool")


def missing_tools():
    return [tool for tool in TOOLS if shutil.which(tool) is None]


class VirtualDisplay:
    def __init__(self, width=1280, height=800, log=None):
        self.width, self.height = width, height
        self.log = log or subprocess.DEVNULL
        self.server = self.compositor = None
        read, write = os.pipe()
        try:
            # -displayfd: the server takes the first free number and says which, so that two
            # tests never race for one.
            self.server = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "%dx%dx24" % (width, height),
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
            os.close(write)
            write = None
            number = self._read_number(read, 20)
        finally:
            if write is not None:
                os.close(write)
            os.close(read)
        if number is None:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        self.compositor = subprocess.Popen(["xcompmgr"], env=self._env(), stdin=subprocess.DEVNULL,
                                           stdout=self.log, stderr=self.log)
        # A compositing manager owns the screen's _NET_WM_CM_S0 selection while it runs.
        if not self._wait(self._composed, 10):
            self.stop()
            raise RuntimeError("xcompmgr did not start composing the display")

    def _composed(self):
        if self.compositor.poll() is not None:
            return False
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XGetSelectionOwner.restype = ctypes.c_ulong
        x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        connection = x11.XOpenDisplay(self.name.encode())
        if not connection:
            return False
        try:
            selection = x11.XInternAtom(connection, b"_NET_WM_CM_S0", 0)
            return x11.XGetSelectionOwner(connection, selection) != 0
        finally:
            x11.XCloseDisplay(connection)

    @staticmethod
    def _read_number(fd, seconds):
        text = b""
        deadline = time.monotonic() + seconds
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 16)
            if not chunk:
                return None
            text += chunk
        return text.decode().strip()

    @staticmethod
    def _wait(predicate, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.1)
        return predicate()

    def _env(self):
        return dict(os.environ, DISPLAY=self.name)

    def screenshot(self):
        """The whole screen as composed, an RGB image."""
        return ImageGrab.grab(xdisplay=self.name).convert("RGB")

    def xdotool(self, *args):
        r = subprocess.run(["xdotool"] + [str(a) for a in args], env=self._env(),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        return r.stdout.decode(errors="replace")

    def find_window(self, caption, seconds):
        """The X window with this caption, once it is mapped; None when none came."""
        found = []

        def look():
            ids = self.xdotool("search", "--onlyvisible", "--name", "^%s$" % caption).split()
            found[:] = ids
            return bool(ids)

        return found[0] if self._wait(look, seconds) else None

    def geometry(self, window):
        """(x, y, width, height) of an X window on the screen."""
        values = {}
        for line in self.xdotool("getwindowgeometry", "--shell", window).splitlines():
            key, _, value = line.partition("=")
            values[key] = value
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def move_pointer(self, x, y):
        self.xdotool("mousemove", x, y)

    def press(self):
        self.xdotool("mousedown", 1)

    def release(self):
        self.xdotool("mouseup", 1)

    def click(self, x, y):
        self.move_pointer(x, y)
        self.xdotool("click", 1)

    def stop(self):
        for process in (self.compositor, self.server):
            if process is None or process.poll() is not None:
                continue
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
