"""Screenshots of the main window in each language, for the README.

Runs the test build of the tool on a private Xvfb display with the emulated CAN
adapter, opens the link, enables the motor and starts a position-follow sine curve
through the GUI, then captures the main window once the plots have filled.

usage: take_screenshots.py <tool executable> <icon.png> <output dir>
"""
import os
import shutil
import sys
import time

from e2e_x11 import DIALOG_TITLES, TITLES, Tool, Xvfb, exit_on_signals, make_workdir, open_can_link


def shoot(exe, icon, lan, out_path):
    xvfb = Xvfb()
    root, workdir = make_workdir(icon, '{"lan": "%s"}' % lan)
    tool = None
    try:
        tool = Tool(exe, workdir, xvfb.env())
        tool.wait_line(r"^\[INFO\] Loaded language config is: %s$" % lan, 30)
        main_window = xvfb.wait_window(TITLES[lan], 30)
        tool.wait_line(r"^\[E2E\] SetCan device list: 0$", 15)
        open_can_link(xvfb, tool, lan)

        # Enable the motor; the driver confirms and the curve button comes on.
        mark = len(tool.console())
        x, y = tool.widget("MainWindow/motor_enable_disable_pushButton", 15)
        xvfb.click(x, y)
        tool.wait_line(r"^\[E2E\] driver request cmd 2$", 15, mark)
        time.sleep(0.5)

        # Position follow: A 1.5 rad, f 0.5 Hz.
        x, y = tool.widget("MainWindow/set_curve_pushButton", 15)
        xvfb.click(x, y)
        dialog = xvfb.wait_window(DIALOG_TITLES[lan]["curve"], 15)
        x, y = tool.widget("SetCurve/tab1", 15)
        xvfb.click(x, y)
        for name, value in (("position_A_doubleSpinBox", "1.5"), ("position_f_doubleSpinBox", "0.5"),
                            ("position_Kp_doubleSpinBox", "5")):
            x, y = tool.widget("SetCurve/" + name, 15)
            xvfb.fill(x, y, value)
        x, y = tool.widget("SetCurve/start_pushButton", 15)
        xvfb.click(x, y)
        tool.wait_line(r"^mode_ is: 2$", 15)
        xvfb.close_window(dialog)
        xvfb.wait_window_gone(dialog, 15)
        time.sleep(4.0)  # fill the 3 s plot window

        xvfb.screenshot(out_path, main_window)
        print("wrote %s" % out_path)
        xvfb.close_window(main_window)
        tool.wait_exit(30)
    finally:
        if tool is not None:
            tool.kill()
        xvfb.stop()
        shutil.rmtree(root, ignore_errors=True)


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    exit_on_signals()
    exe, icon, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    for lan in ("zh", "en"):
        shoot(exe, icon, lan, os.path.join(out_dir, "screenshot-%s.png" % lan))
    return 0


if __name__ == "__main__":
    sys.exit(main())
