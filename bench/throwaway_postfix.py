"""A Postfix of the benchmarks' own: configuration, queue and data folders under a
temporary folder (which must lie where Postfix's daemons can reach it, e.g. /var/tmp, and
be mode 755), started with `postfix -c DIR start` and stopped by its master's process id.
Nothing runs chrooted, so the private folder needs no copies of system files.

Used by benchmark 7 (queue each message, then discard it) and benchmark 3 (relay each
message to the exchanger that the MX record of its domain names).
"""
import os
import shutil
import signal
import socket
import subprocess
import time

from intake_bench import WAIT

# inet_interfaces must name an address that an interface has (only 127.0.0.1 on lo here);
# smtpd's own listening address is the one in master.cf.
MAIN_CF = """compatibility_level = 3.6
queue_directory = {home}/spool
data_directory = {home}/data
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = bench.example
mydestination =
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
local_recipient_maps =
smtpd_recipient_restrictions = permit
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_peername_lookup = no
in_flow_delay = 0s
"""

# What smtpd, cleanup and the queue manager need to queue a message and discard it.
MASTER_CF = """{host}:{port} inet n - n - - smtpd
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
proxymap unix - - n - - proxymap
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
"""

DISCARD_CF = """default_transport = discard
local_transport = discard
relay_transport = discard
"""

# Every recipient goes out over SMTP to the exchanger of its domain's MX record; nothing
# is delivered locally. The log goes to a file of the throwaway's own, as no syslog runs.
RELAY_CF = """default_transport = smtp
relay_transport = smtp
local_transport = error
smtp_helo_name = bench.example
smtp_tls_security_level = none
maillog_file = {home}/maillog
"""

RELAY_SERVICES = """smtp unix - - n - - smtp
relay unix - - n - - smtp
postlog unix-dgram n - n - 1 postlogd
"""


class ThrowawayPostfix:
    """`with ThrowawayPostfix(home, host, port, ...)`: a Postfix under `home` whose smtpd
    listens on host:port. `main_cf` and `services` add to main.cf and master.cf.
    With `nameserver`, Postfix runs in a mount namespace of its own in which
    /etc/resolv.conf names only that server, so its DNS look-ups go there and nowhere
    else."""

    def __init__(self, home, host, port, main_cf=DISCARD_CF, services="", nameserver=None):
        self.home = home
        self.config = os.path.join(home, "etc")
        self.address = (host, port)
        self.nameserver = nameserver
        os.makedirs(self.config)
        os.makedirs(os.path.join(home, "spool"))
        os.makedirs(os.path.join(home, "data"))
        shutil.chown(os.path.join(home, "data"), "postfix")
        with open(os.path.join(self.config, "main.cf"), "w") as out:
            out.write(MAIN_CF.format(home=home) + main_cf.format(home=home))
        with open(os.path.join(self.config, "master.cf"), "w") as out:
            out.write(MASTER_CF.format(host=host, port=port) + services)

    def start_command(self):
        start = ["postfix", "-c", self.config, "start"]
        if self.nameserver is None:
            return start
        resolv = os.path.join(self.home, "resolv.conf")
        with open(resolv, "w") as out:
            out.write("nameserver %s\noptions timeout:2 attempts:1\n" % self.nameserver)
        # The namespace lives as long as the master and its daemons, which inherit it.
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv] + start

    def master_pid(self):
        try:
            with open(os.path.join(self.home, "spool", "pid", "master.pid")) as pid_file:
                return int(pid_file.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def __enter__(self):
        result = subprocess.run(self.start_command(), capture_output=True, timeout=60)
        if result.returncode != 0:
            self.__exit__()
            raise RuntimeError("postfix start failed: %s" % result.stderr.decode(errors="replace"))
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(self.address, timeout=1):
                    time.sleep(0.2)
                    return self
            except OSError:
                time.sleep(0.05)
        self.__exit__()
        raise RuntimeError("the throwaway Postfix did not listen on %s:%d" % self.address)

    def __exit__(self, *_):
        """SIGTERM to the master, which ends its daemons (all in its process group, as
        it leads its own session); SIGKILL if it outlives WAIT. Returns once the group
        is gone or WAIT has passed once more."""
        pid = self.master_pid()
        if pid is None:
            return
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                break
            if wait_until(lambda: not group_members(pid)):
                return


def wait_until(condition):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def group_members(group):
    """Running processes (not zombies) of process group `group`."""
    members = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue  # not a process, or one that just ended
        if fields[0] != "Z" and int(fields[2]) == group:
            members.append(int(entry))
    return members
