"""kemcli against a real configuration agent (cdbd) and a test daemon on the zconfd framework.

Each test starts its own cdbd with private socket, database and schema directory (the
project's modules plus the widget test module) and the widget daemon, then drives kemcli
one-shot; some tests drive it interactively through a pseudo-terminal, as an operator types.
"""
import argparse
import json
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = None
SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TEST_YANG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kemcli")

FULL_CONFIG = [
    "set system host-name r1",
    "set system system-ip 10.255.0.1",
    "set vpn vpn-instance 1 name blue",
    "set vpn vpn-instance 1 interface ge0-1 ip address 10.1.1.1/24",
    "set vpn vpn-instance 1 interface ge0-1 description 'to the LAN'",
    "set vpn vpn-instance 1 router pim auto-rp true",
    "set vpn vpn-instance 1 router pim spt-threshold 100",
    "set vpn vpn-instance 1 router pim replicator replicator-local true",
    "set vpn vpn-instance 1 router pim replicator replicator-threshold 50",
    "set vpn vpn-instance 1 router pim replicator replicator-selection random",
    "set vpn vpn-instance 1 router pim interface ge0-1 dr-priority 10",
    "set vpn vpn-instance 1 router pim interface ge0-1 hello-interval 20",
    "set vpn vpn-instance 1 router pim interface ge0-1 join-prune-interval 90",
]


def wait_for(pred, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.05)
    return False


class Tty:
    """An interactive kemcli on a pseudo-terminal."""

    def __init__(self, test, args, home=None):
        self.test = test
        self.seen = b""
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            if home:
                os.environ["HOME"] = home
            os.environ["TERM"] = "dumb"
            os.execv(args[0], args)

    def send(self, text):
        os.write(self.fd, text.encode())

    def expect(self, text, timeout=10.0):
        """Waits for text; returns what came before it."""
        end = time.monotonic() + timeout
        while text.encode() not in self.seen:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                self.test.fail("no %r in %r" % (text, self.seen))
            try:
                self.seen += os.read(self.fd, 4096)
            except OSError:
                self.test.fail("kemcli ended; no %r in %r" % (text, self.seen))
        at = self.seen.index(text.encode())
        before = self.seen[:at].decode(errors="replace")
        self.seen = self.seen[at + len(text):]
        return before

    def wait(self):
        _, status = os.waitpid(self.pid, 0)
        self.pid = 0
        return os.waitstatus_to_exitcode(status)

    def close(self):
        if self.pid:
            os.kill(self.pid, 9)
            os.waitpid(self.pid, 0)
            self.pid = 0
        os.close(self.fd)


class KemcliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kemcli-")
        self.yang = os.path.join(self.dir, "yang")
        os.mkdir(self.yang)
        for d in (os.path.join(SRC, "yang"), TEST_YANG):
            for f in os.listdir(d):
                if f.endswith(".yang"):
                    shutil.copy(os.path.join(d, f), self.yang)
        self.sock = os.path.join(self.dir, "cdbd.sock")
        self.agent_log = os.path.join(self.dir, "cdbd.log")
        with open(self.agent_log, "w") as log:
            self.agent = subprocess.Popen(
                [os.path.join(BUILD, "tools", "cdbd", "cdbd"), "-f", "-s", self.sock,
                 "-d", os.path.join(self.dir, "cdb.sqlite"), "-y", self.yang],
                stdout=log, stderr=subprocess.STDOUT)
        self.assertTrue(wait_for(lambda: os.path.exists(self.sock)), self.agent_logs())
        self.daemon = subprocess.Popen(
            [os.path.join(BUILD, "tools", "kemcli", "kemcli_testd"), self.sock],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: "Initial configuration read by kemcli_testd"
                                 in self.agent_logs()), self.agent_logs())

    def tearDown(self):
        for p in (self.daemon, self.agent):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.dir)

    def agent_logs(self):
        with open(self.agent_log) as f:
            return f.read()

    @property
    def kemcli(self):
        return os.path.join(BUILD, "tools", "kemcli", "kemcli")

    def cli(self, *lines, sock=None, extra=(), stdin=None):
        args = [self.kemcli, "-s", sock or self.sock,
                "-y", self.yang, "-u", "tester", *extra]
        for line in lines:
            args += ["-c", line]
        return subprocess.run(args, capture_output=True, text=True, timeout=60, input=stdin)

    def ok(self, *lines, **kw):
        r = self.cli(*lines, **kw)
        self.assertEqual(r.returncode, 0, "%s\nstdout: %s\nstderr: %s" % (lines, r.stdout, r.stderr))
        self.assertEqual(r.stderr, "")
        return r.stdout

    def running(self, *path):
        return json.loads(self.ok(" ".join(("show running-config",) + path)))

    def test_full_configuration_commit_show_rollback(self):
        out = self.ok("configure", *FULL_CONFIG, "compare", "commit comment first", "exit")
        self.assertIn("Commit 1 complete", out)
        self.assertIn("vpn", out.split("Commit 1")[0], "compare lists the change")
        pim_if = {"if-name": "ge0-1", "join-prune-interval": 90, "dr-priority": 10,
                  "hello-interval": 20}
        pim = {"auto-rp": True, "spt-threshold": 100, "interface": [pim_if],
               "replicator": {"replicator-local": True, "replicator-threshold": 50,
                              "replicator-selection": "random"}}
        first = {"kem-system:system": {"host-name": "r1", "system-ip": "10.255.0.1"},
                 "kem-vpn:vpn": {"vpn-instance": [{
                     "vpn-id": "1", "name": "blue", "router": {"pim": pim},
                     "interface": [{"if-name": "ge0-1", "description": "to the LAN",
                                    "ip": {"address": "10.1.1.1/24"}}]}]}}
        self.assertEqual(self.running(), first)
        self.assertEqual(self.running("vpn vpn-instance 1 router pim interface ge0-1"),
                         {"kem-vpn:interface": [pim_if]})

        # The candidate is the session's own until commit; a second commit changes and deletes.
        out = self.ok("configure",
                      "set vpn vpn-instance 1 router pim interface ge0-1 dr-priority 20",
                      "delete vpn vpn-instance 1 router pim spt-threshold",
                      "show vpn vpn-instance 1 router pim interface ge0-1", "commit", "exit")
        self.assertIn('"dr-priority": 20', out)
        self.assertIn("Commit 2 complete", out)
        second = json.loads(json.dumps(first))
        second_pim = second["kem-vpn:vpn"]["vpn-instance"][0]["router"]["pim"]
        second_pim["interface"][0]["dr-priority"] = 20
        del second_pim["spt-threshold"]
        self.assertEqual(self.running(), second)

        commits = json.loads(self.ok("show commits --json"))
        self.assertEqual(sorted(c["id"] for c in commits), [1, 2])
        self.assertEqual({c["user"] for c in commits}, {"tester"})
        self.assertIn("first", [c["comment"] for c in commits])
        text = self.ok("show commits").splitlines()
        self.assertEqual(text[0].split(), ["id", "time", "user", "comment"])

        out = self.ok("configure", "rollback 1", "exit")
        self.assertIn("Rolled back to commit 1", out)
        self.assertEqual(self.running(), first)
        self.assertEqual(len(json.loads(self.ok("show commits --json"))), 3)

        # Leaving configuration mode drops what was not committed.
        out = self.ok("configure", "set vpn vpn-instance 7 name gone", "exit")
        self.assertIn("Uncommitted changes discarded", out)
        self.assertEqual(self.running(), first)

    def test_errors_name_the_path_and_fail_the_run(self):
        pim = "vpn vpn-instance 1 router pim"
        cases = [
            (["configure", "set %s dr-prio 3" % pim], "%s: unknown element 'dr-prio'" % pim),
            (["configure", "set %s auto-rp maybe" % pim],
             "%s auto-rp: bad value 'maybe', expected <boolean> (one of true, false)" % pim),
            (["configure", "set %s interface e1 hello-interval 0" % pim],
             "hello-interval: value '0' out of range, expected <uint16 1..65535 seconds>"),
            (["configure", "set vpn vpn-instance 70000 name x"],
             "vpn vpn-instance: key vpn-id: value '70000' out of range"),
            (["configure", "set vpn vpn-instance"], "vpn vpn-instance: missing key vpn-id"),
            (["configure", "set %s interface e1 dr-priority" % pim],
             "dr-priority: missing value, expected <uint32>"),
            (["configure", "set vpn vpn-instance 1 name 'open"], "unterminated quote"),
            (["configure", "delete vpn vpn-instance 5"], "no such node"),
            (["configure", "rollback 42"], "No commit 42 in the history"),
            (["configure", "set vpn vpn-instance 2 name refuse-me", "commit"],
             "Unable to apply changes"),
            (["frobnicate"], "unknown command 'frobnicate'"),
            (["show no-such-table"], "show: unknown element 'no-such-table'"),
            (["show widgets"],
             "show widgets: holds tables, show one of widget-part-table widget-table"),
            (["show widget-table colour red"], "show widget-table: unknown column 'colour'"),
            (["show widget-table vpn-id one"], "show widget-table: vpn-id: bad value 'one'"),
            (["show widget-table vpn-id"], "show widget-table: vpn-id: missing value"),
            (["widget-commands clear-widgets vpn-id 99"],
             "widget-commands clear-widgets: VPN 99 not configured"),
            (["widget-commands clear-widgets color red"],
             "widget-commands clear-widgets: unknown parameter 'color'"),
            (["widget-commands clear-widgets vpn-id"], "parameter vpn-id: missing value"),
            (["widget-commands"], "widget-commands: incomplete command"),
        ]
        for lines, message in cases:
            r = self.cli(*lines)
            self.assertEqual(r.returncode, 1, lines)
            self.assertIn("Error: ", r.stderr, lines)
            self.assertIn(message, r.stderr, lines)

        r = self.cli("show commits", sock=os.path.join(self.dir, "nowhere.sock"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("configuration agent not running", r.stderr)

        # The run stops at the first failing line: nothing after it is committed.
        r = self.cli("configure", "set vpn vpn-instance 3 name ok", "set vpn bogus", "commit")
        self.assertEqual(r.returncode, 1)
        self.assertNotIn("Commit", r.stdout)
        self.assertNotIn("kem-vpn:vpn", self.running())
        # Standard input is a script like -c lines, with the same status.
        r = self.cli(stdin="configure\nset vpn vpn-instance 3 name ok\ncommit\nshow nothing\n")
        self.assertEqual(r.returncode, 1)
        self.assertIn("Commit 1 complete", r.stdout)

        r = self.cli(extra=["--bogus"])
        self.assertEqual(r.returncode, 2)
        r = self.cli("show commits", extra=["-y", os.path.join(self.dir, "no-yang")])
        self.assertEqual(r.returncode, 2)
        self.assertIn("Error: ", r.stderr)

    def test_json_load_save_round_trip(self):
        config = {
            "kem-system:system": {"host-name": "edge-7", "system-ip": "192.0.2.7"},
            "kem-vpn:vpn": {"vpn-instance": [
                {"vpn-id": str(v), "name": "vpn-%d" % v,
                 "interface": [{"if-name": "ge0-%d" % v, "ip": {"address": "10.%d.%d.1/24" % (v // 256, v % 256)}}],
                 "router": {"pim": {"auto-rp": True, "interface": [
                     {"if-name": "ge0-%d" % v, "dr-priority": v}]}}}
                # Enough VPNs that the text travels in several messages each way.
                for v in range(1, 400)]},
        }
        src = os.path.join(self.dir, "in.json")
        with open(src, "w") as f:
            json.dump(config, f)
        self.assertGreater(os.path.getsize(src), 70000)
        self.assertIn("Commit 1 complete", self.ok("configure", "load " + src, "commit", "exit"))
        out = os.path.join(self.dir, "out.json")
        self.ok("save " + out)
        with open(out) as f:
            self.assertEqual(json.load(f), config)

        # Saved text loads back to no change; merge adds to the candidate.
        frag = os.path.join(self.dir, "frag.json")
        with open(frag, "w") as f:
            json.dump({"kem-vpn:vpn": {"vpn-instance": [{"vpn-id": "900", "name": "new"}]}}, f)
        text = self.ok("configure", "load " + out, "compare", "load merge " + frag,
                       "save " + os.path.join(self.dir, "cand.json"), "commit", "exit")
        self.assertIn("No changes", text)
        self.assertIn("Commit 2 complete", text)
        with open(os.path.join(self.dir, "cand.json")) as f:
            self.assertEqual(len(json.load(f)["kem-vpn:vpn"]["vpn-instance"]), 400)

        bad = os.path.join(self.dir, "bad.json")
        with open(bad, "w") as f:
            f.write('{"kem-vpn:vpn": {"vpn-instance": [{"vpn-id": "1", "colour": "red"}]}}')
        for lines, message in ((["configure", "load " + bad], "load " + bad + ": "),
                               (["configure", "load " + bad + ".missing"], "cannot read")):
            r = self.cli(*lines)
            self.assertEqual(r.returncode, 1)
            self.assertIn(message, r.stderr)

    def test_tables_actions_and_notifications(self):
        self.assertEqual(self.ok("show widget-table").splitlines(), [
            "vpn-id  name   address      state  flags       up-time",
            "1       alpha  10.0.0.1     up     spt         0:00:01:00",
            "1       b      10.0.0.2     down   -           -",
            "2       gamma  2001:db8::1  up     spt winner  1y 2:03:04:05",
        ])
        data = json.loads(self.ok("show widget-table --json"))
        rows = data["kem-kemcli-test:widgets"]["widget"]
        self.assertEqual([(r["vpn-id"], r["name"]) for r in rows],
                         [(1, "alpha"), (1, "b"), (2, "gamma")])
        self.assertEqual(rows[1], {"vpn-id": 1, "name": "b", "address": "10.0.0.2",
                                   "state": "down"})
        self.assertEqual(rows[2]["flags"], "spt winner")
        # A table inside a table: walked under each parent row.
        self.assertEqual(self.ok("show widget-part-table").splitlines(), [
            "widget/vpn-id  widget/name  index  weight",
            "1              alpha        0      5",
            "1              alpha        1      7",
            "2              gamma        3      1",
        ])
        parts = json.loads(self.ok("show widget-part-table", extra=["--json"]))
        widgets = parts["kem-kemcli-test:widgets"]["widget"]
        self.assertEqual([(w["name"], [p["index"] for p in w["part"]]) for w in widgets],
                         [("alpha", [0, 1]), ("gamma", [3])])

        # A container is a table of one row.
        self.assertEqual(self.ok("show widget-summary").splitlines(), ["total  up", "3      2"])
        self.assertEqual(json.loads(self.ok("show widget-summary --json")),
                         {"kem-kemcli-test:widget-summary": {"total": 3, "up": 2}})
        # Rows picked by column values, given as the schema types them.
        self.assertEqual(self.ok("show widget-table vpn-id 1 state up").splitlines()[1:],
                         ["1       alpha  10.0.0.1  up     spt    0:00:01:00"])
        parts = json.loads(self.ok("show widget-part-table --json widget/name gamma"))
        self.assertEqual(parts["kem-kemcli-test:widgets"]["widget"][0]["part"],
                         [{"index": 3, "weight": 1}])
        self.assertEqual(self.ok("show widget-table --json address 10.9.9.9"), "{}\n")

        self.assertEqual(self.ok("dump-widgets").splitlines(),
                         ["Widgets: 3", "  vpn 1 alpha", "  vpn 1 b", "  vpn 2 gamma"])
        self.assertIn("  vpn 2 gamma 2001:db8::1 parts 1", self.ok("dump-widgets detail"))

        self.assertEqual(self.ok("widget-commands clear-widgets vpn-id 3 address 10.0.0.1"), "")
        out = self.ok("monitor replay 1 count 1")
        self.assertIn("widget-state-change", out)
        self.assertIn('"vpn-id":3', out.replace(" ", ""))
        # State values written by daemons, by their top node.
        self.assertEqual(json.loads(self.ok("show zconfd-initial-read-priority --json")),
                         {"/zconfd-initial-read-priority": "7"})
        self.assertIn("configure", self.ok("help"))
        self.assertIn("widget-table", self.ok("help show"))

    def test_concurrent_sessions_monitor_completion_and_history(self):
        # A monitor runs in one terminal while operators configure in others.
        monitor = subprocess.Popen(
            [self.kemcli, "-s", self.sock, "-y", self.yang, "-c", "monitor count 1"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        a = None
        try:
            self.assertTrue(wait_for(lambda: "Module kemcli connected" in self.agent_logs()),
                            self.agent_logs())
            a = Tty(self, [self.kemcli, "-s", self.sock, "-y", self.yang, "-u", "alice"],
                    home=self.dir)
            a.expect("kemcli> ")
            a.send("conf\t")
            a.expect("configure ")
            a.send("\n")
            a.expect("kemcli(config)# ")
            a.send("set vpn vpn-instance 5 name from-a\n")
            a.expect("kemcli(config)# ")

            # A second operator commits meanwhile: only their own edits go in.
            out = self.ok("configure", "set vpn vpn-instance 42 name from-b", "show vpn",
                          "commit", "exit")
            self.assertIn("from-b", out)
            self.assertNotIn("from-a", out)
            self.assertIn("Commit 1 complete", out)
            self.assertIsNone(monitor.poll())

            # Completion and help know the schema and the configured keys.
            for typed, shown in (("set vpn vpn-instance ?", "<vpn-id>"),
                                 ("", "kemcli(config)# set vpn vpn-instance "), ("4\t", "42 "),
                                 ("router pim sh\t", "shutdown "), ("?", "false"),
                                 ("", "# set vpn vpn-instance 42 router pim shutdown ")):
                a.send(typed)
                a.expect(shown)
            # The first operator's candidate is intact, on top of the new running.
            a.send("\x15compare\n")
            a.expect("compare\r\n")
            out = a.expect("kemcli(config)# ")
            self.assertIn("vpn-id='5'", out)
            self.assertNotIn("vpn-id='42'", out)
            self.assertNotIn("Warning", out)
            a.send("commit\n")
            self.assertIn("Commit 2 complete", a.expect("kemcli(config)# "))
            a.send("exit\n")
            a.expect("kemcli> ")
            for typed, shown in (("show widget-t\t", "widget-table "), ("st\t", "state "),
                                 ("?", "down")):
                a.send(typed)
                a.expect(shown)
            a.send("\x15exit\n")
            self.assertEqual(a.wait(), 0)
            with open(os.path.join(self.dir, ".kemcli_history")) as f:
                self.assertEqual(f.read().split("\n")[:2],
                                 ["configure", "set vpn vpn-instance 5 name from-a"])
            names = {v["vpn-id"]: v["name"]
                     for v in self.running()["kem-vpn:vpn"]["vpn-instance"]}
            self.assertEqual(names, {"5": "from-a", "42": "from-b"})
            users = {c["id"]: c["user"] for c in json.loads(self.ok("show commits --json"))}
            self.assertEqual(users, {1: "tester", 2: "alice"})

            # The monitor kept its link through all of it and sees what follows.
            self.assertIsNone(monitor.poll())
            self.ok("widget-commands clear-widgets vpn-id 3 address 10.0.0.1")
            out, err = monitor.communicate(timeout=10)
            self.assertEqual(monitor.returncode, 0, err)
            self.assertEqual(err, "")
            self.assertIn("widget-state-change", out)
        finally:
            if a is not None:
                a.close()
            if monitor.poll() is None:
                monitor.kill()
            monitor.communicate()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest)
