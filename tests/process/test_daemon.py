"""The kemd process: instance check, command line, start and stop lines, signals."""
import argparse
import os
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
import private_host  # noqa: E402

BUILD = None
PID_FILE = "/var/run/kemd.0.pid"


def kemd(*args):
    return subprocess.Popen([os.path.join(BUILD, "daemon", "kemd"), *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class DaemonProcess(unittest.TestCase):
    def setUp(self):
        self.log = private_host.Syslog()
        self.host = socket.gethostname()[:31]

    def tearDown(self):
        self.log.close()
        if os.path.exists(PID_FILE):
            os.unlink(PID_FILE)

    def test_pid_file_refuses_second_instance(self):
        for content, shown in (("4242\n", "4242"), ("", "0"), ("garbage", "0")):
            with open(PID_FILE, "w") as f:
                f.write(content)
            p = kemd("-f")
            out, _ = p.communicate(timeout=10)
            self.assertEqual(out, "Daemon kemd already exists @ pid %s\n" % shown)
            self.assertEqual(p.returncode, 255)
        # It refused before opening the log.
        self.assertEqual([l for l in self.log.drain() if "KEMD" in l], [])

    def test_bad_argument_gives_usage_and_status_1(self):
        for args in (["-x"], ["foreground"], ["-f", "word", "-d"]):
            p = kemd(*args)
            p.communicate(timeout=10)
            self.assertEqual(p.returncode, 1, args)
            self.assertIsNotNone(self.log.wait_for("USAGE: kemd -f"), args)

    def test_foreground_start_and_orderly_stop(self):
        for args in (["-f"], ["-f", "anything"]):
            p = kemd(*args)
            start = self.log.wait_for("Starting")
            self.assertIsNotNone(start)
            self.assertIn("<190>", start)  # local7.info
            self.assertIn("KEMD[%d]: %%Drovane-%s-KEMD-6-INFO-1900001: Starting" %
                          (p.pid, self.host), start)
            self.assertIsNotNone(self.log.wait_for("Waiting for events"))
            self.assertIsNone(p.poll(), "must stay in the foreground")
            p.send_signal(signal.SIGUSR2)
            self.assertEqual(p.wait(timeout=10), 0)
            stop = self.log.wait_for("Terminating")
            self.assertIsNotNone(stop)
            self.assertIn("<189>", stop)  # local7.notice
            self.assertIn("%%Drovane-%s-KEMD-5-NTCE-1999999: Terminating" % self.host, stop)

    def test_sigterm_exits_at_once_and_sigquit_aborts(self):
        p = kemd("-f")
        self.assertIsNotNone(self.log.wait_for("Waiting for events"))
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=10), 0)
        self.assertIsNone(self.log.wait_for("Terminating", timeout=0.5))

        p = kemd("-f")
        self.assertIsNotNone(self.log.wait_for("Waiting for events"))
        p.send_signal(signal.SIGQUIT)
        out, _ = p.communicate(timeout=10)
        self.assertEqual(p.returncode, -signal.SIGABRT)
        self.assertRegex(out, r"^\S+:\d+: failed assertion `.*'\n$")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    private_host.enter()
    private_host.make_private_dirs()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
