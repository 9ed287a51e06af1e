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


def check(condition, message):
    if condition:
        print("ok   " + message)
    else:
        print("FAIL " + message)
        failures.append(message)


def run(exe, icon):
    xvfb = Xvfb()
    print("Xvfb on display %s" % xvfb.name)
    # Written compactly, so the 4-space text after the exit shows the tool wrote it.
    root, workdir = make_workdir(icon, '{"lan":"zh"}')
    tool = None
    try:
        tool = Tool(exe, workdir, xvfb.env())

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

        # Close the main window as a window manager would.
        before_close = len(tool.console())
        xvfb.close_window(main_window)
        code = tool.wait_exit(30)
        check(code == 0, "the tool exits with 0 after WM_DELETE_WINDOW (got %s)" % code)

        lines = tool.console()[before_close:]
        teardown = [l for l in lines if l.startswith("[INFO] Destruct") or l.startswith("[INFO] Dectruct")]
        check(teardown == EXPECTED_TEARDOWN, "destructor lines in order")
        if teardown != EXPECTED_TEARDOWN:
            print("  expected: %r" % EXPECTED_TEARDOWN)
            print("  got:      %r" % teardown)

        config = os.path.join(workdir, "config.json")
        text = open(config, encoding="utf-8").read() if os.path.exists(config) else None
        check(text == '{\n    "lan": "zh"\n}', "./config.json written at exit (got %r)" % text)
    except Timeout as e:
        failures.append(str(e))
        print("FAIL " + str(e))
    finally:
        if tool is not None:
            tool.kill()
            print("---- tool console ----")
            for line in tool.console():
                print("  " + line)
            if tool.stderr_lines:
                print("---- tool stderr ----")
                for line in tool.stderr_lines:
                    print("  " + line)
        xvfb.stop()
        shutil.rmtree(root, ignore_errors=True)


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
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
