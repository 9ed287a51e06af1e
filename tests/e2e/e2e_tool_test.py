# Whole-tool test: the tool's own main built with an emulated gs_usb adapter and a
# simulated driver (halvren_motor_tool_emulated), on the X display it is given. Input
# goes through the X server (XTEST) as an operator's would; results are read from
# outside: the console (with the test build's probe lines), files on disk.
#
# usage: e2e_tool_test.py <tool> <icon.png> [screenshot dir]
# With a screenshot dir it also retakes the README screenshots (ImageMagick's import).
import ctypes, os, re, shutil, signal, subprocess, sys, tempfile, threading, time
from Xlib import X, XK, display, protocol
from Xlib.ext import xtest

TITLES = {"zh": ("Halvren 关节调试工具 v1.9.3", "曲线控制"), "en": ("Halvren Motor Tool v1.9.3", "Curve Follow")}
x = display.Display()
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    failures.extend([] if ok else [what])


def close(wid):  # what a window manager does for the close button
    w = x.create_resource_object("window", wid)
    data = (32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])
    w.send_event(protocol.event.ClientMessage(window=w, client_type=x.intern_atom("WM_PROTOCOLS"), data=data))
    x.sync()


def x_input(*events):  # (event type, key name or mouse button), then a flush
    for event, what in events:
        xtest.fake_input(x, event, what if isinstance(what, int) else x.keysym_to_keycode(XK.string_to_keysym(what)))
    x.sync()


class Tool:
    def __init__(self, exe, workdir):
        self.lines = []
        self.proc = subprocess.Popen([exe], cwd=workdir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
        threading.Thread(target=lambda: [self.lines.append(l.decode("utf-8", "replace").rstrip())
                                         for l in self.proc.stdout], daemon=True).start()

    def line(self, pattern, timeout=20):  # the last console line matching, waited for
        rx, deadline = re.compile(pattern), time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [m for m in map(rx.search, list(self.lines)) if m]
            if found:
                return found[-1]
            time.sleep(0.05)
        raise TimeoutError("waited in vain for " + pattern)

    def window(self, title):
        return int(self.line(r"^\[E2E\] window (\d+) %s$" % re.escape(title)).group(1))

    def click(self, name):  # at the control's last reported centre, once it has settled
        self.line(r"^\[E2E\] widget %s " % re.escape(name))
        time.sleep(0.3)
        cx, cy = map(int, self.line(r"^\[E2E\] widget %s (-?\d+) (-?\d+)$" % re.escape(name)).groups())
        xtest.fake_input(x, X.MotionNotify, x=cx, y=cy)
        x.sync()
        time.sleep(0.05)
        x_input((X.ButtonPress, 1), (X.ButtonRelease, 1))

    def fill(self, name, text):  # select all, type, leave with Tab
        self.click(name)
        time.sleep(0.1)
        keys = [{".": "period"}.get(c, c) for c in text] + ["Tab"]
        x_input((X.KeyPress, "Control_L"), (X.KeyPress, "a"), (X.KeyRelease, "a"), (X.KeyRelease, "Control_L"),
                *[(e, k) for k in keys for e in (X.KeyPress, X.KeyRelease)])


def run(exe, icon, lan, config_text, saved_text, shots):
    root = tempfile.mkdtemp(prefix="hv-e2e-")
    workdir = os.path.join(root, "run")
    os.makedirs(workdir)
    os.makedirs(os.path.join(root, "icon"))
    shutil.copy(icon, os.path.join(root, "icon", "icon.png"))  # the dialogs' "../icon/icon.png"
    with open(os.path.join(workdir, "config.json"), "w") as f:
        f.write(config_text)
    tool = Tool(os.path.abspath(exe), workdir)
    try:
        tool.line(r"^\[INFO\] Loaded language config is: %s$" % lan)
        main_window = tool.window(TITLES[lan][0])
        # Open the CAN link as an operator does; the window then asks for the version (CAN 22).
        tool.line(r"^\[E2E\] SetCan device list: 0$")
        tool.click("MainWindow/open_can_pushButton")
        tool.fill("SetCan/can_id_lineEdit", "1")
        tool.click("SetCan/open_close_pushButton")
        tool.line(r"^\[E2E\] driver request cmd 22$")
        tool.click("SetCan/cancle_pushButton")
        # Enable (CAN 2), then a position-follow curve streams motion commands (CAN 4).
        tool.click("MainWindow/motor_enable_disable_pushButton")
        tool.line(r"^\[E2E\] driver request cmd 2$")
        tool.click("MainWindow/set_curve_pushButton")
        tool.click("SetCurve/mode_tabWidget#1")
        for name, value in (("A", "1.5"), ("f", "0.5"), ("Kp", "5")):
            tool.fill("SetCurve/position_%s_doubleSpinBox" % name, value)
        tool.click("SetCurve/start_pushButton")
        tool.line(r"^\[E2E\] driver request cmd 4$")
        check(True, "%s: link opened, motor enabled and a curve streamed through the GUI" % lan)
        if shots:
            close(tool.window(TITLES[lan][1]))
            time.sleep(4.0)  # fill the 3 s plot window
            subprocess.run(["import", "-window", hex(main_window), "%s/screenshot-%s.png" % (shots, lan)], check=True)
        close(main_window)
        check(tool.proc.wait(timeout=30) == 0, "%s: the tool exits with 0 when its window is closed" % lan)
        with open(os.path.join(workdir, "config.json"), encoding="utf-8") as f:
            check(f.read() == saved_text, "%s: config.json written back at exit" % lan)
    except (TimeoutError, subprocess.TimeoutExpired) as e:
        check(False, "%s: %s\n  console: %s" % (lan, e, "\n  ".join(tool.lines[-30:])))
    finally:
        tool.proc.kill()
        shutil.rmtree(root, ignore_errors=True)


# Written compactly, so the indented text after the exit shows the tool wrote it.
shots = sys.argv[3] if len(sys.argv) > 3 else None
run(sys.argv[1], sys.argv[2], "zh", '{"lan":"zh"}', '{\n    "lan": "zh"\n}', shots)
run(sys.argv[1], sys.argv[2], "en", '{"x": 1, "lan": "en"}', '{\n    "lan": "en",\n    "x": 1\n}', shots)
sys.exit(1 if failures else 0)
