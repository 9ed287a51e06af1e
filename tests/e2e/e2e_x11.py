"""Helpers for driving the tool's executable on a private Xvfb display.

Everything waits with a deadline; nothing here can hang a test run.
"""
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import ctypes

from Xlib import X, XK, display, protocol
from Xlib.ext import xtest


class Timeout(Exception):
    pass


def _die_with_parent():
    """Runs in the child before exec: the kernel kills it when this script dies."""
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def exit_on_signals():
    """SIGTERM (timeout, ctest) and friends unwind through the finally blocks."""
    def leave(signum, frame):
        raise SystemExit(128 + signum)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, leave)


class Xvfb:
    """An Xvfb server on a display number it picks itself (-displayfd)."""

    def __init__(self, width=1600, height=1000, timeout=15.0):
        self.runtime_dir = tempfile.mkdtemp(prefix="hv-e2e-xdg-")
        os.chmod(self.runtime_dir, 0o700)
        self.log = tempfile.TemporaryFile()
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=self.log,
            start_new_session=True, preexec_fn=_die_with_parent)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + timeout
        try:
            while not number.endswith(b"\n"):
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise Timeout("Xvfb did not start: %s" % self._stderr())
                ready, _, _ = select.select([read_fd], [], [], 0.2)
                if ready:
                    chunk = os.read(read_fd, 16)
                    if not chunk:
                        raise Timeout("Xvfb closed its display pipe: %s" % self._stderr())
                    number += chunk
        finally:
            os.close(read_fd)
        self.name = ":" + number.decode().strip()
        self.display = display.Display(self.name)

    def _stderr(self):
        try:
            self.proc.kill()
            self.proc.wait(timeout=2)
            self.log.seek(0)
            return self.log.read().decode(errors="replace")
        except Exception:
            return ""

    def env(self):
        env = dict(os.environ)
        env.pop("QT_QPA_PLATFORM", None)  # ctest runs everything offscreen; this one is real
        env["DISPLAY"] = self.name
        env["XDG_RUNTIME_DIR"] = self.runtime_dir
        env["QT_QPA_PLATFORM"] = "xcb"
        return env

    # ---- windows -------------------------------------------------------------
    def tree(self):
        out = subprocess.run(["xwininfo", "-root", "-tree"], env=self.env(), capture_output=True,
                             timeout=10)
        return out.stdout.decode("utf-8", errors="replace")

    def window_titles(self):
        """Title of every viewable top-level client window, read from _NET_WM_NAME."""
        titles = {}
        net_name = self.display.intern_atom("_NET_WM_NAME")
        utf8 = self.display.intern_atom("UTF8_STRING")
        for win in self.display.screen().root.query_tree().children:
            try:
                if win.get_attributes().map_state != X.IsViewable:
                    continue
                prop = win.get_full_property(net_name, utf8)
                if prop is not None:
                    value = prop.value
                    titles[win.id] = value.decode("utf-8") if isinstance(value, bytes) else str(value)
                    continue
                name = win.get_wm_name()
                if name:
                    titles[win.id] = name if isinstance(name, str) else name.decode("latin-1")
            except Exception:
                continue
        return titles

    def wait_window(self, title, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for wid, t in self.window_titles().items():
                if t == title:
                    return wid
            time.sleep(0.1)
        raise Timeout("no window titled %r; windows: %r" % (title, self.window_titles()))

    def wait_window_gone(self, wid, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if wid not in self.window_titles():
                return
            time.sleep(0.1)
        raise Timeout("window 0x%x still shown" % wid)

    def close_window(self, wid):
        """What a window manager does for the close button: WM_DELETE_WINDOW."""
        win = self.display.create_resource_object("window", wid)
        protocols = self.display.intern_atom("WM_PROTOCOLS")
        delete = self.display.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=win, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        win.send_event(event, event_mask=X.NoEventMask)
        self.display.sync()

    # ---- input through the X server -------------------------------------------
    def click(self, x, y):
        root = self.display.screen().root
        xtest.fake_input(self.display, X.MotionNotify, x=x, y=y, root=root)
        self.display.sync()
        time.sleep(0.05)
        xtest.fake_input(self.display, X.ButtonPress, 1)
        xtest.fake_input(self.display, X.ButtonRelease, 1)
        self.display.sync()

    def type_text(self, text):
        names = {".": "period", "-": "minus"}
        for ch in text:
            keycode = self.display.keysym_to_keycode(XK.string_to_keysym(names.get(ch, ch)))
            xtest.fake_input(self.display, X.KeyPress, keycode)
            xtest.fake_input(self.display, X.KeyRelease, keycode)
        self.display.sync()

    def select_all(self):
        ctrl = self.display.keysym_to_keycode(XK.string_to_keysym("Control_L"))
        a = self.display.keysym_to_keycode(XK.string_to_keysym("a"))
        xtest.fake_input(self.display, X.KeyPress, ctrl)
        xtest.fake_input(self.display, X.KeyPress, a)
        xtest.fake_input(self.display, X.KeyRelease, a)
        xtest.fake_input(self.display, X.KeyRelease, ctrl)
        self.display.sync()

    def fill(self, x, y, text):
        """Clicks into an entry field, replaces its text and leaves it with Tab."""
        self.click(x, y)
        time.sleep(0.1)
        self.select_all()
        self.type_text(text)
        tab = self.display.keysym_to_keycode(XK.string_to_keysym("Tab"))
        xtest.fake_input(self.display, X.KeyPress, tab)
        xtest.fake_input(self.display, X.KeyRelease, tab)
        self.display.sync()

    def screenshot(self, path, window="root"):
        target = window if window == "root" else "0x%x" % window
        subprocess.run(["/usr/bin/import", "-window", target, path], env=self.env(), check=True,
                       timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def stop(self):
        try:
            self.display.close()
        except Exception:
            pass
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        shutil.rmtree(self.runtime_dir, ignore_errors=True)


class Tool:
    """The tool's process in a working directory of its own, console collected."""

    def __init__(self, exe, workdir, env):
        self.lines = []
        self.stderr_lines = []
        self._lock = threading.Lock()
        self.proc = subprocess.Popen([os.path.abspath(exe)], cwd=workdir, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True,
                                     preexec_fn=_die_with_parent)
        self._readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.lines)),
                         threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr_lines))]
        for r in self._readers:
            r.daemon = True
            r.start()

    def _read(self, stream, into):
        for raw in iter(stream.readline, b""):
            with self._lock:
                into.append(raw.decode("utf-8", errors="replace").rstrip("\r\n"))

    def console(self):
        with self._lock:
            return list(self.lines)

    def wait_line(self, pattern, timeout, start=0):
        """Index of the first console line from `start` on that matches `pattern`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            lines = self.console()
            for i in range(start, len(lines)):
                if regex.search(lines[i]):
                    return i, regex.search(lines[i])
            if time.monotonic() > deadline:
                raise Timeout("no console line matching %r" % pattern)
            if self.proc.poll() is not None:
                time.sleep(0.2)  # let the readers drain
                lines = self.console()
                for i in range(start, len(lines)):
                    if regex.search(lines[i]):
                        return i, regex.search(lines[i])
                raise Timeout("tool exited (%s) before a line matching %r" % (self.proc.returncode, pattern))
            time.sleep(0.05)

    def widget(self, name, timeout):
        """Last reported screen centre of a control (from the test build's probe)."""
        self.wait_line(r"^\[E2E\] widget %s " % re.escape(name), timeout)
        time.sleep(0.3)  # a window that is still being placed reports again
        x = y = None
        for line in self.console():
            m = re.match(r"^\[E2E\] widget %s (-?\d+) (-?\d+)$" % re.escape(name), line)
            if m:
                x, y = int(m.group(1)), int(m.group(2))
        return x, y

    def wait_exit(self, timeout):
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("tool still running %.0f s after the close" % timeout)
        for r in self._readers:
            r.join(timeout=5)
        return code

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=5)


def make_workdir(icon, config_text):
    """<tmp>/run is the working directory, <tmp>/icon/icon.png the dialogs' icon."""
    root = tempfile.mkdtemp(prefix="hv-e2e-")
    os.makedirs(os.path.join(root, "icon"))
    shutil.copy(icon, os.path.join(root, "icon", "icon.png"))
    run = os.path.join(root, "run")
    os.makedirs(run)
    if config_text is not None:
        with open(os.path.join(run, "config.json"), "w") as f:
            f.write(config_text)
    return root, run


TITLES = {"zh": "Halvren 关节调试工具 v1.9.3", "en": "Halvren Motor Tool v1.9.3"}


DIALOG_TITLES = {"zh": {"can": "打开CAN", "curve": "曲线控制"},
                 "en": {"can": "CAN", "curve": "Curve Follow"}}


def open_can_link(xvfb, tool, lan, motor_id="1", timeout=15):
    """The operator's way: CAN button, motor id, Open, then Cancel to close the dialog."""
    x, y = tool.widget("MainWindow/open_can_pushButton", timeout)
    xvfb.click(x, y)
    tool.wait_line(r"^\[INFO\] Open set_can_ window$", timeout)
    dialog = xvfb.wait_window(DIALOG_TITLES[lan]["can"], timeout)
    x, y = tool.widget("SetCan/can_id_lineEdit", timeout)
    xvfb.fill(x, y, motor_id)
    x, y = tool.widget("SetCan/open_close_pushButton", timeout)
    xvfb.click(x, y)
    tool.wait_line(r"^\[INFO\] can_id_: %s$" % motor_id, timeout)
    tool.wait_line(r"^\[INFO\] Can is on and serial is off!$", timeout)
    x, y = tool.widget("SetCan/cancle_pushButton", timeout)
    xvfb.click(x, y)
    xvfb.wait_window_gone(dialog, timeout)
