"""Whole-tool acceptance: the tool's executable on an Xvfb display.

The executable is the test build of the tool's own main (halvren_motor_tool_emulated):
an emulated gs_usb adapter with a simulated motor driver sits under the platform's
USB layer. Everything is checked from outside the process: windows through the X
server, the console through the process's standard output, files on disk. Input
goes through the X server (XTEST) as an operator's clicks and key presses would.

usage: e2e_tool_test.py <tool executable> <icon.png>
"""
import os
import shutil
import sys
import traceback

from e2e_x11 import TITLES, Timeout, Tool, Xvfb, exit_on_signals, make_workdir, open_can_link

# Every destructor line, in the order the main window and main take the parts down
# (CAN link open, no sender ever given a link).
EXPECTED_TEARDOWN = [
    "[INFO] Destruct MainWindow",
    "[INFO] Dectruct SetParam",
    "[INFO] Destruct Save",
    "[INFO] Dectruct SetCurve",
    "[INFO] Destruct CurveSender",
    "[INFO] Destruct StepSender",
    "[INFO] Destruct SerialManager",
    "[INFO] Dectruct SerialReceiver",
    "[INFO] Destruct SerialSender",
    "[INFO] Destruct DeviceScanner",
    "[INFO] Dectruct SetSerial",
    "[INFO] Destruct QtSerial",
    "[INFO] Destruct CanManager",
    "[INFO] Dectruct SetCan",
    "[INFO] Destruct CanReceiver",
    "[INFO] Destruct CanSender",
    "[INFO] Destruct DeviceScanner",
    "[INFO] Destruct CandleCan",
    "[INFO] Destruct CsvFiles4Check",
    "[INFO] Destruct PvtPoints",
    "[INFO] Destruct PvtPoints",
    "[INFO] Destruct CsvFile",
    "[INFO] Destruct config manager",
]

failures = []
passes = []


def check(condition, message):
    if condition:
        passes.append(message)
        print("ok   " + message)
    else:
        print("FAIL " + message)
        failures.append(message)


def session(exe, icon, config_text, body):
    """One start of the tool on a fresh display in a fresh working directory."""
    xvfb = Xvfb()
    root, workdir = make_workdir(icon, config_text)
    tool = None
    failed_before = len(failures)
    try:
        tool = Tool(exe, workdir, xvfb.env())
        body(xvfb, tool, workdir)
    except Timeout as e:
        failures.append(str(e))
        print("FAIL " + str(e))
    finally:
        if tool is not None:
            tool.kill()
            if len(failures) > failed_before:
                print("---- tool console (display %s) ----" % xvfb.name)
                for line in tool.console():
                    print("  " + line)
                print("---- tool stderr ----")
                for line in tool.stderr_lines:
                    print("  " + line)
        xvfb.stop()
        shutil.rmtree(root, ignore_errors=True)


def close_and_check(xvfb, tool, main_window, expected_teardown):
    """Closes the main window as a window manager would; the console shows the teardown."""
    before_close = len(tool.console())
    xvfb.close_window(main_window)
    code = tool.wait_exit(30)
    check(code == 0, "the tool exits with 0 after WM_DELETE_WINDOW (got %s)" % code)
    lines = tool.console()[before_close:]
    teardown = [l for l in lines if l.startswith("[INFO] Destruct") or l.startswith("[INFO] Dectruct")]
    check(teardown == expected_teardown, "destructor lines in order")
    if teardown != expected_teardown:
        print("  expected: %r" % expected_teardown)
        print("  got:      %r" % teardown)


def chinese_with_can_link(xvfb, tool, workdir):
    # Start-up: console line, then the main window on the display.
    tool.wait_line(r"^\[INFO\] Loaded language config is: zh$", 30)
    check(True, "start-up line '[INFO] Loaded language config is: zh'")
    main_window = xvfb.wait_window(TITLES["zh"], 30)
    check("0x%x" % main_window in xvfb.tree(), "xwininfo lists the main window 0x%x" % main_window)

    # The adapter: the CAN dialog's list is filled by the 500 ms device scan.
    tool.wait_line(r"^\[E2E\] SetCan device list: 0$", 15)
    check(True, "the CAN dialog lists the emulated adapter as '0'")

    # Open the CAN link as an operator does, through the X server.
    open_can_link(xvfb, tool, "zh")
    check(True, "the link opens on the emulated adapter: '[INFO] Can is on and serial is off!'")
    # The main window asks for the version once the link is up (CAN command 22).
    tool.wait_line(r"^\[E2E\] driver request cmd 22$", 15)
    check(True, "the simulated driver received the version request over the adapter")

    close_and_check(xvfb, tool, main_window, EXPECTED_TEARDOWN)
    config = os.path.join(workdir, "config.json")
    text = open(config, encoding="utf-8").read() if os.path.exists(config) else None
    check(text == '{\n    "lan": "zh"\n}', "./config.json written at exit (got %r)" % text)


def english_with_extra_key(xvfb, tool, workdir):
    tool.wait_line(r"^\[INFO\] Loaded language config is: en$", 30)
    check(True, "start-up line '[INFO] Loaded language config is: en'")
    main_window = xvfb.wait_window(TITLES["en"], 30)
    check(True, "the English title 'Halvren Motor Tool v1.9.3'")
    tool.wait_line(r"^\[E2E\] SetCan device list: 0$", 15)
    close_and_check(xvfb, tool, main_window, EXPECTED_TEARDOWN)
    config = os.path.join(workdir, "config.json")
    text = open(config, encoding="utf-8").read() if os.path.exists(config) else None
    check(text == '{\n    "lan": "en",\n    "x": 1\n}', "./config.json keeps other keys (got %r)" % text)


def run(exe, icon):
    # Written compactly, so the 4-space text after the exit shows the tool wrote it.
    session(exe, icon, '{"lan":"zh"}', chinese_with_can_link)
    session(exe, icon, '{"x": 1, "lan": "en"}', english_with_extra_key)


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    exit_on_signals()
    try:
        run(sys.argv[1], sys.argv[2])
    except Exception:
        traceback.print_exc()
        return 1
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
