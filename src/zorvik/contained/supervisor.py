"""The supervisor of one contained run: the small process between the host and the worker.

    host ──control──▶ supervisor ──fork──▶ worker (runs the skill) ──▶ whatever the skill starts
      ◀───────────── out: the worker's messages, then the supervisor's ending line ─────────┘

The supervisor runs no skill code. On Linux it is the child subreaper of the
worker's tree (``PR_SET_CHILD_SUBREAPER``): whatever the run starts and then
leaves behind (a browser, shell commands, processes that left the process
group or the session, double forks) becomes its child when orphaned, and at
the end of every run it kills and reaps all of it. It dies with the host:
the parent-death signal (``PR_SET_PDEATHSIG``, armed and then checked against
the host's pid, which closes the race with a host that died first), or the
end of its control pipe, makes it kill the tree and exit. Where the prctl
calls are missing it falls back to the worker's process group, which holds
everything except processes that left it.

It forks the worker first and arms itself while the worker starts; the
worker waits for the ``go`` byte before it runs the skill, so no skill code
runs before the subreaper is in place.

Control lines from the host: ``run LIMIT`` (the job started; LIMIT is the
resident-memory limit in bytes, 0 for none), ``cancel`` (SIGTERM to the
worker, which cancels the run) and ``kill``. The ending line it writes last,
once nothing of the run is left: ``{"ended": KIND, "value": N}`` with KIND
``exit`` (N the worker's exit status), ``signal`` (N the signal that ended
the worker), ``memory``, ``killed`` or ``host``.
"""

import os
import select
import signal
import sys

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
# How often the worker's resident memory is read while a limit is set: the one poll of the design.
MEMORY_POLL_MS = 50


def serve(parent, control, out, job, close=()):
    """The supervisor's whole life, in a process of its own (exec'd or forked from the host); never returns.

    ``close`` lists the host's ends of the pipes, which a fork of the host
    still holds.
    """
    status = 1
    try:
        for fd in close:
            os.close(fd)
        go_read, go_write = os.pipe()
        worker = os.fork()
        if worker == 0:
            os.close(control)
            os.close(go_write)
            from zorvik.contained import worker as worker_process

            worker_process.main(job, go_read, out)  # never returns
        os.close(job)
        os.close(go_read)
        Supervisor(parent, worker, control, out).serve(go_write)
        status = 0
    except BaseException:
        import traceback

        traceback.print_exc()
    finally:
        os._exit(status)


def libc_prctl():
    """libc's ``prctl`` (through ctypes), or None where there is none."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        import ctypes

        call = ctypes.CDLL(None, use_errno=True).prctl
    except (ImportError, OSError, AttributeError):
        return None
    return lambda option, value: call(ctypes.c_int(option), ctypes.c_ulong(value), ctypes.c_ulong(0),
                                      ctypes.c_ulong(0), ctypes.c_ulong(0)) == 0


class Supervisor:
    def __init__(self, parent, worker, control, out):
        self.parent = parent
        self.worker = worker
        self.control = control
        self.out = out
        self.limit = 0
        self.statm = None
        self.host_died = False

    def serve(self, go):
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a terminal's Ctrl-C is for the host
        signal.signal(signal.SIGHUP, signal.SIG_IGN)  # so is a closed terminal: the host's death tells
        # A signal only wakes the watch, through this pipe, and the watch looks at what came: no exception
        # lands at whatever line a signal finds (between the run's end and the clean-up, say).
        self.signals, wakeup = os.pipe()
        os.set_blocking(self.signals, False)
        os.set_blocking(wakeup, False)
        signal.set_wakeup_fd(wakeup, warn_on_full_buffer=False)
        signal.signal(signal.SIGTERM, self.host_gone)
        signal.signal(signal.SIGCHLD, lambda signum, frame: None)  # the worker's exit, where there are no pidfds
        try:
            os.setpgid(self.worker, self.worker)  # the worker does it too; whoever runs first wins
        except OSError:
            pass
        prctl = libc_prctl()
        if prctl is not None:
            prctl(PR_SET_CHILD_SUBREAPER, 1)
            prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() != self.parent:  # the host died before its death could signal
            self.host_died = True
        else:
            try:
                os.write(go, b"1")
            except OSError:  # the worker is gone already: the watch finds its ending
                pass
        os.close(go)
        ending = self.watch()
        self.kill_tree()
        try:
            os.write(self.out, b'{"ended": "%s", "value": %d}\n' % (ending[0].encode(), ending[1]))
        except OSError:  # the host is gone
            pass

    def host_gone(self, signum, frame):
        self.host_died = True

    def watch(self):
        """Waits for the run's ending: the worker's exit, the host's kill, the memory limit or the host's end."""
        poller = select.poll()
        for fd in (self.control, self.signals, pidfd(self.worker)):
            if fd is not None:
                poller.register(fd, select.POLLIN)
        while not self.host_died:
            ending = self.worker_ending()
            if ending is not None:
                return ending
            if self.limit and self.resident() > self.limit:
                return ("memory", 0)
            for fd, _ in poller.poll(MEMORY_POLL_MS if self.limit else None):
                if fd == self.signals:
                    os.read(self.signals, 4096)
                elif fd == self.control:
                    data = os.read(self.control, 4096)
                    if not data:
                        return ("host", 0)
                    for line in data.splitlines():
                        command, _, value = line.partition(b" ")
                        if command == b"run":
                            self.limit = int(value)
                        elif command == b"cancel":
                            os.kill(self.worker, signal.SIGTERM)  # not reaped yet, so still the worker
                        elif command == b"kill":
                            return ("killed", 0)
        return ("host", 0)

    def worker_ending(self):
        """How the worker ended, or None while it runs; it stays unreaped, so its pid stays its own."""
        info = os.waitid(os.P_PID, self.worker, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        if info is None:
            return None
        if info.si_code == os.CLD_EXITED:
            return ("exit", info.si_status)
        return ("signal", info.si_status)

    def resident(self):
        """The worker's resident memory in bytes (0 once it is gone)."""
        try:
            if self.statm is None:
                self.statm = os.open(f"/proc/{self.worker}/statm", os.O_RDONLY)
            return int(os.pread(self.statm, 128, 0).split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, IndexError, ValueError):
            return 0

    def kill_tree(self):
        """Kills the worker and everything it started, and reaps them all."""
        # The worker is not reaped yet, so its pid and its process group are still its own.
        for kill in (os.kill, os.killpg):
            try:
                kill(self.worker, signal.SIGKILL)
            except OSError:
                pass
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                # Orphans of the run, reparented here; a child that forks meanwhile leaves its
                # children to us when it dies, and the next round finds them.
                for child in children():
                    try:
                        os.kill(child, signal.SIGKILL)
                    except OSError:
                        pass
                os.waitpid(-1, 0)


def pidfd(pid):
    """A file descriptor that becomes readable when the process exits, or None without pidfds (SIGCHLD
    wakes the watch then)."""
    try:
        return os.pidfd_open(pid)
    except (AttributeError, OSError):
        return None


def children():
    """The pids of this process's children (empty without /proc)."""
    me = os.getpid()
    found = []
    try:
        entries = os.listdir("/proc")
    except OSError:
        return found
    for name in entries:
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as stat:
                fields = stat.read().rpartition(b")")[2].split()
        except OSError:
            continue
        if len(fields) > 1 and int(fields[1]) == me:
            found.append(int(name))
    return found
